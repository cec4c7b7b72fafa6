// The wiper's Windows file services on a small scratch drive: filling it and freeing it again,
// and names in the way. The drive root comes from SHRINK_WIPER_ROOT (tests/e2e/test_wiper.py
// maps a tmpfs to a Wine drive for it); without it the tests are skipped.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/status.h"
#include "platform/wiper-observed.h"
#include "wiper/volume.h"
#include "wiper/wiper-platform.h"
#include "wiper/wiper.h"

namespace {

const uint64_t MIB = UINT64_C(1) << 20;

std::string g_root;

uint64_t FreeBytesOf(const std::string& root) {
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free))
    return ~UINT64_C(0);
  return free.QuadPart;
}

uint64_t FreeBytes() { return FreeBytesOf(g_root); }

std::string WiperName(uint32_t number) {
  char name[WIPER_NAME_SIZE];
  FormatWiperFileName(name, g_root.c_str(), WiperProcessId(), number);
  return name;
}

// The names of the wiper files in the root, one a line.
std::string WiperFilesLeft() {
  std::string found;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((g_root + "tzl_wiper_*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE)
    return found;
  do {
    found += std::string(entry.cFileName) + "\n";
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return found;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, content.data(), (DWORD)content.size(), &written, NULL);
  CloseHandle(file);
  return ok && written == content.size();
}

std::string ReadWholeFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                            NULL);
  if (file == INVALID_HANDLE_VALUE)
    return "<missing>";
  std::string content;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0)
    content.append(chunk, got);
  CloseHandle(file);
  return content;
}

class WiperWineTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* root = getenv("SHRINK_WIPER_ROOT");
    if (root == nullptr || root[0] == '\0')
      GTEST_SKIP() << "SHRINK_WIPER_ROOT names no scratch drive";
    g_root = root;
  }
};

// The drive really fills (the write that fails is the disk-full one), the wiper files are gone
// afterwards, and what was there before is unchanged.
TEST_F(WiperWineTest, FillsTheDriveAndFreesItAgain) {
  const std::string user(200 * 1024, 'u');
  ASSERT_TRUE(WriteWholeFile(g_root + "keep.bin", user));
  uint64_t freeBefore = FreeBytes();

  ObservedWipe result = WipeObserved(g_root, SPACE_UNAVAILABLE, FreeBytesOf);

  EXPECT_EQ(STATUS_OK, result.status);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(std::vector<std::string>{WiperName(0)}, result.deleted);
  EXPECT_LT(result.measuredAtFirstDeletion, MIB) << "free before " << freeBefore;
  EXPECT_EQ("", WiperFilesLeft());
  EXPECT_TRUE(ReadWholeFile(g_root + "keep.bin") == user);
  EXPECT_GT(FreeBytes() + 2 * MIB, freeBefore);
  DeleteFileA((g_root + "keep.bin").c_str());
}

// A directory or a read-only file at the next wiper file's name: the creation fails with its
// message, and what is there is neither opened for writing, nor truncated, nor removed.
TEST_F(WiperWineTest, NamesInTheWayAreLeftAlone) {
  const bool directories[] = {true, false};
  for (bool directory : directories) {
    SCOPED_TRACE(directory ? "directory" : "read-only file");
    std::string name = WiperName(0);
    if (directory) {
      ASSERT_TRUE(CreateDirectoryA(name.c_str(), NULL));
      ASSERT_TRUE(WriteWholeFile(name + "\\inside.txt", "inside\n"));
    } else {
      ASSERT_TRUE(WriteWholeFile(name, "read only\n"));
      ASSERT_TRUE(SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY));
    }

    ObservedWipe result = WipeObserved(g_root, 10 * 1024, FreeBytesOf);

    EXPECT_EQ(STATUS_WIPE_FAILED, result.status);
    EXPECT_EQ("Failed to create a wiper file " + name + "\n", result.err);
    EXPECT_TRUE(result.deleted.empty());
    DWORD attributes = GetFileAttributesA(name.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    if (directory) {
      EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
      EXPECT_EQ("inside\n", ReadWholeFile(name + "\\inside.txt"));
      DeleteFileA((name + "\\inside.txt").c_str());
      RemoveDirectoryA(name.c_str());
    } else {
      EXPECT_EQ("read only\n", ReadWholeFile(name));
      SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(name.c_str());
    }
  }
}

// A process of this program started suspended, so that its id stays taken until the test ends it.
struct ChildProcess {
  PROCESS_INFORMATION info;
  bool started;
};

ChildProcess StartSuspendedChild() {
  ChildProcess child = {};
  char self[MAX_PATH];
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  char command[MAX_PATH + 32];
  if (GetModuleFileNameA(NULL, self, sizeof self) == 0)
    return child;
  snprintf(command, sizeof command, "\"%s\" --gtest_list_tests", self);
  child.started = CreateProcessA(self, command, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL,
                                 &startup, &child.info) != 0;
  return child;
}

void EndChild(ChildProcess& child) {
  TerminateProcess(child.info.hProcess, 0);
  WaitForSingleObject(child.info.hProcess, 10000);
  CloseHandle(child.info.hThread);
  CloseHandle(child.info.hProcess);
}

// Leftovers of dead runs: a regular file whose process has ended goes, with the message; one of a
// running process, a directory and another name stay.
TEST_F(WiperWineTest, LeftoversOfDeadRunsOnly) {
  ChildProcess ended = StartSuspendedChild();
  ASSERT_TRUE(ended.started);
  const DWORD dead = ended.info.dwProcessId;
  EndChild(ended);
  ChildProcess running = StartSuspendedChild();
  ASSERT_TRUE(running.started);
  const std::string leftover = g_root + "tzl_wiper_" + std::to_string(dead) + ".0";
  const std::string alive =
      g_root + "tzl_wiper_" + std::to_string(running.info.dwProcessId) + ".0";
  const std::string directory = g_root + "tzl_wiper_" + std::to_string(dead) + ".1";
  const std::string other = g_root + "tzl_wiper_" + std::to_string(dead) + ".2.txt";
  ASSERT_TRUE(WriteWholeFile(leftover, std::string(MIB, 'z')));
  ASSERT_TRUE(WriteWholeFile(alive, "still wiping\n"));
  ASSERT_TRUE(WriteWholeFile(other, "mine\n"));
  ASSERT_TRUE(CreateDirectoryA(directory.c_str(), NULL));
  ASSERT_TRUE(WriteWholeFile(directory + "\\inside.txt", "inside\n"));

  testing::internal::CaptureStdout();
  uint64_t bytes = RemoveLeftoverWiperFiles(g_root.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EndChild(running);

  EXPECT_EQ("Removed 1 wiper files left by an earlier run on " + g_root + "\n", out);
  EXPECT_EQ(MIB, bytes);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(leftover.c_str()));
  EXPECT_EQ("still wiping\n", ReadWholeFile(alive));
  EXPECT_EQ("mine\n", ReadWholeFile(other));
  EXPECT_EQ("inside\n", ReadWholeFile(directory + "\\inside.txt"));
  DeleteFileA(alive.c_str());
  DeleteFileA(other.c_str());
  DeleteFileA((directory + "\\inside.txt").c_str());
  RemoveDirectoryA(directory.c_str());
}

}  // namespace
