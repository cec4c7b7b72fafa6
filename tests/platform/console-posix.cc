// The Linux console against a real terminal: a child process on a pseudo-terminal of its own,
// keys typed into it from this side, and the screen output and terminal settings looked at after.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "gtest/gtest.h"

#include "console/console.h"
#include "driver/entry.h"
#include "base/output.h"

extern int g_consoleInput;  // Defined in console-posix.cc.

namespace {

// What the child does with the terminal.
enum Body {
  BODY_KEYS,             // a quiet span, three polls after the keys of step 0
  BODY_SPLIT_SEQUENCE,   // a poll after step 0, two after step 1
  BODY_REWIND,           // three lines, rewound in between
  BODY_EXIT_WHILE_QUIET, // exit() inside a quiet span
  BODY_FAULT_WHILE_QUIET,
  BODY_BACKGROUND,       // all of it from a process group in the background
};

// Where the child's standard output goes.
enum Output { OUTPUT_TERMINAL, OUTPUT_PIPE };

struct ConsoleCase {
  const char* name;
  Body body;
  Output output;
  bool terminal;        // false: the child has no controlling terminal at all
  const char* keys[2];  // typed at the child's steps 0 and 1
  const char* report;   // what the child reports (its standard output too, with OUTPUT_PIPE)
  const char* screen;   // what reaches the terminal from the child
  int exitStatus;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << c.name; }

const ConsoleCase kCases[] = {
    {"TwoKeysOnePerPollNotEchoed", BODY_KEYS, OUTPUT_TERMINAL, true, {"ab", nullptr},
     "quiet icanon=0 echo=0 isig=1\nkeys 97 98 0\n", "", 0},
    {"EscapeSequencesAheadOfKeyDropped", BODY_KEYS, OUTPUT_TERMINAL, true,
     {"\033[C\033OA\033[1;5D\033[15~c", nullptr},
     "quiet icanon=0 echo=0 isig=1\nkeys 99 0 0\n", "", 0},
    {"AltKeyGivesItsCharacter", BODY_KEYS, OUTPUT_TERMINAL, true, {"\033s", nullptr},
     "quiet icanon=0 echo=0 isig=1\nkeys 115 0 0\n", "", 0},
    {"SequenceSplitAcrossPolls", BODY_SPLIT_SEQUENCE, OUTPUT_TERMINAL, true, {"\033[1;2", "Cs"},
     "keys 0\nkeys 115 0\n", "", 0},
    {"NoTerminal", BODY_KEYS, OUTPUT_PIPE, false, {nullptr, nullptr},
     "quiet none\nkeys 0 0 0\n", "", 0},
    {"RewindOnTerminal", BODY_REWIND, OUTPUT_TERMINAL, true, {nullptr, nullptr}, "",
     "first\r\n\r\033[1Asecond\r\n\rthird\r\n\r\033[2A", 0},
    {"NoRewindIntoPipe", BODY_REWIND, OUTPUT_PIPE, true, {nullptr, nullptr},
     "first\nsecond\nthird\n", "", 0},
    {"ExitRestoresSettings", BODY_EXIT_WHILE_QUIET, OUTPUT_TERMINAL, true, {nullptr, nullptr},
     "", "", 0},
    {"FaultRestoresSettings", BODY_FAULT_WHILE_QUIET, OUTPUT_TERMINAL, true, {nullptr, nullptr},
     "", "", 1},
    {"BackgroundLeavesTerminalAlone", BODY_BACKGROUND, OUTPUT_TERMINAL, true, {"x\n", nullptr},
     "quiet icanon=1 echo=1 isig=1\nkeys 0 0 0\n", "x\r\n", 0},
};

int g_report = -1;
int g_go = -1;

// Lets the other side type the keys of step `n`, and waits until they are in the terminal.
void Step(int n) {
  dprintf(g_report, "ready %d\n", n);
  char go;
  if (read(g_go, &go, 1) != 1)
    _exit(3);
  if (g_consoleInput >= 0) {
    struct pollfd waiting = {g_consoleInput, POLLIN, 0};
    poll(&waiting, 1, 2000);
    // The terminal hands a write on in one piece, but give it a moment all the same.
    usleep(50000);
  }
}

void ReportQuietSettings() {
  struct termios settings;
  if (g_consoleInput < 0 || tcgetattr(g_consoleInput, &settings) != 0) {
    dprintf(g_report, "quiet none\n");
    return;
  }
  dprintf(g_report, "quiet icanon=%d echo=%d isig=%d\n", (settings.c_lflag & ICANON) != 0,
          (settings.c_lflag & ECHO) != 0, (settings.c_lflag & ISIG) != 0);
}

void RunKeys() {
  ConsoleOpen();
  ConsoleQuietBegin();
  ReportQuietSettings();
  Step(0);
  int first = PollKey();
  int second = PollKey();
  int third = PollKey();
  dprintf(g_report, "keys %d %d %d\n", first, second, third);
  ConsoleQuietEnd();
  ConsoleClose();
}

void RunBody(Body body) {
  switch (body) {
    case BODY_KEYS:
      RunKeys();
      break;
    case BODY_SPLIT_SEQUENCE: {
      ConsoleOpen();
      ConsoleQuietBegin();
      Step(0);
      dprintf(g_report, "keys %d\n", PollKey());
      Step(1);
      int first = PollKey();
      dprintf(g_report, "keys %d %d\n", first, PollKey());
      ConsoleQuietEnd();
      ConsoleClose();
      break;
    }
    case BODY_REWIND:
      PrintOut("first\n");
      CursorUpLines(1);
      PrintOut("second\n");
      CursorUpLines(0);
      PrintOut("third\n");
      CursorUpLines(0x10002);  // only the low 16 bits count
      break;
    case BODY_EXIT_WHILE_QUIET:
      ConsoleOpen();
      ConsoleQuietBegin();
      exit(0);
    case BODY_FAULT_WHILE_QUIET:
      EntryInstallFaultGuard();
      ConsoleOpen();
      ConsoleQuietBegin();
      raise(SIGSEGV);
      break;
    case BODY_BACKGROUND: {
      // A process group of its own is not the terminal's foreground group.
      fflush(nullptr);
      pid_t job = fork();
      if (job == 0) {
        setpgid(0, 0);
        RunKeys();
        _exit(0);
      }
      setpgid(job, job);
      int wstatus = 0;
      waitpid(job, &wstatus, WUNTRACED);
      if (WIFSTOPPED(wstatus)) {
        dprintf(g_report, "stopped by signal %d\n", WSTOPSIG(wstatus));
        kill(job, SIGKILL);
        waitpid(job, &wstatus, 0);
      }
      break;
    }
  }
}

// The child: a session of its own, with the terminal's slave side as controlling terminal (or
// none), standard input from /dev/null so that keys can only come from the terminal.
void RunChild(const ConsoleCase& c, const char* slaveName, int reportEnd, int goEnd) {
  g_report = reportEnd;
  g_go = goEnd;
  alarm(20);
  setsid();
  int input = open("/dev/null", O_RDONLY);
  dup2(input, STDIN_FILENO);
  if (c.terminal) {
    int slave = open(slaveName, O_RDWR);
    if (slave < 0)
      _exit(4);
    if (c.output == OUTPUT_TERMINAL)
      dup2(slave, STDOUT_FILENO);
  }
  if (c.output == OUTPUT_PIPE)
    dup2(reportEnd, STDOUT_FILENO);
  RunBody(c.body);
  fflush(stdout);
  _exit(0);
}

bool SameSettings(const struct termios& a, const struct termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

class ConsolePosixTest : public testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsolePosixTest, BehavesOnRealTerminal) {
  const ConsoleCase& c = GetParam();
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  std::string slaveName = ptsname(master);
  struct termios before;
  ASSERT_EQ(0, tcgetattr(master, &before));

