// The fuzz targets' input reader, invariant report, quiet streams and watched buffers.
#include "fuzz/fuzz-support.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_ASAN 1
#endif

namespace {

int g_reportFd = 2;
bool g_streamsReady = false;

const uint8_t FUZZ_GUARD_BYTE = 0xA5;

const uint32_t INTERESTING_WORDS[] = {
    0,          1,          2,          3,          4,          5,          51,
    52,         53,         0xFFFF,     0x10000,    0x10001,    0x1FFFF,    0x20000,
    0x30000,    0xFFFF0000, 0x4B4F5251, 0x49435052, 0x4C5A,     0x4C5B,     0x7FFFFFFF,
    0x80000000, 0xFFFFFFFF, 65536,      65537,      0xFFFFFFFE,
};
const uint32_t INTERESTING_COUNT = sizeof INTERESTING_WORDS / sizeof INTERESTING_WORDS[0];

}  // namespace

FuzzInput FuzzInputOf(const uint8_t* data, size_t size) {
  FuzzInput input = {data, size, 0};
  return input;
}

bool FuzzInputLeft(const FuzzInput& input) { return input.at < input.size; }

uint8_t FuzzByte(FuzzInput& input) {
  if (input.at >= input.size)
    return 0;
  return input.data[input.at++];
}

uint16_t FuzzHalf(FuzzInput& input) {
  uint16_t low = FuzzByte(input);
  return static_cast<uint16_t>(low | FuzzByte(input) << 8);
}

uint32_t FuzzWord(FuzzInput& input) {
  uint32_t low = FuzzHalf(input);
  return low | static_cast<uint32_t>(FuzzHalf(input)) << 16;
}

uint32_t FuzzBelow(FuzzInput& input, uint32_t count) {
  if (count == 0)
    return 0;
  uint32_t value = count <= 256 ? FuzzByte(input) : FuzzHalf(input);
  return value % count;
}

uint32_t FuzzInterestingWord(FuzzInput& input) {
  uint8_t choice = FuzzByte(input);
  if (choice < INTERESTING_COUNT)
    return INTERESTING_WORDS[choice];
  return FuzzWord(input);
}

size_t FuzzBytes(FuzzInput& input, size_t max, uint8_t* out) {
  size_t count = FuzzBelow(input, static_cast<uint32_t>(max + 1));
  for (size_t i = 0; i < count; ++i)
    out[i] = FuzzByte(input);
  return count;
}

namespace {

// Written in one call to the kept handle: the standard streams may be pointing at /dev/null.
void ReportLine(const char* prefix, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  char line[1100];
  int length = snprintf(line, sizeof line, "shrink fuzz: %s%s", prefix, text);
  if (length <= 0)
    return;
  if (static_cast<size_t>(length) >= sizeof line)
    length = sizeof line - 1;
  ssize_t ignored = write(g_reportFd, line, static_cast<size_t>(length));
  (void)ignored;
}

}  // namespace

void FuzzFail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportLine("invariant broken: ", format, args);
  va_end(args);
  ssize_t ignored = write(g_reportFd, "\n", 1);
  (void)ignored;
  abort();
}

void FuzzReport(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportLine("", format, args);
  va_end(args);
}

void FuzzStreamsSetUp() {
  if (g_streamsReady)
    return;
  g_streamsReady = true;
  int kept = dup(2);
  if (kept >= 0)
    g_reportFd = kept;
  // The wiper's progress lines: fully buffered into nothing, so they cost next to no time.
  if (freopen("/dev/null", "w", stdout) == nullptr)
    FuzzFail("cannot send standard output to /dev/null");
}

#if defined(FUZZ_ASAN)

FuzzBuffer FuzzBufferMake(size_t size, uint8_t fill) {
  FuzzBuffer buffer;
  // Never 0 bytes: malloc(0) may give null, and a 1-byte block still has its redzone right after
  // the first byte. A 0-byte buffer is then one that must not be written at all: see Intact.
  buffer.base = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  if (buffer.base == nullptr)
    FuzzFail("out of memory for a buffer of %zu bytes", size);
  buffer.data = buffer.base;
  buffer.size = size;
  memset(buffer.base, size == 0 ? FUZZ_GUARD_BYTE : fill, size == 0 ? 1 : size);
  return buffer;
}

bool FuzzBufferIntact(const FuzzBuffer& buffer) {
  return buffer.size != 0 || buffer.base[0] == FUZZ_GUARD_BYTE;
}

void FuzzBufferFree(FuzzBuffer& buffer) {
  free(buffer.base);
  buffer.base = buffer.data = nullptr;
}

#else

const size_t FUZZ_GUARD_SIZE = 32;

FuzzBuffer FuzzBufferMake(size_t size, uint8_t fill) {
  FuzzBuffer buffer;
  buffer.base = static_cast<uint8_t*>(malloc(size + 2 * FUZZ_GUARD_SIZE));
  if (buffer.base == nullptr)
    FuzzFail("out of memory for a buffer of %zu bytes", size);
  buffer.data = buffer.base + FUZZ_GUARD_SIZE;
  buffer.size = size;
  memset(buffer.base, FUZZ_GUARD_BYTE, FUZZ_GUARD_SIZE);
  memset(buffer.data, fill, size);
  memset(buffer.data + size, FUZZ_GUARD_BYTE, FUZZ_GUARD_SIZE);
  return buffer;
}

bool FuzzBufferIntact(const FuzzBuffer& buffer) {
  for (size_t i = 0; i < FUZZ_GUARD_SIZE; ++i) {
    if (buffer.base[i] != FUZZ_GUARD_BYTE || buffer.data[buffer.size + i] != FUZZ_GUARD_BYTE)
      return false;
  }
  return true;
}

void FuzzBufferFree(FuzzBuffer& buffer) {
  free(buffer.base);
  buffer.base = buffer.data = nullptr;
}

#endif
