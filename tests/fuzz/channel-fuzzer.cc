// Fuzz target for the RPC channel alone: its five operations in any order, against a host whose
// every answer register comes from the input.
//
// Invariants, checked after every operation (a broken one aborts with a message):
// - no byte is written outside the buffer given to RpcReceiveData, sized exactly as the layer
//   says it needs (4 * max(1, ceil(length / 4)) on a conventional channel, `length` on a
//   high-bandwidth one), and no byte of a command is read beyond its length;
// - the stored words are the words the host answered, lowest byte first, and a failed fetch leaves
//   the bytes after the pieces it stored as they were;
// - the status is 0, 2 or 3, and it is the verdict on the operation's last call: every earlier
//   call succeeded, the last one decides (eax, then the upper half of ecx; the open's stricter
//   test; ebx alone for a bulk move);
// - an operation that succeeds made exactly the calls the protocol prescribes for its lengths;
// - the channel record is written only by a successful open, with the words the open answered;
//   the out-parameters of RpcReceiveLength are written only on success.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "backdoor/backdoor.h"
#include "backdoor/rpc.h"
#include "fakes/fake-backdoor.h"
#include "fuzz/fuzz-support.h"
#include "sim/host.h"

namespace {

const uint32_t MAX_OPERATIONS = 16;
const uint32_t MAX_COMMAND = 600;
const uint8_t BUFFER_FILL = 0x5A;
const uint32_t SENTINEL = 0xD1CEF00D;

// One call as the answering function saw it. The transcript of the host would miss the calls
// left unclaimed, which the tool still makes and judges.
struct RawCall {
  SimInstruction instruction;
  BackdoorRegisters in;
  BackdoorRegisters out;
  bool claimed;
};

FuzzInput* g_input = nullptr;
std::vector<RawCall> g_calls;

// For a bulk move the answer also moves the bytes, exactly `ecx` of them as the string
// instruction does, reading the command or writing the reply from the input.
void MoveBulk(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory) {
  const uint32_t count = regs.ecx;
  if (instruction == SIM_REP_OUTSB) {
    volatile unsigned sum = 0;
    for (uint32_t i = 0; i < count; ++i)
      sum = sum + memory[i];
    regs.esi += count;
  } else {
    for (uint32_t i = 0; i < count; ++i)
      memory[i] = FuzzByte(*g_input);
    regs.edi += count;
  }
  regs.ecx = 0;
}

uint32_t StatusWord(uint8_t how) {
  switch (how & 3) {
    case 0:
      return RPC_SUCCESS_WORD;
    case 1:
      return 0;
    case 2:
      return FuzzInterestingWord(*g_input);
    default:
      return FuzzWord(*g_input);
  }
}

// Answers a call from the input. Past the end of the input every call succeeds with the loaded
// registers, so that a long reply is fetched to its end.
bool RawAnswer(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory) {
  RawCall call;
  call.instruction = instruction;
  call.in = regs;
  const uint8_t how = FuzzByte(*g_input);
  call.claimed = how != 0xFF;
  if (call.claimed) {
    if (instruction == SIM_IN) {
      regs.eax = (how & 0x03) == 0x03 ? FuzzInterestingWord(*g_input) : 0;
      regs.ecx = StatusWord(how >> 2);
      if ((how & 0x10) != 0)
        regs.ebx = FuzzInterestingWord(*g_input);
      if ((how & 0x20) != 0)
        regs.edx = FuzzInterestingWord(*g_input);
      else if (call.in.ecx == MSG_OPEN)
        regs.edx = static_cast<uint32_t>(FuzzHalf(*g_input)) << 16;
      if ((how & 0x40) != 0) {
        regs.esi = FuzzWord(*g_input);
        regs.edi = FuzzWord(*g_input);
        regs.ebp = FuzzWord(*g_input);
      }
    } else {
      MoveBulk(instruction, regs, memory);
      regs.ebx = StatusWord(how);
      if ((how & 0x04) != 0)
        regs.eax = FuzzWord(*g_input);
    }
  }
  call.out = call.claimed ? regs : call.in;
  g_calls.push_back(call);
  return call.claimed;
}

// The verdict on one call, as the layer must reach it.
ToolStatus Verdict(const RawCall& call, bool open) {
  if (call.instruction != SIM_IN)
    return call.out.ebx == RPC_SUCCESS_WORD ? STATUS_OK : STATUS_RPC_FAILED;
  if (call.out.eax != 0)
    return STATUS_BACKDOOR_FAILED;
  if (open)
    return call.out.ecx == RPC_SUCCESS_WORD && (call.out.edx & 0xFFFF) == 0 ? STATUS_OK
                                                                             : STATUS_RPC_FAILED;
  return (call.out.ecx & 0xFFFF0000) != 0 ? STATUS_OK : STATUS_RPC_FAILED;
}

// The operation's calls from `first` on: each but the last succeeded, the last gives the status.
void CheckVerdicts(const char* operation, size_t first, ToolStatus status, bool open) {
  FUZZ_CHECK(status == STATUS_OK || status == STATUS_BACKDOOR_FAILED || status == STATUS_RPC_FAILED,
             "%s: status %d", operation, status);
  FUZZ_CHECK(g_calls.size() > first, "%s made no call", operation);
  for (size_t i = first; i + 1 < g_calls.size(); ++i)
    FUZZ_CHECK(Verdict(g_calls[i], open) == STATUS_OK, "%s went on after call %zu failed",
               operation, i - first);
  const ToolStatus expected = Verdict(g_calls.back(), open);
  FUZZ_CHECK(status == expected, "%s: status %d, but its last call says %d", operation, status,
             expected);
}

bool HighBandwidth(const RpcChannel& channel) {
  return channel.cookie1 != 0 && channel.cookie2 != 0;
}

void CheckCall(const RawCall& call, const char* operation, uint32_t ecx, uint32_t edx) {
  FUZZ_CHECK(call.in.eax == BACKDOOR_MAGIC && call.in.ecx == ecx && call.in.edx == edx,
             "%s: a call loaded with eax %08x ecx %08x edx %08x", operation, call.in.eax,
             call.in.ecx, call.in.edx);
}

void CheckCookies(const RawCall& call, const RpcChannel& channel, const char* operation) {
  FUZZ_CHECK(call.in.esi == channel.cookie1 && call.in.edi == channel.cookie2,
             "%s: cookie words %08x %08x, the channel holds %08x %08x", operation, call.in.esi,
             call.in.edi, channel.cookie1, channel.cookie2);
}

void Open(FuzzInput& input, RpcChannel& channel) {
  const uint8_t how = FuzzByte(input);
  uint32_t flags = (how & 1) != 0 ? RPC_FLAG_COOKIES : 0;
  if ((how & 2) != 0)
    flags |= FuzzWord(input) & ~RPC_FLAG_COOKIES;
  RpcChannel record;
  memset(&record, 0, sizeof record);
  record.idWord = record.cookie1 = record.cookie2 = SENTINEL;
  const size_t first = g_calls.size();
  ToolStatus status = RpcOpen(record, flags);
  CheckVerdicts("open", first, status, true);
  FUZZ_CHECK(g_calls.size() == first + 1, "the open made %zu calls", g_calls.size() - first);
  const RawCall& call = g_calls[first];
  CheckCall(call, "open", MSG_OPEN, BACKDOOR_LB_PORT);
  FUZZ_CHECK(call.in.ebx == (RPCI_PROTOCOL | (flags & RPC_FLAG_COOKIES)), "open: ebx %08x",
             call.in.ebx);
  if (status != STATUS_OK) {
    FUZZ_CHECK(record.idWord == SENTINEL && record.cookie1 == SENTINEL &&
                   record.cookie2 == SENTINEL,
               "a failed open wrote the record");
  } else {
    const bool cookies = (flags & RPC_FLAG_COOKIES) != 0;
    FUZZ_CHECK(record.idWord == call.out.edx && record.cookie1 == (cookies ? call.out.esi : 0) &&
                   record.cookie2 == (cookies ? call.out.edi : 0),
               "the open filled the record with %08x %08x %08x", record.idWord, record.cookie1,
               record.cookie2);
  }
  // Later operations run on the record whatever the open said: the layer checks no order, and a
  // record of the input's choosing covers channel words with a dirty low half too.
  if (status == STATUS_OK || (how & 4) == 0) {
    if (status == STATUS_OK)
      channel = record;
  } else {
    channel.idWord = FuzzInterestingWord(input);
    channel.cookie1 = FuzzInterestingWord(input);
    channel.cookie2 = FuzzInterestingWord(input);
  }
}

void Send(FuzzInput& input, const RpcChannel& channel) {
  const uint8_t how = FuzzByte(input);
  uint32_t length = (how & 0x80) != 0 ? FuzzBelow(input, MAX_COMMAND + 1) : FuzzBelow(input, 24);
  const bool asText = (how & 1) != 0;
  // The command in a buffer of exactly its bytes (and the NUL when it is passed as text).
  FuzzBuffer command = FuzzBufferMake(length + (asText ? 1 : 0), 0);
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t byte = FuzzByte(input);
    command.data[i] = asText && byte == 0 ? 'a' : byte;
  }
  const size_t first = g_calls.size();
  ToolStatus status = RpcSend(channel, reinterpret_cast<const char*>(command.data),
                              asText ? RPC_LENGTH_OF_TEXT : length);
  CheckVerdicts("send", first, status, false);
  const uint32_t edx = channel.idWord | BACKDOOR_LB_PORT;
  const RawCall& announce = g_calls[first];
  CheckCall(announce, "send-length", MSG_SEND_LENGTH, edx);
  CheckCookies(announce, channel, "send-length");
  FUZZ_CHECK(announce.in.ebx == length, "send-length announced %u for %u bytes", announce.in.ebx,
             length);
  const size_t made = g_calls.size() - first;
  const bool bulk = HighBandwidth(channel);
  const size_t pieces = bulk ? (length == 0 ? 0 : 1) : (length + 3) / 4;
  FUZZ_CHECK(made <= 1 + pieces, "send of %u bytes made %zu calls", length, made);
  if (status == STATUS_OK)
    FUZZ_CHECK(made == 1 + pieces, "send of %u bytes succeeded in %zu calls", length, made);
  for (size_t i = 1; i < made; ++i) {
    const RawCall& call = g_calls[first + i];
    if (bulk) {
      FUZZ_CHECK(call.instruction == SIM_REP_OUTSB && call.in.ecx == length &&
                     call.in.ebx == RPC_SUCCESS_WORD && call.in.ebp == channel.cookie1 &&
                     call.in.edi == channel.cookie2 &&
                     call.in.edx == (channel.idWord | BACKDOOR_HB_PORT),
                 "bulk send loaded ebx %08x ecx %08x edx %08x", call.in.ebx, call.in.ecx,
                 call.in.edx);
      continue;
    }
    CheckCall(call, "send-data", MSG_SEND_DATA, edx);
    const size_t at = 4 * (i - 1);
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && at + k < length; ++k)
      word |= static_cast<uint32_t>(command.data[at + k]) << (8 * k);
    FUZZ_CHECK(call.in.ebx == word && call.in.esi == 0 && call.in.edi == 0 && call.in.ebp == 0,
               "piece %zu carried %08x, the command holds %08x", i - 1, call.in.ebx, word);
  }
  FUZZ_CHECK(FuzzBufferIntact(command), "the send wrote around its command");
  FuzzBufferFree(command);
}

