// The console on Linux: the rewind as a terminal control sequence, and keys read from the
// controlling terminal without echo, Enter or waiting, with its settings always put back.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "console/console.h"

/// The controlling terminal, read for keys even when standard input is redirected; -1 when the
/// process has none.
int g_consoleInput = -1;

namespace {

const int CONSOLE_ESCAPE = 0x1b;

// Where the key check stands in the bytes of an escape sequence. The state outlives a call, so
// that the rest of a sequence that arrives later is still dropped and not taken for keys: the
// final byte of the right-arrow key is "C". A lone Esc key waits in ESCAPE_START for the next
// byte and is no key of its own.
enum EscapeState { ESCAPE_NONE, ESCAPE_START, ESCAPE_CSI, ESCAPE_SS3 };

EscapeState g_escapeState = ESCAPE_NONE;

// A character byte that the key check has read and the next read returns; -1 for none.
int g_pendingChar = -1;

// The settings to put back on every way out while the terminal is changed: taken before the
// first change, and only acted on while g_restorePending is set.
struct termios g_restoreSettings;
volatile sig_atomic_t g_restorePending = 0;

// The settings of the quiet span, while one is open.
struct termios g_quietSaved;
bool g_quietActive = false;

bool g_exitHookSet = false;

// Only the foreground process group may read the terminal or change its settings; a job in the
// background would be stopped by the terminal for trying.
bool ConsoleOwnsTerminal() {
  return g_consoleInput >= 0 && tcgetpgrp(g_consoleInput) == getpgrp();
}

// Changes the terminal to `settings`, keeping `previous` as the settings to restore on any way
// out unless an earlier change already keeps them.
bool ConsoleChangeSettings(const struct termios& previous, const struct termios& settings) {
  if (g_restorePending == 0) {
    g_restoreSettings = previous;
    g_restorePending = 1;
  }
  return tcsetattr(g_consoleInput, TCSANOW, &settings) == 0;
}

// No echo and no line editing, so that a key can be read at once; ISIG stays, Ctrl+C still
// interrupts.
struct termios ConsoleQuietSettings(const struct termios& settings) {
  struct termios quiet = settings;
  quiet.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  return quiet;
}

// Whether a byte can be read from the terminal at once.
bool ConsoleInputReady() {
  struct pollfd waiting;
  waiting.fd = g_consoleInput;
  waiting.events = POLLIN;
  waiting.revents = 0;
  return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}

// One byte from the terminal if one is there at once; -1 otherwise.
int ConsoleNextByte() {
  if (!ConsoleInputReady())
    return -1;
  unsigned char byte;
  if (read(g_consoleInput, &byte, 1) != 1)
    return -1;
  return byte;
}

void ConsoleExitHook() { ConsoleRestore(); }

}  // namespace

void CursorUpLines(int lines) {
  if (!isatty(STDOUT_FILENO))
    return;
  int16_t rows = (int16_t)(lines & 0xFFFF);
  char sequence[16];
  int length;
  if (rows > 0)
    length = snprintf(sequence, sizeof sequence, "\r\033[%dA", (int)rows);
  else if (rows < 0)
    length = snprintf(sequence, sizeof sequence, "\r\033[%dB", -(int)rows);
  else
    length = snprintf(sequence, sizeof sequence, "\r");
  // Through the stream, behind the line printed before it, so that the line that follows
  // takes the sequence with it to the screen in one write.
  fwrite(sequence, 1, (size_t)length, stdout);
}

