// The key poll over scripted console input: what each call returns and what it leaves queued.
#include <ostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

#include "console/console.h"
#include "fakes/fake-console.h"

namespace {

// How a case fills the queue before polling.
enum Script {
  SCRIPT_NOTHING,
  SCRIPT_RELEASE_THEN_C,
  SCRIPT_NO_CHARACTER_EVENTS_ONLY,
  SCRIPT_MOUSE_AND_SHIFT_THEN_S,
  SCRIPT_TWO_KEYS,
  SCRIPT_FAILING_READ,
};

struct PollCase {
  const char* name;
  Script script;
  std::vector<int> results;  // of PollKey, call by call
  bool emptyAfter;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }

void RunScript(Script script) {
  switch (script) {
    case SCRIPT_NOTHING:
      break;
    case SCRIPT_RELEASE_THEN_C:
      FakeConsoleQueueRelease('x');
      FakeConsoleQueueKeys("c");
      break;
    case SCRIPT_NO_CHARACTER_EVENTS_ONLY:
      FakeConsoleQueueRelease('a');
      FakeConsoleQueueNoCharKey();
      FakeConsoleQueueMouse();
      FakeConsoleQueueNoCharKey();
      break;
    case SCRIPT_MOUSE_AND_SHIFT_THEN_S:
      FakeConsoleQueueMouse();
      FakeConsoleQueueNoCharKey();
      FakeConsoleQueueKeys("S");
      FakeConsoleQueueRelease('S');
      break;
    case SCRIPT_TWO_KEYS:
      FakeConsoleQueueKeys("ab");
      break;
    case SCRIPT_FAILING_READ:
      FakeConsoleQueueKeys("c");
      FakeConsoleFailNextRead();
      break;
  }
}

const PollCase kPollCases[] = {
    {"NothingWaiting", SCRIPT_NOTHING, {0, 0}, true},
    {"ReleaseAheadOfKeyIsDropped", SCRIPT_RELEASE_THEN_C, {'c', 0}, true},
    {"EventsWithoutCharacterOnly", SCRIPT_NO_CHARACTER_EVENTS_ONLY, {0}, true},
    {"MouseAndShiftAheadOfKey", SCRIPT_MOUSE_AND_SHIFT_THEN_S, {'S', 0}, true},
    {"TwoKeysOnePerCall", SCRIPT_TWO_KEYS, {'a', 'b', 0}, true},
    {"FailedReadGivesMinusOne", SCRIPT_FAILING_READ, {-1, 'c', 0}, true},
};

class PollKeyTest : public testing::TestWithParam<PollCase> {
 protected:
  void SetUp() override { FakeConsoleReset(); }
};

TEST_P(PollKeyTest, TakesAtMostOneCharacterPerCall) {
  const PollCase& c = GetParam();
  RunScript(c.script);
  std::vector<int> results;
  for (size_t n = 0; n < c.results.size(); ++n)
    results.push_back(PollKey());
  EXPECT_EQ(c.results, results);
  EXPECT_EQ(c.emptyAfter, FakeConsoleQueueEmpty());
}

INSTANTIATE_TEST_SUITE_P(Cases, PollKeyTest, testing::ValuesIn(kPollCases),
                         [](const testing::TestParamInfo<PollCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
