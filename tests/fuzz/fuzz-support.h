// What the fuzz targets share: reading decisions from the input bytes, reporting a broken
// invariant, keeping the tool's output off the terminal, and buffers whose overruns show.
#ifndef SHRINK_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define SHRINK_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define FUZZ_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define FUZZ_PRINTF(f, a)
#endif

/// The input, read front to back. Past its end every read gives zero, so that a short input is a
/// complete one: zero is always the plain, well-behaved choice.
struct FuzzInput {
  const uint8_t* data;
  size_t size;
  size_t at;
};

FuzzInput FuzzInputOf(const uint8_t* data, size_t size);
bool FuzzInputLeft(const FuzzInput& input);
uint8_t FuzzByte(FuzzInput& input);
uint16_t FuzzHalf(FuzzInput& input);  ///< two bytes, low first
uint32_t FuzzWord(FuzzInput& input);  ///< four bytes, low first

/// A number in [0, count) from one byte (two when count exceeds 256); 0 when count is 0.
uint32_t FuzzBelow(FuzzInput& input, uint32_t count);

/// A 32-bit value that tends to sit on a boundary of the protocol or the reply buffer: 0, 1, the
/// success word and its neighbours, the magic, 52 and 53, 65536 and 65537, all ones; or a raw word.
uint32_t FuzzInterestingWord(FuzzInput& input);

/// Up to `max` bytes of the input, as many as the next byte says.
size_t FuzzBytes(FuzzInput& input, size_t max, uint8_t* out);

/// Writes "shrink fuzz: " and the message to the report stream and aborts, so that libFuzzer keeps
/// the input as a crash. The report stream is the standard error the process started with.
[[noreturn]] void FuzzFail(const char* format, ...) FUZZ_PRINTF(1, 2);

/// Writes a line to the report stream, which stays on the terminal while the tool's streams do not.
void FuzzReport(const char* format, ...) FUZZ_PRINTF(1, 2);

#define FUZZ_CHECK(condition, ...)         \
  do {                                     \
    if (!(condition))                      \
      FuzzFail(__VA_ARGS__);               \
  } while (0)

/// Once per process: keeps a handle on the original standard error for reports and sends standard
/// output (the wiper's progress lines) to /dev/null. Standard error stays: the sanitizers report
/// there. Under libFuzzer, -close_fd_mask=2 drops the tool's messages and keeps the reports.
void FuzzStreamsSetUp();

/// A buffer of exactly `size` bytes whose neighbourhood is watched: under AddressSanitizer it is
/// its own allocation, so that any byte beyond it is reported at once; otherwise it sits between
/// two guard zones of a known pattern that FuzzBufferIntact checks.
struct FuzzBuffer {
  uint8_t* base;
  uint8_t* data;
  size_t size;
};

/// Makes the buffer with every byte of it set to `fill`.
FuzzBuffer FuzzBufferMake(size_t size, uint8_t fill);
bool FuzzBufferIntact(const FuzzBuffer& buffer);
void FuzzBufferFree(FuzzBuffer& buffer);

#endif  // SHRINK_TESTS_FUZZ_FUZZ_SUPPORT_H_
