// Fuzz target for the whole run (ShrinkRun / ShrinkMain) over the simulated host and the fakes,
// whose answers, volumes, file results, keys and interrupt all come from the input.
//
// Invariants, checked after every run (a broken one aborts with a message):
// - no crash and no sanitizer report; the status is 0, 2, 3 or 4;
// - the backdoor calls stay within what the replies' lengths allow, and every call the tool makes
//   is one the host claims (the magic, the right port);
// - a run whose presence check fails makes no further call and ends with status 2;
// - the channel is closed exactly once when its open succeeded, never otherwise, last of all
//   calls, and with the channel word that the open gave;
// - "disk.shrink" goes out only after "disk.wiper.enable", a wipe that succeeded and the pause;
//   a failed wipe is the run's status;
// - no wiper file is left (only the files that were there before, unless deletions fail), one
//   named wiper file is open at a time and held ones are closed after their pass's flush and
//   before the next pass, none is left open, a file followed by another of its pass holds exactly 1 GiB,
//   writes go to open files only and carry zeros, every buffer allocated is freed, the terminal's
//   quiet spans are balanced, and the wiper's process-wide state (buffer, volume walk) is back at
//   rest.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "backdoor/backdoor.h"
#include "backdoor/rpc.h"
#include "driver/reply.h"
#include "driver/shrink.h"
#include "fakes/fake-backdoor.h"
#include "fakes/fake-console.h"
#include "fakes/fake-files.h"
#include "fakes/fake-base.h"
#include "fakes/fake-volume.h"
#include "fuzz/fuzz-support.h"
#include "sim/host.h"
#include "wiper/volume.h"
#include "wiper/wiper.h"

