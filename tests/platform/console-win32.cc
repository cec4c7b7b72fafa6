// The Windows console code against a real console: input events written into the console's
// input buffer, and the cursor of its screen buffer moved by the rewind. Wine has a console only
// for a program started on a terminal: tests/e2e/test_console.py runs these in a tmux pane.
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

#include "console/console.h"

extern HANDLE g_consoleInput;  // Defined in console-win32.cc.

namespace {

// A process started without a console (a test runner's pipes) gets one of its own, once.
bool ConsoleReady() {
  static bool tried = false;
  DWORD mode;
  if (!tried) {
    tried = true;
    ConsoleOpen();
    if (!GetConsoleMode(g_consoleInput, &mode)) {
      ConsoleClose();
      FreeConsole();
      AllocConsole();
      ConsoleOpen();
    }
  }
  return GetConsoleMode(g_consoleInput, &mode) != 0;
}

INPUT_RECORD KeyEvent(BOOL down, WORD virtualKey, char character) {
  INPUT_RECORD record;
  ZeroMemory(&record, sizeof record);
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtualKey;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  return record;
}

INPUT_RECORD OtherEvent(WORD type) {
  INPUT_RECORD record;
  ZeroMemory(&record, sizeof record);
  record.EventType = type;
  return record;
}

const INPUT_RECORD PRESS_C = KeyEvent(TRUE, 'C', 'c');
const INPUT_RECORD RELEASE_C = KeyEvent(FALSE, 'C', 'c');
const INPUT_RECORD PRESS_SHIFT = KeyEvent(TRUE, VK_SHIFT, 0);
const INPUT_RECORD PRESS_RIGHT = KeyEvent(TRUE, VK_RIGHT, 0);
const INPUT_RECORD PRESS_A = KeyEvent(TRUE, 'A', 'a');
const INPUT_RECORD PRESS_B = KeyEvent(TRUE, 'B', 'b');
const INPUT_RECORD MOUSE = OtherEvent(MOUSE_EVENT);
const INPUT_RECORD FOCUS = OtherEvent(FOCUS_EVENT);

struct KeyCase {
  const char* name;
  std::vector<INPUT_RECORD> events;
  std::vector<int> results;  // of PollKey, call by call
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

const KeyCase kKeyCases[] = {
    {"NothingWaiting", {}, {0}},
    {"ReleaseAheadOfKey", {RELEASE_C, PRESS_C}, {'c', 0}},
    {"NoCharacterEventsOnly", {PRESS_SHIFT, MOUSE, PRESS_RIGHT, FOCUS, RELEASE_C}, {0, 0}},
    {"TwoKeysOnePerPoll", {PRESS_A, PRESS_B}, {'a', 'b', 0}},
    {"ShiftAndMouseAheadOfKey", {PRESS_SHIFT, MOUSE, PRESS_C}, {'c', 0}},
};

class ConsoleKeyTest : public testing::TestWithParam<KeyCase> {
 protected:
  void SetUp() override {
    if (!ConsoleReady())
      GTEST_SKIP() << "no console to be had";
    FlushConsoleInputBuffer(g_consoleInput);
  }
};

TEST_P(ConsoleKeyTest, PollTakesAtMostOneCharacter) {
  const KeyCase& c = GetParam();
  DWORD mode = 0;
  ASSERT_TRUE(GetConsoleMode(g_consoleInput, &mode));
  if (!c.events.empty()) {
    DWORD written = 0;
    ASSERT_TRUE(WriteConsoleInputA(g_consoleInput, c.events.data(), (DWORD)c.events.size(),
                                   &written));
  }
  std::vector<int> results;
  for (size_t n = 0; n < c.results.size(); ++n)
    results.push_back(PollKey());
  EXPECT_EQ(c.results, results);
  DWORD left = 1;
  ASSERT_TRUE(GetNumberOfConsoleInputEvents(g_consoleInput, &left));
  EXPECT_EQ(0u, left);
  DWORD after = 0;
  ASSERT_TRUE(GetConsoleMode(g_consoleInput, &after));
  EXPECT_EQ(mode, after);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleKeyTest, testing::ValuesIn(kKeyCases),
                         [](const testing::TestParamInfo<KeyCase>& info) {
                           return std::string(info.param.name);
                         });

struct RewindCase {
  const char* name;
  SHORT x, y;  // where the cursor stands
  int lines;
  SHORT expectedX, expectedY;
};

void PrintTo(const RewindCase& c, std::ostream* os) { *os << c.name; }

const RewindCase kRewindCases[] = {
    {"OneLineUp", 7, 3, 1, 0, 2},
    {"ZeroLinesGoesToColumnZero", 7, 3, 0, 0, 3},
    {"OnlyLowSixteenBitsCount", 7, 3, 0x10002, 0, 1},
    {"AboveTheTopStaysPut", 7, 0, 1, 7, 0},
};

class ConsoleRewindTest : public testing::TestWithParam<RewindCase> {
 protected:
  void SetUp() override {
    if (!ConsoleReady())
      GTEST_SKIP() << "no console to be had";
    // Standard output of a test runner is a pipe; the console's screen buffer stands in for it.
    savedOutput_ = GetStdHandle(STD_OUTPUT_HANDLE);
    screen_ = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, screen_);
    SetStdHandle(STD_OUTPUT_HANDLE, screen_);
  }
  void TearDown() override {
    if (screen_ != INVALID_HANDLE_VALUE) {
      SetStdHandle(STD_OUTPUT_HANDLE, savedOutput_);
      CloseHandle(screen_);
    }
  }
  HANDLE savedOutput_ = INVALID_HANDLE_VALUE;
  HANDLE screen_ = INVALID_HANDLE_VALUE;
};

TEST_P(ConsoleRewindTest, MovesToColumnZeroOfAnEarlierRow) {
  const RewindCase& c = GetParam();
  COORD start = {c.x, c.y};
  ASSERT_TRUE(SetConsoleCursorPosition(screen_, start));
  CursorUpLines(c.lines);
  CONSOLE_SCREEN_BUFFER_INFO info;
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen_, &info));
  EXPECT_EQ(c.expectedX, info.dwCursorPosition.X);
  EXPECT_EQ(c.expectedY, info.dwCursorPosition.Y);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleRewindTest, testing::ValuesIn(kRewindCases),
                         [](const testing::TestParamInfo<RewindCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