void ReceiveLength(FuzzInput& input, const RpcChannel& channel, uint32_t& lastLength,
                   uint16_t& lastId) {
  (void)input;
  uint32_t length = SENTINEL;
  uint16_t replyId = 0xBEEF;
  const size_t first = g_calls.size();
  ToolStatus status = RpcReceiveLength(channel, length, replyId);
  CheckVerdicts("receive-length", first, status, false);
  FUZZ_CHECK(g_calls.size() == first + 1, "receive-length made %zu calls", g_calls.size() - first);
  const RawCall& call = g_calls[first];
  CheckCall(call, "receive-length", MSG_RECEIVE_LENGTH, channel.idWord | BACKDOOR_LB_PORT);
  CheckCookies(call, channel, "receive-length");
  if (status != STATUS_OK) {
    FUZZ_CHECK(length == SENTINEL && replyId == 0xBEEF, "a failed receive-length wrote %u %04x",
               length, replyId);
    return;
  }
  FUZZ_CHECK(length == call.out.ebx && replyId == static_cast<uint16_t>(call.out.edx >> 16),
             "receive-length gave %u %04x for ebx %08x edx %08x", length, replyId, call.out.ebx,
             call.out.edx);
  lastLength = length;
  lastId = replyId;
}

void ReceiveData(FuzzInput& input, const RpcChannel& channel, uint32_t lastLength,
                 uint16_t lastId) {
  const uint8_t how = FuzzByte(input);
  static const uint32_t LENGTHS[] = {0, 1, 2, 3, 4, 5, 7, 8, 51, 52, 53, 56};
  uint32_t length;
  if ((how & 3) == 0 && lastLength <= 4 * MAX_COMMAND)
    length = lastLength;
  else if ((how & 3) == 1)
    length = LENGTHS[FuzzBelow(input, sizeof LENGTHS / sizeof LENGTHS[0])];
  else
    length = FuzzBelow(input, 4 * MAX_COMMAND + 1);
  const uint16_t replyId = (how & 4) != 0 ? FuzzHalf(input) : lastId;
  const bool bulk = HighBandwidth(channel);
  const uint32_t words = length == 0 ? 1 : (length + 3) / 4;
  FuzzBuffer buffer = FuzzBufferMake(bulk ? length : 4 * words, BUFFER_FILL);

  const size_t first = g_calls.size();
  ToolStatus status = RpcReceiveData(channel, reinterpret_cast<char*>(buffer.data), length,
                                     replyId);
  CheckVerdicts("receive-data", first, status, false);
  FUZZ_CHECK(FuzzBufferIntact(buffer), "the receive of %u bytes wrote outside its buffer",
             length);
  const size_t made = g_calls.size() - first;
  const size_t fetches = bulk ? 1 : words;
  FUZZ_CHECK(made <= fetches + 1, "receive of %u bytes made %zu calls", length, made);
  if (status == STATUS_OK)
    FUZZ_CHECK(made == fetches + 1, "receive of %u bytes succeeded in %zu calls", length, made);
  const uint32_t lb = channel.idWord | BACKDOOR_LB_PORT;
  if (!bulk) {
    // Each successful data call stored its ebx; the bytes after the pieces are as they were.
    size_t stored = 0;
    for (size_t i = 0; i < made && i < fetches; ++i) {
      const RawCall& call = g_calls[first + i];
      CheckCall(call, "receive-data", MSG_RECEIVE_DATA, lb);
      FUZZ_CHECK(call.in.ebx == replyId, "receive-data carried id %08x, not %04x", call.in.ebx,
                 replyId);
      if (Verdict(call, false) != STATUS_OK)
        break;
      for (size_t k = 0; k < 4; ++k)
        FUZZ_CHECK(buffer.data[4 * i + k] == ((call.out.ebx >> (8 * k)) & 0xFF),
                   "byte %zu of the reply is not the host's", 4 * i + k);
      ++stored;
    }
    for (size_t at = 4 * stored; at < buffer.size; ++at)
      FUZZ_CHECK(buffer.data[at] == BUFFER_FILL, "byte %zu written after a failed fetch", at);
  } else if (made >= 1) {
    const RawCall& call = g_calls[first];
    FUZZ_CHECK(call.instruction == SIM_REP_INSB && call.in.ecx == length &&
                   call.in.ebx == RPC_SUCCESS_WORD && call.in.esi == channel.cookie1 &&
                   call.in.ebp == channel.cookie2 &&
                   call.in.edx == (channel.idWord | BACKDOOR_HB_PORT),
               "bulk receive loaded ebx %08x ecx %08x edx %08x", call.in.ebx, call.in.ecx,
               call.in.edx);
  }
  if (status == STATUS_OK) {
    const RawCall& done = g_calls.back();
    CheckCall(done, "receive-done", MSG_RECEIVE_DONE, lb);
    CheckCookies(done, channel, "receive-done");
    FUZZ_CHECK(done.in.ebx == replyId, "receive-done carried id %08x, not %04x", done.in.ebx,
               replyId);
  }
  FuzzBufferFree(buffer);
}

