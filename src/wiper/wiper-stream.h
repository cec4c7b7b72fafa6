// Linux: the wiper's writes streamed to the disk as they are made, so that its dirty data stays
// within a few MiB, the flush before the deletions finds almost nothing left, and the page cache
// of other programs is not pushed out by zeros that nobody reads.
// Defined in wiper-stream-posix.cc; the three range services in wiper-file-posix.cc, where unit
// tests link recording fakes instead.
#ifndef SHRINK_WIPER_WIPER_STREAM_H_
#define SHRINK_WIPER_WIPER_STREAM_H_

#include <stdint.h>

#include "wiper/wiper.h"

/// Bytes of a wiper file whose writeback may be in flight behind the newest block. Chosen by
/// measurement: 2 to 8 MiB wrote about equally fast and 1 MiB slower; deeper windows wrote faster
/// to a real disk but made another program's fsync wait longer, past 100 ms from 16 MiB on.
const uint64_t WIPER_STREAM_WINDOW = UINT64_C(8) << 20;

/// The unit of the page cache: ranges are waited for and dropped in whole pages.
const uint64_t WIPER_STREAM_PAGE = 4096;

/// The window in force; 0 leaves plain buffered writes to the kernel's own writeback. Set only by
/// the simulated-host build (for the bench's comparisons) and by tests.
extern uint64_t g_wiperStreamWindow;

/// After `length` bytes were written at `offset` of `file`: starts their writeback, then waits for
/// the pages a window behind them to reach the disk and drops those from the cache.
void WiperStreamWritten(WiperFile file, uint64_t offset, uint64_t length);

/// Before `file` is closed: waits for what is still in flight and drops it, so that no zeros of a
/// finished file stay cached until the end of the pass.
void WiperStreamClosing(WiperFile file);

/// The range services; a length of 0 stands for the rest of the file. Failures are ignored: the
/// flush before the deletions still writes out whatever they left.
/// Starts writeback of the file's dirty pages in the range, without waiting for it.
void WiperRangeStartWriteback(WiperFile file, uint64_t offset, uint64_t length);

/// Returns once the range's pages are on the disk, writing out any that are still dirty.
void WiperRangeAwaitWriteback(WiperFile file, uint64_t offset, uint64_t length);

/// Drops the range's clean pages from the page cache.
void WiperRangeDropCached(WiperFile file, uint64_t offset, uint64_t length);

#endif  // SHRINK_WIPER_WIPER_STREAM_H_
