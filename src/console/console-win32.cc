// The console on Windows: the rewind by the screen buffer's cursor position, and keys from the
// console input buffer opened as "CONIN$", so that a redirected standard input does not matter.
#include <windows.h>

#include "console/console.h"

/// The console input buffer; INVALID_HANDLE_VALUE when the process has no console.
HANDLE g_consoleInput = INVALID_HANDLE_VALUE;

void CursorUpLines(int lines) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (GetFileType(output) != FILE_TYPE_CHAR)
    return;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(output, &info))
    return;
  COORD position = info.dwCursorPosition;
  position.X = 0;
  // A row above the top is refused by the console, and the cursor stays where it is.
  position.Y = (SHORT)(position.Y - (SHORT)lines);
  SetConsoleCursorPosition(output, position);
}

int ConsoleKeyWaiting() {
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputA(g_consoleInput, &record, 1, &count) || count == 0)
      return 0;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0)
      return 1;
    // Key releases, keys without a character, mouse, focus, menu and size events: dropped.
    ReadConsoleInputA(g_consoleInput, &record, 1, &count);
  }
}

int ConsoleReadChar() {
  DWORD mode = 0;
  // Without the saved mode there would be nothing right to put back: read in the mode as it is.
  bool haveMode = GetConsoleMode(g_consoleInput, &mode) != 0;
  if (haveMode)
    SetConsoleMode(g_consoleInput, 0);
  char character = 0;
  DWORD read = 0;
  int result = -1;
  if (ReadConsoleA(g_consoleInput, &character, 1, &read, nullptr) && read == 1)
    result = (unsigned char)character;
  if (haveMode)
    SetConsoleMode(g_consoleInput, mode);
  return result;
}

void ConsoleOpen() {
  if (g_consoleInput != INVALID_HANDLE_VALUE)
    return;
  g_consoleInput = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
}

void ConsoleClose() {
  if (g_consoleInput == INVALID_HANDLE_VALUE)
    return;
  CloseHandle(g_consoleInput);
  g_consoleInput = INVALID_HANDLE_VALUE;
}

// The Windows console gives keys to the check at once, without echo: nothing to change.
void ConsoleQuietBegin() {}
void ConsoleQuietEnd() {}
void ConsoleRestore() {}