int ConsoleKeyWaiting() {
  if (g_pendingChar >= 0)
    return 1;
  // Most polls find nothing, so the ownership check waits until there is a byte: only reading
  // from the background would stop the process, not looking.
  if (g_consoleInput < 0 || !ConsoleInputReady() || !ConsoleOwnsTerminal())
    return 0;
  for (;;) {
    int byte = ConsoleNextByte();
    if (byte < 0)
      return 0;
    switch (g_escapeState) {
      case ESCAPE_NONE:
        if (byte == CONSOLE_ESCAPE) {
          g_escapeState = ESCAPE_START;
          continue;
        }
        g_pendingChar = byte;
        return 1;
      case ESCAPE_START:
        if (byte == '[') {
          g_escapeState = ESCAPE_CSI;
        } else if (byte == 'O') {
          g_escapeState = ESCAPE_SS3;
        } else if (byte != CONSOLE_ESCAPE) {
          // Alt with a key: the key's own character, as the Windows console gives it.
          g_escapeState = ESCAPE_NONE;
          g_pendingChar = byte;
          return 1;
        }
        continue;
      case ESCAPE_CSI:
        // Parameter and intermediate bytes, then one final byte from '@' to '~'.
        if (byte >= 0x40 && byte <= 0x7e) {
          g_escapeState = ESCAPE_NONE;
        } else if (byte < 0x20 || byte > 0x3f) {
          // Not a sequence after all: the byte stands for itself.
          g_escapeState = byte == CONSOLE_ESCAPE ? ESCAPE_START : ESCAPE_NONE;
          if (byte != CONSOLE_ESCAPE) {
            g_pendingChar = byte;
            return 1;
          }
        }
        continue;
      case ESCAPE_SS3:
        g_escapeState = ESCAPE_NONE;
        continue;
    }
  }
}

int ConsoleReadChar() {
  if (g_pendingChar >= 0) {
    int character = g_pendingChar;
    g_pendingChar = -1;
    return character;
  }
  if (!ConsoleOwnsTerminal())
    return -1;
  struct termios saved;
  bool changed = false;
  if (tcgetattr(g_consoleInput, &saved) == 0)
    changed = ConsoleChangeSettings(saved, ConsoleQuietSettings(saved));
  // The terminal is opened without blocking: with no key there, the read fails rather than wait.
  unsigned char byte;
  int result = read(g_consoleInput, &byte, 1) == 1 ? byte : -1;
  if (changed) {
    tcsetattr(g_consoleInput, TCSANOW, &saved);
    if (!g_quietActive)
      g_restorePending = 0;
  }
  return result;
}

void ConsoleOpen() {
  if (g_consoleInput >= 0)
    return;
  g_consoleInput = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  g_escapeState = ESCAPE_NONE;
  g_pendingChar = -1;
  // However the process ends normally, the terminal is left as it was found.
  if (!g_exitHookSet) {
    g_exitHookSet = true;
    atexit(ConsoleExitHook);
  }
}

void ConsoleClose() {
  if (g_consoleInput < 0)
    return;
  ConsoleRestore();
  g_quietActive = false;
  close(g_consoleInput);
  g_consoleInput = -1;
}

void ConsoleQuietBegin() {
  if (g_quietActive || !ConsoleOwnsTerminal())
    return;
  if (tcgetattr(g_consoleInput, &g_quietSaved) != 0)
    return;
  g_quietActive = true;
  ConsoleChangeSettings(g_quietSaved, ConsoleQuietSettings(g_quietSaved));
}

void ConsoleQuietEnd() {
  if (!g_quietActive)
    return;
  g_quietActive = false;
  // From the background the settings are left for the exit to put back, if it is in the
  // foreground by then: trying now would stop the process.
  if (!ConsoleOwnsTerminal())
    return;
  tcsetattr(g_consoleInput, TCSANOW, &g_quietSaved);
  g_restorePending = 0;
}

void ConsoleRestore() {
  // Called from the fault handler too: only tcgetpgrp, getpgrp and tcsetattr, which are safe in
  // a signal handler.
  if (g_restorePending == 0 || g_consoleInput < 0)
    return;
  if (tcgetpgrp(g_consoleInput) == getpgrp())
    tcsetattr(g_consoleInput, TCSANOW, &g_restoreSettings);
  g_restorePending = 0;
}
