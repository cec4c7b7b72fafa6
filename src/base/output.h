// Formatted output to the two standard streams, and the platform's text for an error code.
#ifndef SHRINK_BASE_OUTPUT_H_
#define SHRINK_BASE_OUTPUT_H_

#include <stdint.h>

#if defined(__GNUC__)
#define SHRINK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define SHRINK_PRINTF(f, a)
#endif

/// Writes to standard output. When standard output is a console, the text is flushed at the end of
/// every call, so that a line has reached the screen before the cursor is moved over it; otherwise
/// the stream stays fully buffered and is written out when full and at exit. Gating is the caller's.
void PrintOut(const char* format, ...) SHRINK_PRINTF(1, 2);

/// Writes to standard error, which is unbuffered. Gating is the caller's.
void PrintErr(const char* format, ...) SHRINK_PRINTF(1, 2);

/// Writes the platform's text for `code` to standard error, exactly as the platform gives it.
/// Makes no verbosity test: callers call it inside their own level-1 test.
/// Defined in system-error-win32.cc / system-error-posix.cc.
void PrintSystemError(uint32_t code);

/// Size of the buffer that receives the platform's text for an error code.
const uint32_t SYSTEM_ERROR_TEXT_SIZE = 512;

/// Tells whether standard output is a character device (a console or terminal), asked once at the
/// first write. Defined in streams-win32.cc / streams-posix.cc.
bool StreamsStdoutIsConsole();

#endif  // SHRINK_BASE_OUTPUT_H_