namespace {

const uint64_t KIB = 1024;
const uint64_t MIB = 1024 * KIB;
// Room and free space stay a few MiB, so that a run takes a millisecond or so.
const uint64_t VOLUME_ROOM_MAX = 6 * MIB;
// Writes per volume when the buffer is small: the room shrinks with the block.
const uint64_t VOLUME_BLOCKS_MAX = 64;
// One volume of a run may get room for one or two whole wiper files and a little more, so that
// passes of several files are run too: with 1 MiB blocks that is up to about 2,000 writes. Not
// more, and not with smaller blocks: the console fake keeps its record of rewinds (one per write)
// in 16 KiB.
const uint32_t LARGE_BLOCK_SIZE = WIPE_BUFFER_MAX_SIZE;
const uint32_t MAX_VOLUMES = 4;
const uint32_t MAX_WRITE_EVENTS = 8;
const uint32_t ALLOCATION_SIZES = 11;  // 1 MiB down to 1 KiB, halving

const char* const ENABLE_REPLIES[] = {
    "1 1", "1 0", "", "1", "1 ", "1 1 and more", "0 1", "1x1", "1 2", "1 1\n", "11 1",
    "1 1xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",   // 52 bytes
    "1 0xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",  // 53 bytes
};
const char* const SHRINK_REPLIES[] = {"1", "0", "", "1 done", "x1", " 1", "10", "0 1"};
const uint32_t INTERESTING_LENGTHS[] = {0,  1,   2,    3,     4,     5,     7,     8,
                                        51, 52,  53,   56,    100,   4096,  65532, 65535,
                                        65536, 65537, 0x7FFFFFFF, 0xFFFFFFFF};
const uint32_t STEP_WORDS[] = {10,       MSG_OPEN,         MSG_SEND_LENGTH, MSG_SEND_DATA,
                               MSG_RECEIVE_LENGTH, MSG_RECEIVE_DATA, MSG_RECEIVE_DONE, MSG_CLOSE};
const char* const REGISTER_NAMES[] = {"eax", "ebx", "ecx", "edx", "ebp", "edi", "esi"};
const uint32_t DRIVE_TYPES[] = {FAKE_DRIVE_FIXED, FAKE_DRIVE_FIXED,     FAKE_DRIVE_FIXED,
                                FAKE_DRIVE_REMOVABLE, FAKE_DRIVE_REMOTE, FAKE_DRIVE_CDROM,
                                FAKE_DRIVE_RAMDISK, FAKE_DRIVE_NO_ROOT_DIR, 0, 7};
const char* const KEY_TEXTS[] = {"C", "c", "S", "s", "x", "xS", "xxc", "q", "\x7F", "\xFF"};

template <typename T, size_t N>
constexpr uint32_t CountOf(const T (&)[N]) {
  return static_cast<uint32_t>(N);
}

// What happens inside a chosen write. The fake keeps one action, so the action runs every event
// of its write and then re-arms itself for the next one.
enum WriteEventKind { EVENT_KEYS, EVENT_SHORT_WRITE, EVENT_RELEASE, EVENT_NO_CHAR, EVENT_MOUSE,
                      EVENT_FAIL_READ, EVENT_KINDS };

struct WriteEvent {
  uint32_t write;  // 1 = the first write; 0 = before the run
  WriteEventKind kind;
  uint32_t value;
  char keys[4];
};

WriteEvent g_events[MAX_WRITE_EVENTS];
uint32_t g_eventCount = 0;
uint32_t g_nextEvent = 0;

void ApplyEvent(const WriteEvent& event) {
  switch (event.kind) {
    case EVENT_KEYS:
      FakeConsoleQueueKeys(event.keys);
      break;
    case EVENT_SHORT_WRITE:
      FakeFailNextWrite(event.value);
      break;
    case EVENT_RELEASE:
      FakeConsoleQueueRelease('s');
      break;
    case EVENT_NO_CHAR:
      FakeConsoleQueueNoCharKey();
      break;
    case EVENT_MOUSE:
      FakeConsoleQueueMouse();
      break;
    default:
      FakeConsoleFailNextRead();
      break;
  }
}

void RunWriteEvents() {
  const uint32_t now = g_events[g_nextEvent].write;
  while (g_nextEvent < g_eventCount && g_events[g_nextEvent].write == now)
    ApplyEvent(g_events[g_nextEvent++]);
  if (g_nextEvent < g_eventCount)
    FakeAtWrite(g_events[g_nextEvent].write, RunWriteEvents);
}

struct VolumePlan {
  char letter;
  std::string root;
};

// What the invariants need to know of the run the input set up.
struct RunPlan {
  bool probeFaults;
  bool deletionsFail;
  std::map<std::string, uint64_t> existing;  // files there before the run, by name
};

std::string WiperName(const std::string& root, uint32_t number) {
  return root + "tzl_wiper_" + std::to_string(FAKE_PROCESS_ID) + "." + std::to_string(number);
}

std::string LongRoot(FuzzInput& input, uint32_t length) {
  std::string root = "/";
  char filler = static_cast<char>('a' + FuzzBelow(input, 26));
  while (root.size() + 1 < length)
    root += filler;
  return root + "/";
}

// --- The host ---

std::string ReplyFrom(FuzzInput& input, const char* const* table, uint32_t count) {
  uint32_t choice = FuzzBelow(input, count + 2);
  if (choice < count)
    return table[choice];
  // Any bytes, NUL and non-ASCII included, up to 80 of them: the reply buffer holds 52.
  uint8_t bytes[80];
  size_t length = FuzzBytes(input, choice == count ? 8 : sizeof bytes, bytes);
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

uint32_t LengthFrom(FuzzInput& input) {
  uint32_t choice = FuzzBelow(input, CountOf(INTERESTING_LENGTHS) + 1);
  return choice < CountOf(INTERESTING_LENGTHS) ? INTERESTING_LENGTHS[choice] : FuzzWord(input);
}

std::string FaultWords(FuzzInput& input) {
  char text[64];
  switch (FuzzBelow(input, 6)) {
    case 0:
      return "refuse";
    case 1:
      return "eax";
    case 2:
      snprintf(text, sizeof text, "eax 0x%X", static_cast<unsigned>(FuzzInterestingWord(input)));
      return text;
    case 3:
      return "open-ecx";
    case 4:
      return "open-edx";
    default:
      snprintf(text, sizeof text, "set %s 0x%X", REGISTER_NAMES[FuzzBelow(input, 7)],
               static_cast<unsigned>(FuzzInterestingWord(input)));
      return text;
  }
}

// The host's misbehaviour as a script: the lines are built from the input, so every one of them
// must be understood.
std::string HostScript(FuzzInput& input) {
  std::string script;
  char line[96];
  uint8_t flags = FuzzByte(input);
  if ((flags & 0x03) == 0x03)
    script += "wrong-version\n";
  if ((flags & 0x0C) == 0x0C)
    script += "absent\n";
  if ((flags & 0x10) != 0) {
    snprintf(line, sizeof line, "first-channel %u\n", static_cast<unsigned>(FuzzHalf(input)));
    script += line;
  }
  if ((flags & 0x20) != 0) {
    snprintf(line, sizeof line, "first-reply-id 0x%X\n", static_cast<unsigned>(FuzzHalf(input)));
    script += line;
  }
  if ((flags & 0x40) != 0) {
    static const char* const TARGETS[] = {"", "disk.wiper.enable=", "disk.shrink="};
    const char* target = TARGETS[FuzzBelow(input, 3)];
    snprintf(line, sizeof line, "claim-length %s%u\n", target,
             static_cast<unsigned>(LengthFrom(input)));
    script += line;
  }
  if ((flags & 0x80) != 0) {
    snprintf(line, sizeof line, "cookies 0x%X 0x%X\n", static_cast<unsigned>(FuzzWord(input)),
             static_cast<unsigned>(FuzzWord(input)));
    script += line;
  }
  uint32_t faults = FuzzBelow(input, 5);
  for (uint32_t i = 0; i < faults; ++i) {
    uint8_t how = FuzzByte(input);
    if ((how & 1) == 0) {
      snprintf(line, sizeof line, "fail-call %u ", static_cast<unsigned>(how >> 1) % 48);
    } else {
      uint32_t word = (how & 2) != 0 ? STEP_WORDS[FuzzBelow(input, CountOf(STEP_WORDS))]
                                     : FuzzInterestingWord(input);
      snprintf(line, sizeof line, "fail-step 0x%X %u ", static_cast<unsigned>(word),
               static_cast<unsigned>(how >> 2) % 8);
    }
    script += line + FaultWords(input) + "\n";
  }
  return script;
}

void SetUpHost(FuzzInput& input, RunPlan& plan) {
  uint8_t choices = FuzzByte(input);
  // 0 leaves the well-behaved host's replies ("1 1" and "1").
  if ((choices & 1) != 0)
    g_simHost.replies["disk.wiper.enable"] = ReplyFrom(input, ENABLE_REPLIES,
                                                       CountOf(ENABLE_REPLIES));
  if ((choices & 2) != 0)
    g_simHost.replies["disk.shrink"] = ReplyFrom(input, SHRINK_REPLIES, CountOf(SHRINK_REPLIES));
  if ((choices & 4) != 0) {
    std::string script = HostScript(input);
    FUZZ_CHECK(SimHostConfigure(script.c_str()), "the host did not take the script:\n%s",
               script.c_str());
  }
  if ((choices & 0x18) == 0x18) {
    // Raw bytes as a script: the parser must cope with anything. Most of it is refused.
    char script[65];
    size_t length = FuzzBytes(input, sizeof script - 1, reinterpret_cast<uint8_t*>(script));
    script[length] = '\0';
    SimHostConfigure(script);
  }
  plan.probeFaults = (choices & 0xE0) == 0xE0;
  FakeProbeFaults(plan.probeFaults);
}

// --- Volumes, files, keys ---

// The block size the wiper will end up with, given the allocations that fail; 0 for none.
uint32_t BufferSizeAfter(uint32_t failMask, bool allFail) {
  if (allFail)
    return 0;
  for (uint32_t k = 0; k < ALLOCATION_SIZES; ++k) {
    if ((failMask & (1u << k)) == 0)
      return WIPE_BUFFER_MAX_SIZE >> k;
  }
  return 0;
}

std::vector<VolumePlan> SetUpVolumes(FuzzInput& input, uint32_t blockSize) {
  std::vector<VolumePlan> volumes;
  uint8_t global = FuzzByte(input);
  const bool clusterQuery = (global & 0x03) == 0x03;
  FakeSetExtendedQuery(!clusterQuery);
  if ((global & 0x0C) == 0x0C)
    FakeFailNextLogicalDrives(FuzzByte(input));
  // The Linux tool's walk over the mount list, whose roots are mount points, or the drive letters.
  const bool mountWalk = (global & 0x30) == 0x30;
  FakeUseMountWalk(mountWalk);
  // A room of a few blocks at most when the block is small, so that a run stays short.
  uint64_t roomMax = blockSize == 0 ? VOLUME_ROOM_MAX : blockSize * VOLUME_BLOCKS_MAX;
  if (roomMax > VOLUME_ROOM_MAX)
    roomMax = VOLUME_ROOM_MAX;

  uint64_t roomTotal = 0;
  bool largeGiven = false;
  const uint32_t count = 1 + FuzzBelow(input, MAX_VOLUMES);
  for (uint32_t i = 0; i < count; ++i) {
    VolumePlan volume;
    volume.letter = static_cast<char>('A' + (2 + FuzzByte(input)) % 26);
    const uint32_t type = DRIVE_TYPES[FuzzBelow(input, CountOf(DRIVE_TYPES))];
    const uint8_t shape = FuzzByte(input);
    uint64_t freeBytes;
    switch (shape & 7) {
      case 0:
      case 1:
      case 2:
        freeBytes = FuzzWord(input) % (2 * roomMax + 1);
        break;
      case 3:
        freeBytes = FuzzBelow(input, 4) * KIB + FuzzBelow(input, 1024);
        break;
      case 4:
        freeBytes = uint64_t(1) << (30 + FuzzBelow(input, 14));  // 1 GiB to 8 TiB
        break;
      case 5:
        freeBytes = roomMax;
        break;
      default:
        freeBytes = FuzzWord(input) % (4 * MIB);
        break;
    }
    const uint64_t totalBytes = freeBytes + FuzzWord(input) * KIB;
    FakeAddVolume(volume.letter, type, totalBytes, freeBytes);
    if (clusterQuery) {
      uint32_t bytesPerSector = (shape & 8) != 0 ? 512 : 4096;
      uint32_t sectorsPerCluster = 1 + FuzzBelow(input, 8);
      uint32_t clusterBytes = bytesPerSector * sectorsPerCluster;
      FakeSetClusterSpace(volume.letter, sectorsPerCluster, bytesPerSector,
                          static_cast<uint32_t>(freeBytes / clusterBytes),
                          (shape & 0x10) != 0 ? 0xFFFFFFFF
                                              : static_cast<uint32_t>(totalBytes / clusterBytes));
    }
    if ((shape & 0x60) == 0x60)
      FakeFailSpaceQuery(volume.letter, FuzzByte(input));

    volume.root = std::string(1, volume.letter) + ":\\";
    const uint8_t rootKind = mountWalk ? FuzzByte(input) : 0;
    switch (rootKind % 12) {
      case 8:
        volume.root = "/mnt/v" + std::to_string(i) + "/";
        break;
      case 9:
        volume.root = "/";
        break;
      case 10:
        // Around the length where "tzl_wiper_508.N" stops fitting the 260-character name.
        volume.root = LongRoot(input, 240 + FuzzBelow(input, 10));
        break;
      case 11:
        volume.root = (rootKind & 0x80) != 0 && !volumes.empty() ? volumes.back().root
                                                                  : LongRoot(input, 1023);
        break;
      default:
        break;
    }
    FakeSetVolumeRoot(volume.letter, volume.root.c_str());
    // A room for every root, so that every pass ends even when the free space is not known.
    uint64_t room = FuzzWord(input) % (roomMax + 1);
    if ((shape & 0x87) == 0x84 && blockSize == LARGE_BLOCK_SIZE && !largeGiven) {
      room = WIPER_FILE_LIMIT * (1 + FuzzBelow(input, 2)) + FuzzBelow(input, 4) * MIB;
      largeGiven = true;
    }
    FakeSetVolumeRoom(volume.root.c_str(), room);
    roomTotal += room;
    volumes.push_back(volume);
  }
  // Past every root's room, a bound on all of them together.
  FakeSetRoom(roomTotal);
  return volumes;
}

void SetUpFiles(FuzzInput& input, const std::vector<VolumePlan>& volumes, uint32_t failMask,
                bool allFail, RunPlan& plan) {
  for (uint32_t k = 0; k < ALLOCATION_SIZES; ++k) {
    if ((failMask & (1u << k)) != 0)
      FakeFailAllocation(WIPE_BUFFER_MAX_SIZE >> k);
  }
  if (allFail)
    FakeFailAllAllocations();
  const uint8_t flags = FuzzByte(input);
  plan.deletionsFail = (flags & 0x07) == 0x07;
  if (plan.deletionsFail)
    FakeFailDeletions();
  const uint32_t creations = (flags >> 3) % 3;
  for (uint32_t i = 0; i < creations; ++i) {
    const VolumePlan& volume = volumes[FuzzBelow(input, static_cast<uint32_t>(volumes.size()))];
    FakeFailCreate(WiperName(volume.root, FuzzBelow(input, 8)).c_str());
  }
  const uint32_t existing = (flags >> 5) % 4;
  for (uint32_t i = 0; i < existing; ++i) {
    const VolumePlan& volume = volumes[FuzzBelow(input, static_cast<uint32_t>(volumes.size()))];
    uint8_t which = FuzzByte(input);
    std::string name = (which & 0x80) != 0 ? volume.root + "keep.dat"
                                           : WiperName(volume.root, which % 8);
    uint64_t bytes = FuzzHalf(input);
    FakeAddExistingFile(name.c_str(), bytes);
    plan.existing[name] = bytes;
  }
  // Files held open without a name, up to a number of descriptors, or on one volume named files
  // only (a file system without orphan recovery).
  if ((flags & 0x80) != 0) {
    const uint8_t hold = FuzzByte(input);
    if ((hold & 0x07) != 0x07)
      FakeHoldLimit(hold & 0x07);
    if ((hold & 0x08) != 0)
      FakeKeepNames(volumes[(hold >> 4) % volumes.size()].root.c_str());
  }
}

void SetUpKeys(FuzzInput& input, uint32_t blockSize) {
  g_eventCount = FuzzBelow(input, MAX_WRITE_EVENTS + 1);
  g_nextEvent = 0;
  for (uint32_t i = 0; i < g_eventCount; ++i) {
    WriteEvent& event = g_events[i];
    event.write = FuzzBelow(input, 40);
    event.kind = static_cast<WriteEventKind>(FuzzBelow(input, EVENT_KINDS));
    event.value = 0;
    memset(event.keys, 0, sizeof event.keys);
    if (event.kind == EVENT_KEYS) {
      uint32_t choice = FuzzBelow(input, CountOf(KEY_TEXTS) + 1);
      if (choice < CountOf(KEY_TEXTS))
        snprintf(event.keys, sizeof event.keys, "%s", KEY_TEXTS[choice]);
      else
        event.keys[0] = static_cast<char>(1 + FuzzBelow(input, 255));
    } else if (event.kind == EVENT_SHORT_WRITE) {
      static const uint32_t WRITTEN[] = {0, 1, 1023, 1024, 1500};
      uint32_t choice = FuzzBelow(input, CountOf(WRITTEN) + 2);
      if (choice < CountOf(WRITTEN))
        event.value = WRITTEN[choice];
      else if (choice == CountOf(WRITTEN))
        event.value = blockSize == 0 ? 0 : blockSize - 1;
      else
        event.value = blockSize == 0 ? 0 : FuzzWord(input) % blockSize;
    }
  }
  // In write order; events of one write keep the input's order.
  for (uint32_t i = 1; i < g_eventCount; ++i) {
    for (uint32_t j = i; j > 0 && g_events[j - 1].write > g_events[j].write; --j) {
      WriteEvent swap = g_events[j];
      g_events[j] = g_events[j - 1];
      g_events[j - 1] = swap;
    }
  }
  // Events "before the run" happen now; the first later one arms the fake.
  while (g_nextEvent < g_eventCount && g_events[g_nextEvent].write == 0)
    ApplyEvent(g_events[g_nextEvent++]);
  if (g_nextEvent < g_eventCount)
    FakeAtWrite(g_events[g_nextEvent].write, RunWriteEvents);
}

// --- The wipe's own result ---

// How the last WipeAllVolumes of the run ended: the run's status alone would hide a failed wipe
// whose status a later step overwrote.
bool g_wipeCalled = false;
ToolStatus g_wipeStatus = STATUS_OK;

}  // namespace

// The link puts this in front of WipeAllVolumes (--wrap of its mangled name, in
// tests/fuzz/CMakeLists.txt), so that the workflow's call passes through here.
extern "C" ToolStatus __real__Z14WipeAllVolumesv();
extern "C" ToolStatus __wrap__Z14WipeAllVolumesv() {
  g_wipeStatus = __real__Z14WipeAllVolumesv();
  g_wipeCalled = true;
  return g_wipeStatus;
}

namespace {

// --- The invariants ---

bool IsMessageCall(const SimCall& call, uint32_t word) {
  return call.instruction == SIM_IN && call.in.ecx == word;
}

// Whether the tool took a low-bandwidth answer as a success (the open's stricter test apart).
bool StepSucceeded(const SimCall& call) {
  return call.out.eax == 0 && (call.out.ecx & 0xFFFF0000) != 0;
}

void CheckCalls(ToolStatus status, const RunPlan& plan) {
  const std::vector<SimCall>& calls = g_simHost.transcript;
  FUZZ_CHECK(g_simHost.calls == calls.size(), "transcript cut short: %llu calls",
             static_cast<unsigned long long>(g_simHost.calls));
  // Every call of the tool is claimed by a present host: only the presence probe may go unclaimed.
  const uint32_t unclaimed = FakeBackdoorCallCount() - static_cast<uint32_t>(calls.size());
  if (g_simHost.absent || plan.probeFaults) {
    FUZZ_CHECK(FakeBackdoorCallCount() == 1 && status == STATUS_BACKDOOR_FAILED,
               "no hypervisor, yet %u calls and status %d", FakeBackdoorCallCount(), status);
    return;
  }
  FUZZ_CHECK(unclaimed == 0, "%u calls that the host does not claim", unclaimed);
  FUZZ_CHECK(!calls.empty() && calls[0].in.ecx == 10, "the run does not begin with the probe");
  if (calls[0].out.ebx != BACKDOOR_MAGIC) {
    FUZZ_CHECK(calls.size() == 1 && status == STATUS_BACKDOOR_FAILED,
               "the probe found no magic, yet %zu calls and status %d", calls.size(), status);
    return;
  }

  // The bound: the probe, the open and the close, two exchanges with their commands' pieces, and
  // the data calls of the replies as long as the tool would fetch them.
  uint64_t limit = 3 + (1 + 5 + 1 + 1) + (1 + 3 + 1 + 1);
  uint32_t lengthCalls = 0;
  for (const SimCall& call : calls) {
    if (!IsMessageCall(call, MSG_RECEIVE_LENGTH))
      continue;
    ++lengthCalls;
    uint64_t length = call.out.ebx;
    if (StepSucceeded(call) && length <= REPLY_FETCH_LIMIT)
      limit += length == 0 ? 1 : (length + 3) / 4;
  }
  FUZZ_CHECK(lengthCalls <= 2, "%u receive-length calls", lengthCalls);
  FUZZ_CHECK(calls.size() <= limit, "%zu calls, more than the %llu the replies allow",
             calls.size(), static_cast<unsigned long long>(limit));

  // The channel: closed exactly once iff the open succeeded, as the tool judged the open.
  FUZZ_CHECK(calls.size() >= 2 && IsMessageCall(calls[1], MSG_OPEN),
             "the open does not follow the probe");
  const SimCall& open = calls[1];
  const bool opened = open.out.eax == 0 && open.out.ecx == RPC_SUCCESS_WORD &&
                      (open.out.edx & 0xFFFF) == 0;
  uint32_t closes = 0;
  uint32_t opens = 0;
  for (const SimCall& call : calls) {
    closes += IsMessageCall(call, MSG_CLOSE);
    opens += IsMessageCall(call, MSG_OPEN);
  }
  FUZZ_CHECK(opens == 1, "%u opens", opens);
  if (!opened) {
    FUZZ_CHECK(calls.size() == 2 && closes == 0, "failed open, yet %zu calls and %u closes",
               calls.size(), closes);
    FUZZ_CHECK(status == STATUS_BACKDOOR_FAILED || status == STATUS_RPC_FAILED,
               "failed open, yet status %d", status);
    return;
  }
  FUZZ_CHECK(closes == 1, "the channel was opened and closed %u times", closes);
  const SimCall& last = calls.back();
  FUZZ_CHECK(IsMessageCall(last, MSG_CLOSE), "the close is not the last call");
  FUZZ_CHECK(last.in.edx == (open.out.edx | BACKDOOR_LB_PORT),
             "the close names channel word %08x, the open gave %08x", last.in.edx, open.out.edx);
  // With a host that misbehaves nowhere, its own books must agree.
  if (g_simHost.faults.empty() && g_simHost.rawAnswer == nullptr) {
    FUZZ_CHECK(g_simHost.opened.size() == 1 && g_simHost.closed.size() == 1 &&
                   g_simHost.channels.empty(),
               "the host saw %zu opens and %zu closes", g_simHost.opened.size(),
               g_simHost.closed.size());
  }
}

void CheckCommands(ToolStatus status) {
  const std::vector<std::string>& commands = g_simHost.commands;
  FUZZ_CHECK(commands.size() <= 2, "%zu commands", commands.size());
  if (!commands.empty())
    FUZZ_CHECK(commands[0] == RPC_CMD_WIPER_ENABLE, "first command '%s'", commands[0].c_str());
  const bool shrinkSent = commands.size() == 2;
  if (shrinkSent) {
    FUZZ_CHECK(commands[1] == RPC_CMD_SHRINK, "second command '%s'", commands[1].c_str());
    FUZZ_CHECK(FakePausedMilliseconds() == SHRINK_DELAY_MS,
               "shrink requested after a pause of %u ms", FakePausedMilliseconds());
    FUZZ_CHECK(g_wipeCalled && g_wipeStatus == STATUS_OK, "shrink requested, yet the wipe %s",
               g_wipeCalled ? "failed" : "never ran");
  }
  if (g_wipeCalled) {
    FUZZ_CHECK(g_wipeStatus == STATUS_OK || g_wipeStatus == STATUS_WIPE_FAILED,
               "the wipe returned %d", g_wipeStatus);
    // Nothing after a failed wipe may change the status: the close leaves it as it is.
    if (g_wipeStatus == STATUS_WIPE_FAILED)
      FUZZ_CHECK(status == STATUS_WIPE_FAILED, "the wipe failed, yet the run ended with %d",
                 status);
  }
  FUZZ_CHECK(FakePausedMilliseconds() == 0 || FakePausedMilliseconds() == SHRINK_DELAY_MS,
             "paused %u ms", FakePausedMilliseconds());
}

// The files' lifecycle from the fake's log: one named file open at a time (held ones stay open
// until the end of their pass, closed after its flush), every file followed by another of its
// pass complete (exactly WIPER_FILE_LIMIT bytes), nothing bad logged, every buffer allocated
// freed again.
void CheckFiles(const RunPlan& plan) {
  const std::string log = FakeFilesLog();
  FUZZ_CHECK(log.find("bad handle") == std::string::npos, "a write or close of a closed file");
  FUZZ_CHECK(log.find("bad free") == std::string::npos, "a free of a block not allocated");
  FUZZ_CHECK(log.find("write of non-zero bytes") == std::string::npos, "non-zero bytes written");
  const std::vector<uint64_t> fileBytes = FakeCreatedFileBytes();
  size_t created = 0;
  bool passHasFile = false;  // a file of the current pass was created; its listing starts a pass
  int openFiles = 0;         // named files open
  std::set<std::string> held;
  bool flushed = false;
  int blocks = 0;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos)
      end = log.size();
    const std::string line = log.substr(start, end - start);
    start = end + 1;
    const bool failed = line.size() >= 7 && line.compare(line.size() - 7, 7, " failed") == 0;
    if (line.compare(0, 5, "list ") == 0) {
      FUZZ_CHECK(held.empty(), "'%s' while %zu files of a pass are held", line.c_str(),
                 held.size());
      passHasFile = false;
      flushed = false;
    }
    if (failed)
      continue;
    if (line.compare(0, 7, "create ") == 0) {
      FUZZ_CHECK(openFiles == 0, "'%s' while another wiper file is open", line.c_str());
      FUZZ_CHECK(!flushed, "'%s' after the pass's flush", line.c_str());
      FUZZ_CHECK(created < fileBytes.size(), "more creations logged than made");
      if (passHasFile)
        FUZZ_CHECK(fileBytes[created - 1] == WIPER_FILE_LIMIT,
                   "'%s' after a file of %llu bytes", line.c_str(),
                   static_cast<unsigned long long>(fileBytes[created - 1]));
      ++created;
      passHasFile = true;
      ++openFiles;
    } else if (line.compare(0, 7, "unlink ") == 0) {
      --openFiles;
      held.insert(line.substr(7));
    } else if (line.compare(0, 6, "flush ") == 0) {
      flushed = true;
    } else if (line.compare(0, 6, "close ") == 0) {
      if (held.erase(line.substr(6)) != 0)
        FUZZ_CHECK(flushed, "'%s' of a held file before the pass's flush", line.c_str());
      else
        --openFiles;
    } else if (line.compare(0, 7, "delete ") == 0 && line.compare(0, 16, "delete leftover ") != 0) {
      FUZZ_CHECK(openFiles == 0, "'%s' while a wiper file is open", line.c_str());
    } else if (line.compare(0, 6, "alloc ") == 0) {
      FUZZ_CHECK(blocks == 0, "a second wiping buffer: '%s'", line.c_str());
      ++blocks;
    } else if (line.compare(0, 5, "free ") == 0) {
      --blocks;
    }
  }
  FUZZ_CHECK(held.empty(), "%zu held wiper files left open", held.size());
  FUZZ_CHECK(FakeFilesOpen() == 0, "%u wiper files left open", FakeFilesOpen());
  FUZZ_CHECK(openFiles == 0, "%d wiper files left open", openFiles);
  FUZZ_CHECK(blocks == 0, "%d wiping buffers not freed", blocks);