void Close(const RpcChannel& channel) {
  const RpcChannel before = channel;
  const size_t first = g_calls.size();
  ToolStatus status = RpcClose(channel);
  CheckVerdicts("close", first, status, false);
  FUZZ_CHECK(g_calls.size() == first + 1, "the close made %zu calls", g_calls.size() - first);
  CheckCall(g_calls[first], "close", MSG_CLOSE, channel.idWord | BACKDOOR_LB_PORT);
  CheckCookies(g_calls[first], channel, "close");
  FUZZ_CHECK(memcmp(&before, &channel, sizeof before) == 0, "the close changed the record");
}

}  // namespace

// Named apart from libFuzzer's entry so that the replay binary can hold both targets.
int FuzzChannelInput(const uint8_t* data, size_t size) {
  FuzzStreamsSetUp();
  FuzzInput input = FuzzInputOf(data, size);
  FakeBackdoorReset();
  g_calls.clear();
  g_input = &input;
  g_simHost.rawAnswer = RawAnswer;
  const uint8_t mode = FuzzByte(input);
  g_verbosity = static_cast<int32_t>(mode % 3);
  g_backdoorTrace = (mode & 0x0C) == 0x0C ? 1 : 0;

  RpcChannel channel = {0, 0, 0};
  Open(input, channel);
  uint32_t lastLength = 0;
  uint16_t lastId = 0;
  for (uint32_t n = 0; n < MAX_OPERATIONS && FuzzInputLeft(input); ++n) {
    switch (FuzzByte(input) % 5) {
      case 0:
        Send(input, channel);
        break;
      case 1:
        ReceiveLength(input, channel, lastLength, lastId);
        break;
      case 2:
        ReceiveData(input, channel, lastLength, lastId);
        break;
      case 3:
        Close(channel);
        break;
      default:
        Open(input, channel);
        break;
    }
  }
  g_simHost.rawAnswer = nullptr;
  g_input = nullptr;
  g_verbosity = 1;
  g_backdoorTrace = 0;
  return 0;
}

#if !defined(SHRINK_FUZZ_REPLAY)
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzStreamsSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzChannelInput(data, size);
}
#endif
