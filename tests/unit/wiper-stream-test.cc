// Unit tests of the streamed writes (Linux): when each range's writeback is started, waited for
// and dropped from the cache, recorded by the fake range services.
#include "wiper/wiper-stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake-files.h"
#include "wiper/wiper-platform.h"

namespace {

const uint64_t KIB = 1024;
const uint64_t MIB = KIB * KIB;
const char NAME[] = "/v/tzl_wiper_508.0";

std::string Range(const char* what, uint64_t offset, uint64_t length) {
  return std::string(what) + " " + NAME + " " + std::to_string(offset) + "+" +
         std::to_string(length) + "\n";
}

std::string Started(uint64_t offset, uint64_t length) {
  return Range("writeback", offset, length);
}

// A range a window behind reached the disk and left the cache.
std::string Settled(uint64_t offset, uint64_t length) {
  return Range("await", offset, length) + Range("drop", offset, length);
}

class WiperStreamTest : public testing::Test {
 protected:
  void SetUp() override { FakeFilesReset(); }
  void TearDown() override { g_wiperStreamWindow = WIPER_STREAM_WINDOW; }
};

// A file written block by block, as the wiper writes it, and then closed.
TEST_F(WiperStreamTest, WritebackStartedEachBlockSettledAWindowBehind) {
  struct Case {
    const char* name;
    uint64_t window;
    std::vector<uint64_t> writes;  // bytes written by each block, in order
    std::string log;
  };
  const Case cases[] = {
      {"1 MiB blocks, 2 MiB window",
       2 * MIB,
       {MIB, MIB, MIB, MIB},
       Started(0, MIB) + Started(MIB, MIB) + Started(2 * MIB, MIB) + Settled(0, MIB) +
           Started(3 * MIB, MIB) + Settled(MIB, MIB) + Settled(0, 0)},
      {"a file shorter than the window settles only at close",
       2 * MIB,
       {MIB, 1500},
       Started(0, MIB) + Started(MIB, 1500) + Settled(0, 0)},
      {"a short last block: its whole pages a window behind",
       MIB,
       {MIB, 6000},
       Started(0, MIB) + Started(MIB, 6000) + Settled(0, 4096) + Settled(0, 0)},
      // Blocks below a page: a page settles once it lies wholly a window behind.
      {"1 KiB blocks, 8 KiB window",
       8 * KIB,
       std::vector<uint64_t>(13, KIB),
       Started(0, KIB) + Started(KIB, KIB) + Started(2 * KIB, KIB) + Started(3 * KIB, KIB) +
           Started(4 * KIB, KIB) + Started(5 * KIB, KIB) + Started(6 * KIB, KIB) +
           Started(7 * KIB, KIB) + Started(8 * KIB, KIB) + Started(9 * KIB, KIB) +
           Started(10 * KIB, KIB) + Started(11 * KIB, KIB) + Settled(0, 4 * KIB) +
           Started(12 * KIB, KIB) + Settled(0, 0)},
      {"a failed write (nothing written) starts nothing",
       2 * MIB,
       {MIB, 0},
       Started(0, MIB) + Settled(0, 0)},
      {"window 0: plain buffered writes, as the kernel flushes them", 0, {MIB, MIB, MIB}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    g_wiperStreamWindow = c.window;
    bool held = false;
    WiperFile file = WiperFileCreateNew(NAME, &held);
    ASSERT_NE(WIPER_FILE_INVALID, file);
    uint64_t offset = 0;
    for (uint64_t length : c.writes) {
      WiperStreamWritten(file, offset, length);
      offset += length;
    }
    WiperStreamClosing(file);
    WiperFileClose(file);
    EXPECT_EQ("create " + std::string(NAME) + "\n" + c.log + "close " + NAME + "\n",
              FakeFilesLog());
  }
}

// Over a long file, for each block size: every byte is started once and settled once, in order,
// and before each block is written the newest settled byte lies at most a window (and a page)
// behind: the wiper's data in flight never exceeds the window and one block.
TEST_F(WiperStreamTest, EveryByteSettledOnceAndNeverMoreThanAWindowInFlight) {
  const uint64_t blocks[] = {MIB, 512 * KIB, 4 * KIB, KIB};
  const uint64_t total = 3 * WIPER_STREAM_WINDOW + 5 * KIB;
  for (uint64_t block : blocks) {
    SCOPED_TRACE(block);
    SetUp();
    bool held = false;
    WiperFile file = WiperFileCreateNew(NAME, &held);
    for (uint64_t offset = 0; offset < total; offset += block)
      WiperStreamWritten(file, offset, block);

    uint64_t started = 0;
    uint64_t awaited = 0;
    uint64_t dropped = 0;
    std::string log = FakeFilesLog();
    for (size_t at = log.find('\n') + 1; at < log.size(); at = log.find('\n', at) + 1) {
      std::string line = log.substr(at, log.find('\n', at) - at);
      std::string what = line.substr(0, line.find(' '));
      size_t plus = line.find('+');
      size_t space = line.rfind(' ', plus);
      uint64_t offset = std::stoull(line.substr(space + 1, plus - space - 1));
      uint64_t length = std::stoull(line.substr(plus + 1));
      uint64_t* next = what == "writeback" ? &started : what == "await" ? &awaited : &dropped;
      ASSERT_EQ(*next, offset) << line;
      *next += length;
      if (what == "writeback") {
        ASSERT_LE(offset - awaited, WIPER_STREAM_WINDOW + WIPER_STREAM_PAGE) << line;
      } else {
        ASSERT_LE(*next, started) << line;
        ASSERT_EQ(0u, *next % WIPER_STREAM_PAGE) << line;
      }
    }
    EXPECT_EQ(total - total % block + (total % block ? block : 0), started);
    EXPECT_EQ(awaited, dropped);
    EXPECT_GE(awaited + WIPER_STREAM_WINDOW + WIPER_STREAM_PAGE, started);
  }
}

}  // namespace
