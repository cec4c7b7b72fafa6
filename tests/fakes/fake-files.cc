// The byte-counting model of the wiper's files and memory, standing in for wiper-file-*.cc.
#include "fakes/fake-files.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>

#include "wiper/wiper-platform.h"
#include "wiper/wiper-stream.h"

namespace {

const uint64_t UNLIMITED = ~UINT64_C(0);

struct FakeFile {
  uint64_t bytes;
  size_t creation;  // index into g_createdBytes; SIZE_MAX for a file that was there before
  bool named;       // false once a held file's name is removed; its close then frees it
};

struct FakeRoom {
  std::string root;
  uint64_t bytes;
};

// One line of the log; runs of equal full writes are kept as one entry with a repeat count.
struct FakeLogEntry {
  std::string text;
  bool fullWrite;
  uint32_t size;
  uint32_t repeat;
};

struct FakeOpenFile {
  std::string name;
  bool open;
};

std::map<std::string, FakeFile> g_files;
std::vector<FakeOpenFile> g_handles;
std::vector<uint64_t> g_createdBytes;
std::vector<FakeRoom> g_rooms;
uint64_t g_room = UNLIMITED;
bool g_failNextWrite = false;
uint32_t g_failNextWritten = 0;
std::set<std::string> g_failCreate;
std::vector<std::string> g_keepNames;
uint32_t g_holdLimit = UINT32_MAX;
uint32_t g_holding = 0;
std::set<uint32_t> g_running;
bool g_failDeletions = false;
std::set<uint32_t> g_failAllocation;
bool g_failAllAllocations = false;
std::map<char*, uint32_t> g_blocks;
std::vector<FakeLogEntry> g_log;
uint32_t g_writes = 0;
uint32_t g_actionAt = 0;
void (*g_action)() = nullptr;

void Log(const std::string& text) { g_log.push_back(FakeLogEntry{text, false, 0, 0}); }

// The room of the longest root that `name` begins with, or null when none does.
FakeRoom* RoomOf(const std::string& name) {
  FakeRoom* found = nullptr;
  for (FakeRoom& room : g_rooms) {
    if (name.compare(0, room.root.size(), room.root) == 0 &&
        (found == nullptr || room.root.size() > found->root.size()))
      found = &room;
  }
  return found;
}

void Take(uint64_t* room, uint64_t bytes) {
  if (*room != UNLIMITED)
    *room -= bytes;
}

void GiveBack(uint64_t* room, uint64_t bytes) {
  if (*room != UNLIMITED)
    *room += bytes;
}

// Takes a file away and gives its bytes back to the room it took them from.
void RemoveFile(std::map<std::string, FakeFile>::iterator found) {
  FakeRoom* room = RoomOf(found->first);
  GiveBack(&g_room, found->second.bytes);
  if (room != nullptr)
    GiveBack(&room->bytes, found->second.bytes);
  g_files.erase(found);
}

FakeOpenFile* OpenFileOf(WiperFile file) {
  if (file < 0 || static_cast<size_t>(file) >= g_handles.size() || !g_handles[file].open)
    return nullptr;
  return &g_handles[file];
}

}  // namespace

void FakeFilesReset() {
  for (auto& block : g_blocks)
    free(block.first);
  g_blocks.clear();
  g_files.clear();
  g_handles.clear();
  g_createdBytes.clear();
  g_rooms.clear();
  g_room = UNLIMITED;
  g_failNextWrite = false;
  g_failNextWritten = 0;
  g_failCreate.clear();
  g_keepNames.clear();
  g_holdLimit = UINT32_MAX;
  g_holding = 0;
  g_running.clear();
  g_failDeletions = false;
  g_failAllocation.clear();
  g_failAllAllocations = false;
  g_log.clear();
  g_writes = 0;
  g_actionAt = 0;
  g_action = nullptr;
}

void FakeSetRoom(uint64_t bytes) { g_room = bytes; }

void FakeSetVolumeRoom(const char* root, uint64_t bytes) {
  g_rooms.push_back(FakeRoom{root, bytes});
}

