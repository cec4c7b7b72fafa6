// Fake console services: input events taken from a scripted queue the way the Windows console
// gives them, and a record of the rewinds and quiet spans.
#include "fakes/fake-console.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "console/console.h"

namespace {

// The three kinds of input event the key check tells apart.
enum FakeEventKind { FAKE_KEY_DOWN, FAKE_KEY_UP, FAKE_MOUSE };

struct FakeEvent {
  FakeEventKind kind;
  unsigned char character;  // 0 for a key without a character
};

const int FAKE_QUEUE_SIZE = 256;
FakeEvent g_queue[FAKE_QUEUE_SIZE];
int g_head = 0;
int g_tail = 0;
bool g_failNextRead = false;
bool g_showRewinds = false;
// Grows as needed: a long wipe records thousands of rewinds, and none may be lost.
std::string g_calls;

void FakeRecord(const char* line) {
  g_calls += line;
  g_calls += '\n';
}

void FakeQueue(FakeEventKind kind, unsigned char character) {
  if (g_tail == FAKE_QUEUE_SIZE)
    return;
  g_queue[g_tail].kind = kind;
  g_queue[g_tail].character = character;
  ++g_tail;
}

bool FakeIsCharacterPress(const FakeEvent& event) {
  return event.kind == FAKE_KEY_DOWN && event.character != 0;
}

}  // namespace

void FakeConsoleReset() {
  g_head = 0;
  g_tail = 0;
  g_failNextRead = false;
  g_showRewinds = false;
  g_calls.clear();
}

void FakeConsoleQueueKeys(const char* keys) {
  for (const char* key = keys; *key != '\0'; ++key)
    FakeQueue(FAKE_KEY_DOWN, (unsigned char)*key);
}

void FakeConsoleQueueRelease(char key) { FakeQueue(FAKE_KEY_UP, (unsigned char)key); }
void FakeConsoleQueueNoCharKey() { FakeQueue(FAKE_KEY_DOWN, 0); }
void FakeConsoleQueueMouse() { FakeQueue(FAKE_MOUSE, 0); }
void FakeConsoleFailNextRead() { g_failNextRead = true; }
bool FakeConsoleQueueEmpty() { return g_head == g_tail; }
void FakeConsoleShowRewinds(bool show) { g_showRewinds = show; }
const char* FakeConsoleCalls() { return g_calls.c_str(); }

void CursorUpLines(int lines) {
  char line[32];
  snprintf(line, sizeof line, "up %d", lines);
  FakeRecord(line);
  if (g_showRewinds)
    printf("<%s>", line);
}

int ConsoleKeyWaiting() {
  // As the console's peek: events without a character ahead of a key press are dropped.
  while (g_head != g_tail) {
    if (FakeIsCharacterPress(g_queue[g_head]))
      return 1;
    ++g_head;
  }
  return 0;
}

int ConsoleReadChar() {
  if (g_failNextRead) {
    g_failNextRead = false;
    return -1;
  }
  // The unechoed read passes over what has no character, as the console's read does.
  while (g_head != g_tail) {
    FakeEvent event = g_queue[g_head++];
    if (FakeIsCharacterPress(event))
      return event.character;
  }
  // A real read would wait for a key here; the fake has none to give.
  return -1;
}

void ConsoleOpen() { FakeRecord("open"); }
void ConsoleClose() { FakeRecord("close"); }
void ConsoleQuietBegin() { FakeRecord("quiet begin"); }
void ConsoleQuietEnd() { FakeRecord("quiet end"); }
void ConsoleRestore() { FakeRecord("restore"); }