  std::string expected;
  for (const auto& file : plan.existing)
    expected += file.first + " " + std::to_string(file.second) + "\n";
  const std::string present = FakeFilesPresent();
  if (!plan.deletionsFail) {
    FUZZ_CHECK(present == expected, "files left:\n%s\nexpected only:\n%s", present.c_str(),
               expected.c_str());
  } else {
    // Every file there before is still there, untouched.
    for (const auto& file : plan.existing) {
      const std::string line = file.first + " " + std::to_string(file.second) + "\n";
      FUZZ_CHECK(present.find(line) != std::string::npos, "file %s changed or gone",
                 file.first.c_str());
    }
  }
}

void CheckConsoleAndState() {
  const char* calls = FakeConsoleCalls();
  int quiet = 0;
  for (const char* p = calls; *p != '\0';) {
    const char* end = strchr(p, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (length == 11 && strncmp(p, "quiet begin", 11) == 0) {
      FUZZ_CHECK(quiet == 0, "quiet span begun twice");
      ++quiet;
    } else if (length == 9 && strncmp(p, "quiet end", 9) == 0) {
      FUZZ_CHECK(quiet == 1, "quiet span ended without a beginning");
      --quiet;
    }
    p += length + (end != nullptr ? 1 : 0);
  }
  FUZZ_CHECK(quiet == 0, "the terminal is left quiet");
  FUZZ_CHECK(g_wipeBuffer == nullptr, "the wiping buffer is left allocated");
  const std::string volumeCalls = FakeVolumeCalls();
  FUZZ_CHECK(volumeCalls.empty() || (volumeCalls.size() >= 6 &&
                                      volumeCalls.compare(volumeCalls.size() - 6, 6, "reset\n") == 0),
             "the volume walk is left under way");
}

}  // namespace