void FakeFailNextWrite(uint32_t written) {
  g_failNextWrite = true;
  g_failNextWritten = written;
}

void FakeAtWrite(uint32_t number, void (*action)()) {
  g_actionAt = number;
  g_action = action;
}

void FakeFailCreate(const char* name) { g_failCreate.insert(name); }

void FakeFailDeletions() { g_failDeletions = true; }

void FakeAddExistingFile(const char* name, uint64_t bytes) {
  g_files[name] = FakeFile{bytes, SIZE_MAX, true};
}

void FakeKeepNames(const char* root) { g_keepNames.push_back(root); }

void FakeHoldLimit(uint32_t count) { g_holdLimit = count; }

void FakeSetRunning(uint32_t processId) { g_running.insert(processId); }

uint32_t FakeFilesOpen() {
  uint32_t open = 0;
  for (const FakeOpenFile& handle : g_handles)
    open += handle.open ? 1 : 0;
  return open;
}

void FakeFailAllocation(uint32_t size) { g_failAllocation.insert(size); }

void FakeFailAllAllocations() { g_failAllAllocations = true; }

std::string FakeFilesLog() {
  std::string text;
  for (const FakeLogEntry& entry : g_log) {
    text += entry.text;
    if (entry.fullWrite)
      text += " x" + std::to_string(entry.repeat);
    text += "\n";
  }
  return text;
}

std::string FakeFilesLogWithoutWrites() {
  std::string text;
  for (const FakeLogEntry& entry : g_log) {
    if (entry.text.compare(0, 6, "write ") != 0)
      text += entry.text + "\n";
  }
  return text;
}

std::string FakeFilesPresent() {
  std::string text;
  for (const auto& file : g_files)
    if (file.second.named)
      text += file.first + " " + std::to_string(file.second.bytes) + "\n";
  return text;
}

std::vector<uint64_t> FakeCreatedFileBytes() { return g_createdBytes; }

WiperFile WiperFileCreateNew(const char* name, bool* held) {
  if (g_failCreate.count(name) != 0 || g_files.count(name) != 0) {
    Log(std::string("create ") + name + " failed");
    return WIPER_FILE_INVALID;
  }
  Log(std::string("create ") + name);
  g_files[name] = FakeFile{0, g_createdBytes.size(), true};
  g_createdBytes.push_back(0);
  g_handles.push_back(FakeOpenFile{name, true});
  if (*held) {
    for (const std::string& root : g_keepNames) {
      if (std::string(name).compare(0, root.size(), root) == 0)
        *held = false;
    }
    if (g_holding >= g_holdLimit)
      *held = false;
  }
  if (*held) {
    g_files[name].named = false;
    ++g_holding;
    Log(std::string("unlink ") + name);
  }
  return static_cast<WiperFile>(g_handles.size() - 1);
}

uint32_t WiperFileWrite(WiperFile file, const char* buffer, uint32_t size) {
  FakeOpenFile* open = OpenFileOf(file);
  if (open == nullptr) {
    Log("bad handle");
    return 0;
  }
  // Bytes are counted, not stored; a sample of each page is enough to see a block not zeroed.
  for (uint32_t i = 0; i < size; i += 4096) {
    if (buffer[i] != 0 || buffer[std::min(i + 4095, size - 1)] != 0) {
      Log("write of non-zero bytes");
      break;
    }
  }
  FakeRoom* room = RoomOf(open->name);
  uint64_t written = std::min<uint64_t>(size, g_room);
  if (room != nullptr)
    written = std::min(written, room->bytes);
  if (g_failNextWrite) {
    written = std::min<uint64_t>(written, g_failNextWritten);
    g_failNextWrite = false;
  }
  Take(&g_room, written);
  if (room != nullptr)
    Take(&room->bytes, written);
  FakeFile& stored = g_files[open->name];
  stored.bytes += written;
  g_createdBytes[stored.creation] += written;

  if (written == size) {
    if (!g_log.empty() && g_log.back().fullWrite && g_log.back().size == size) {
      ++g_log.back().repeat;
    } else {
      g_log.push_back(FakeLogEntry{"write " + std::to_string(size), true, size, 1});
    }
  } else {
    Log("write " + std::to_string(size) + " -> " + std::to_string(written));
  }
  if (++g_writes == g_actionAt && g_action != nullptr)
    g_action();
  return static_cast<uint32_t>(written);
}