  int report[2];
  int go[2];
  ASSERT_EQ(0, pipe(report));
  ASSERT_EQ(0, pipe(go));
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(master);
    close(report[0]);
    close(go[1]);
    RunChild(c, slaveName.c_str(), report[1], go[0]);
  }
  close(report[1]);
  close(go[0]);

  // The child's report, line by line, typing the keys of each step it asks for.
  std::string text;
  std::string line;
  char ch;
  while (read(report[0], &ch, 1) == 1) {
    line += ch;
    if (ch != '\n')
      continue;
    int step = -1;
    if (sscanf(line.c_str(), "ready %d", &step) == 1 && step >= 0 && step < 2) {
      const char* keys = c.keys[step];
      if (keys != nullptr) {
        ASSERT_EQ((ssize_t)strlen(keys), write(master, keys, strlen(keys)));
      }
      ASSERT_EQ(1, write(go[1], "g", 1));
    } else {
      text += line;
    }
    line.clear();
  }
  text += line;
  close(report[0]);
  close(go[1]);
  int wstatus = 0;
  ASSERT_EQ(child, waitpid(child, &wstatus, 0));
  ASSERT_TRUE(WIFEXITED(wstatus)) << text;
  EXPECT_EQ(c.exitStatus, WEXITSTATUS(wstatus));
  EXPECT_EQ(c.report, text);

  // Everything the child's side sent to the screen: its output, and any echo of the keys.
  std::string screen;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buffer[512];
  for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;)
    screen.append(buffer, (size_t)got);
  EXPECT_EQ(c.screen, screen);

  struct termios after;
  ASSERT_EQ(0, tcgetattr(master, &after));
  EXPECT_TRUE(SameSettings(before, after));
  close(master);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConsolePosixTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ConsoleCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
