// Streaming of the wiper's writes on Linux: each block's writeback is started as it is written,
// and the block a window behind is waited for and dropped from the page cache.
#include "wiper/wiper-stream.h"

uint64_t g_wiperStreamWindow = WIPER_STREAM_WINDOW;

namespace {

uint64_t PageFloor(uint64_t offset) { return offset & ~(WIPER_STREAM_PAGE - 1); }

}  // namespace

void WiperStreamWritten(WiperFile file, uint64_t offset, uint64_t length) {
  uint64_t window = g_wiperStreamWindow;
  if (window == 0 || length == 0)
    return;
  WiperRangeStartWriteback(file, offset, length);
  // The settled range of each block ends a window behind its end, in whole pages, so that the
  // ranges of successive blocks meet without a gap: a block smaller than a page settles nothing
  // until a page boundary falls a window behind, and then that whole page.
  uint64_t end = offset + length;
  if (end <= window)
    return;
  uint64_t settledEnd = PageFloor(end - window);
  uint64_t settledStart = offset > window ? PageFloor(offset - window) : 0;
  if (settledEnd <= settledStart)
    return;
  // By now the disk has usually taken these pages: the wait costs nothing, and it keeps the
  // wiper's dirty data at one window however fast it writes.
  WiperRangeAwaitWriteback(file, settledStart, settledEnd - settledStart);
  WiperRangeDropCached(file, settledStart, settledEnd - settledStart);
}

void WiperStreamClosing(WiperFile file) {
  if (g_wiperStreamWindow == 0)
    return;
  // Only the last window is still in flight: every page before it was waited for already.
  WiperRangeAwaitWriteback(file, 0, 0);
  WiperRangeDropCached(file, 0, 0);
}