// Named apart from libFuzzer's entry so that the replay binary can hold both targets.
int FuzzWorkflowInput(const uint8_t* data, size_t size) {
  FuzzStreamsSetUp();
  FuzzInput input = FuzzInputOf(data, size);
  FakeBackdoorReset();
  FakeVolumeReset();
  FakeFilesReset();
  FakeConsoleReset();
  FakeBaseReset();
  g_backdoorTrace = 0;
  g_wipeCalled = false;
  g_wipeStatus = STATUS_OK;

  const uint8_t mode = FuzzByte(input);
  const int32_t verbosity = static_cast<int32_t>((mode & 0x03) % 3);
  const bool viaMain = (mode & 0x04) != 0;
  g_backdoorTrace = (mode & 0x18) == 0x18 ? 1 : 0;

  RunPlan plan = RunPlan();
  SetUpHost(input, plan);
  const uint8_t memory = FuzzByte(input);
  // Most runs allocate at once; some fail at one or more of the sizes, a few at all of them.
  uint32_t failMask = 0;
  if ((memory & 0x0F) == 0x0F)
    failMask = FuzzHalf(input) & ((1u << ALLOCATION_SIZES) - 1);
  const bool allFail = (memory & 0xF0) == 0xF0;
  const uint32_t blockSize = BufferSizeAfter(failMask, allFail);
  std::vector<VolumePlan> volumes = SetUpVolumes(input, blockSize);
  SetUpFiles(input, volumes, failMask, allFail, plan);
  SetUpKeys(input, blockSize);
  const uint8_t interrupt = FuzzByte(input);
  if ((interrupt & 0xC0) == 0xC0)
    FakeInterruptAtCheck(1 + interrupt % 64);

  ToolStatus status;
  if (viaMain) {
    status = ShrinkMain();
  } else {
    g_verbosity = verbosity;
    status = ShrinkRun();
  }
  g_verbosity = 1;
  g_backdoorTrace = 0;

  // For a rerun of one input: what the run did, on the report stream.
  static const bool describe = getenv("SHRINK_FUZZ_VERBOSE") != nullptr;
  if (describe) {
    FuzzReport("status %d after %zu backdoor calls; commands sent: %zu; files:\n%s", status,
               g_simHost.transcript.size(), g_simHost.commands.size(),
               FakeFilesLogWithoutWrites().c_str());
  }

  FUZZ_CHECK(status == STATUS_OK || status == STATUS_BACKDOOR_FAILED ||
                 status == STATUS_RPC_FAILED || status == STATUS_WIPE_FAILED,
             "status %d", status);
  CheckCalls(status, plan);
  CheckCommands(status);
  CheckFiles(plan);
  CheckConsoleAndState();
  return 0;
}

#if !defined(SHRINK_FUZZ_REPLAY)
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzStreamsSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzWorkflowInput(data, size);
}
#endif
