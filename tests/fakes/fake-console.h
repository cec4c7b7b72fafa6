// A scripted console standing in for the platform's console services (console.h, all but
// PollKey): a queue of input events and a record of rewinds and quiet spans.
#ifndef SHRINK_TESTS_FAKES_FAKE_CONSOLE_H_
#define SHRINK_TESTS_FAKES_FAKE_CONSOLE_H_

/// Back to: an empty input queue, no failing read, rewinds not shown, the record empty.
void FakeConsoleReset();

/// Queues a press of a key that gives each character of `keys` in turn.
void FakeConsoleQueueKeys(const char* keys);

/// Queues events that carry no character: the release of the key `key`, a press of a key
/// without a character (Shift, an arrow key), and a mouse event.
void FakeConsoleQueueRelease(char key);
void FakeConsoleQueueNoCharKey();
void FakeConsoleQueueMouse();

/// Makes the next ConsoleReadChar fail (-1), leaving its key in the queue.
void FakeConsoleFailNextRead();

/// Whether events are left in the input queue.
bool FakeConsoleQueueEmpty();

/// With `show`, each CursorUpLines call also writes "<up N>" to standard output, so that tests
/// can match where the rewinds fall among the lines printed.
void FakeConsoleShowRewinds(bool show);

/// What happened since the reset, one line each: "up N", "quiet begin", "quiet end",
/// "restore", "open", "close".
const char* FakeConsoleCalls();

#endif  // SHRINK_TESTS_FAKES_FAKE_CONSOLE_H_