void WiperFileClose(WiperFile file) {
  FakeOpenFile* open = OpenFileOf(file);
  if (open == nullptr) {
    Log("bad handle");
    return;
  }
  open->open = false;
  Log("close " + open->name);
  auto found = g_files.find(open->name);
  if (found != g_files.end() && !found->second.named) {
    // The last descriptor of a file without a name: the system frees it.
    RemoveFile(found);
    --g_holding;
  }
}

// The streaming's range services, as "writeback|await|drop NAME OFFSET+LENGTH" (LENGTH 0: the rest
// of the file).
static void LogRange(const char* what, WiperFile file, uint64_t offset, uint64_t length) {
  FakeOpenFile* open = OpenFileOf(file);
  Log(std::string(what) + " " + (open != nullptr ? open->name : "bad handle") + " " +
      std::to_string(offset) + "+" + std::to_string(length));
}

void WiperRangeStartWriteback(WiperFile file, uint64_t offset, uint64_t length) {
  LogRange("writeback", file, offset, length);
}

void WiperRangeAwaitWriteback(WiperFile file, uint64_t offset, uint64_t length) {
  LogRange("await", file, offset, length);
}

void WiperRangeDropCached(WiperFile file, uint64_t offset, uint64_t length) {
  LogRange("drop", file, offset, length);
}

void WiperVolumeFlush(const char* root) { Log(std::string("flush ") + root); }

void WiperFileDelete(const char* name) {
  auto found = g_files.find(name);
  if (g_failDeletions || found == g_files.end() || !found->second.named) {
    Log(std::string("delete ") + name + " failed");
    return;
  }
  RemoveFile(found);
  Log(std::string("delete ") + name);
}

uint32_t WiperProcessId() { return FAKE_PROCESS_ID; }

bool WiperProcessRunning(uint32_t processId) { return g_running.count(processId) != 0; }

void WiperRootFiles(const char* root, void (*visit)(const char* name, void* context),
                    void* context) {
  Log(std::string("list ") + root);
  const std::string prefix = root;
  // Names first: the visits may delete.
  std::vector<std::string> names;
  for (const auto& file : g_files) {
    const std::string& name = file.first;
    if (file.second.named && name.compare(0, prefix.size(), prefix) == 0 &&
        name.find_first_of("\\/", prefix.size()) == std::string::npos)
      names.push_back(name.substr(prefix.size()));
  }
  for (const std::string& name : names)
    visit(name.c_str(), context);
}

bool WiperFileDeleteLeftover(const char* name, uint64_t* bytes) {
  auto found = g_files.find(name);
  if (g_failDeletions || found == g_files.end() || !found->second.named) {
    Log(std::string("delete leftover ") + name + " failed");
    return false;
  }
  *bytes = found->second.bytes;
  RemoveFile(found);
  Log(std::string("delete leftover ") + name);
  return true;
}

char* WipeMemoryAllocate(uint32_t size) {
  if (g_failAllAllocations || g_failAllocation.count(size) != 0) {
    Log("alloc " + std::to_string(size) + " failed");
    return nullptr;
  }
  // Filled with a pattern, so that a buffer the wiper forgets to zero shows.
  char* block = static_cast<char*>(malloc(size));
  for (uint32_t i = 0; i < size; ++i)
    block[i] = static_cast<char>(0xA5);
  g_blocks[block] = size;
  Log("alloc " + std::to_string(size));
  return block;
}

void WipeMemoryFree(char* block) {
  auto found = g_blocks.find(block);
  if (found == g_blocks.end()) {
    Log("bad free");
    return;
  }
  Log("free " + std::to_string(found->second));
  free(block);
  g_blocks.erase(found);
}
