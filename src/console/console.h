// The console surface of the wipe: rewinding the progress line and polling the keyboard.
#ifndef SHRINK_CONSOLE_CONSOLE_H_
#define SHRINK_CONSOLE_CONSOLE_H_

/// Moves the cursor to column 0, `lines` rows up (low 16 bits), when standard output is a
/// console; does nothing otherwise. Defined in console-win32.cc / console-posix.cc.
void CursorUpLines(int lines);

/// Returns 0 at once when no key is waiting, else ConsoleReadChar(). Defined in poll-key.cc.
int PollKey();

/// 1 when a key press with a character is next in the console input, else 0; events without a
/// character ahead of it are taken out and dropped. Never blocks.
int ConsoleKeyWaiting();

/// Reads one character without echo and without waiting for Enter, restoring the input mode
/// afterwards: 0 to 255, or -1 when the read failed. On a POSIX terminal the read never waits:
/// with no key there it fails.
int ConsoleReadChar();

/// Opens the console input at process start and closes it at exit: g_consoleInput, defined with
/// the platform's type in console-win32.cc (a HANDLE) and console-posix.cc (the descriptor of
/// the controlling terminal). With no console the polls find nothing.
void ConsoleOpen();
void ConsoleClose();

/// Keeps keys typed during a wipe from being echoed or held for Enter, where the console would
/// otherwise do so before the key check sees them (a POSIX terminal); no-op on Windows. The
/// settings are restored by ConsoleQuietEnd, and by ConsoleRestore on every other way out.
void ConsoleQuietBegin();
void ConsoleQuietEnd();

/// Puts the terminal settings back as they were; async-signal-safe, for fault and exit paths.
void ConsoleRestore();

#endif  // SHRINK_CONSOLE_CONSOLE_H_
