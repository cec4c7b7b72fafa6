// The guest RPC channel: every protocol step is one message-command backdoor call; payloads move
// four bytes per call, or in one bulk move on a channel that holds two cookie words.
#include "backdoor/rpc.h"

#include <stdint.h>
#include <string.h>

#include "backdoor/backdoor.h"
#include "base/output.h"

namespace {

const uint32_t RPC_STATUS_MASK = 0xFFFF0000;  // upper half of ecx: any set bit is success
const uint32_t RPC_PORT_MASK = 0xFFFF;
const uint32_t RPC_PIECE_SIZE = 4;

// A fresh block: all seven fields zero, then the magic, the command word (or byte count) and edx.
void StartBlock(BackdoorRegisters& regs, uint32_t ecx, uint32_t edx) {
  memset(&regs, 0, sizeof regs);
  regs.eax = BACKDOOR_MAGIC;
  regs.ecx = ecx;
  regs.edx = edx;
}

void TracedCall(BackdoorRegisters& regs) {
  BackdoorTraceBefore(regs);
  BackdoorCall(regs);
  BackdoorTraceAfter(regs);
}

// The low 32 bits of a buffer address, as the block carries it; the primitives get the full one.
uint32_t AddressWord(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

ToolStatus BackdoorFailed(uint32_t command) {
  if (g_verbosity > 0)
    PrintErr("Backdoor command call %Xh failed.\n", static_cast<unsigned>(command));
  return STATUS_BACKDOOR_FAILED;
}

ToolStatus RpcRefused(uint32_t command) {
  if (g_verbosity > 0)
    PrintErr("Backdoor RPC command call %04Xh failed.\n", static_cast<unsigned>(command));
  return STATUS_RPC_FAILED;
}

// The two tests after a low-bandwidth step: the backdoor's own result, then the host's status.
ToolStatus CheckStep(const BackdoorRegisters& regs, uint32_t command) {
  if (regs.eax != 0)
    return BackdoorFailed(command);
  if ((regs.ecx & RPC_STATUS_MASK) == 0)
    return RpcRefused(command);
  return STATUS_OK;
}

// One low-bandwidth step on an open channel. The steps that identify the channel to the host
// (lengths, receive-done, close) also carry the cookie words; the per-piece data steps do not.
ToolStatus ChannelStep(const RpcChannel& channel, uint32_t command, uint32_t ebx, bool withCookies,
                       BackdoorRegisters& regs) {
  StartBlock(regs, command, channel.idWord | BACKDOOR_LB_PORT);
  regs.ebx = ebx;
  if (withCookies) {
    regs.esi = channel.cookie1;
    regs.edi = channel.cookie2;
  }
  TracedCall(regs);
  return CheckStep(regs, command);
}

bool IsHighBandwidth(const RpcChannel& channel) {
  return channel.cookie1 != 0 && channel.cookie2 != 0;
}

// Up to four bytes as one word, the first byte lowest; bytes past `count` stay zero.
uint32_t PackPiece(const char* piece, uint32_t count) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < count; ++i)
    word |= static_cast<uint32_t>(static_cast<unsigned char>(piece[i])) << (8 * i);
  return word;
}

void StoreWord(char* position, uint32_t word) {
  for (uint32_t i = 0; i < RPC_PIECE_SIZE; ++i)
    position[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}

// A bulk move is judged on ebx alone: eax is whatever the string instruction left there.
ToolStatus CheckBulk(const BackdoorRegisters& regs, uint32_t dataCommand) {
  return regs.ebx == RPC_SUCCESS_WORD ? STATUS_OK : RpcRefused(dataCommand);
}

ToolStatus SendBulk(const RpcChannel& channel, const char* data, uint32_t length) {
  BackdoorRegisters regs;
  StartBlock(regs, length, channel.idWord | BACKDOOR_HB_PORT);
  regs.ebx = RPC_SUCCESS_WORD;
  // esi holds the source, so the cookie words move to ebp and edi.
  regs.esi = AddressWord(data);
  regs.edi = channel.cookie2;
  regs.ebp = channel.cookie1;
  BackdoorTraceBefore(regs);
  BackdoorHbOut(regs, data);
  BackdoorTraceAfter(regs);
  return CheckBulk(regs, MSG_SEND_DATA);
}

ToolStatus SendPieces(const RpcChannel& channel, const char* data, uint32_t length) {
  const char* position = data;
  uint32_t remaining = length;
  for (;;) {
    uint32_t count = remaining < RPC_PIECE_SIZE ? remaining : RPC_PIECE_SIZE;
    BackdoorRegisters regs;
    ToolStatus status =
        ChannelStep(channel, MSG_SEND_DATA, PackPiece(position, count), false, regs);
    if (status != STATUS_OK)
      return status;
    if (remaining <= RPC_PIECE_SIZE)
      return STATUS_OK;
    remaining -= RPC_PIECE_SIZE;
    position += RPC_PIECE_SIZE;
  }
}

ToolStatus ReceiveBulk(const RpcChannel& channel, char* buffer, uint32_t length) {
  BackdoorRegisters regs;
  StartBlock(regs, length, channel.idWord | BACKDOOR_HB_PORT);
  regs.ebx = RPC_SUCCESS_WORD;
  // edi holds the destination, so the cookie words move to esi and ebp.
  regs.esi = channel.cookie1;
  regs.edi = AddressWord(buffer);
  regs.ebp = channel.cookie2;
  BackdoorTraceBefore(regs);
  BackdoorHbIn(regs, buffer);
  BackdoorTraceAfter(regs);
  return CheckBulk(regs, MSG_RECEIVE_DATA);
}

// Whole words are stored, so the buffer takes 4 * max(1, ceil(length / 4)) bytes: the first data
// call is made even for an empty reply.
ToolStatus ReceivePieces(const RpcChannel& channel, char* buffer, uint32_t length,
                         uint16_t replyId) {
  char* position = buffer;
  uint32_t remaining = length;
  for (;;) {
    BackdoorRegisters regs;
    ToolStatus status = ChannelStep(channel, MSG_RECEIVE_DATA, replyId, false, regs);
    if (status != STATUS_OK)
      return status;
    StoreWord(position, regs.ebx);
    if (remaining <= RPC_PIECE_SIZE)
      return STATUS_OK;
    remaining -= RPC_PIECE_SIZE;
    position += RPC_PIECE_SIZE;
  }
}

}  // namespace

ToolStatus RpcOpen(RpcChannel& channel, uint32_t flags) {
  const bool cookies = (flags & RPC_FLAG_COOKIES) != 0;
  BackdoorRegisters regs;
  StartBlock(regs, MSG_OPEN, BACKDOOR_LB_PORT);
  regs.ebx = RPCI_PROTOCOL | (flags & RPC_FLAG_COOKIES);
  TracedCall(regs);
  if (regs.eax != 0)
    return BackdoorFailed(MSG_OPEN);
  // The open is judged strictly: exactly the success word, and a channel word with a clean low
  // half, since that half is OR-ed with the port number in every later call.
  if (regs.ecx != RPC_SUCCESS_WORD || (regs.edx & RPC_PORT_MASK) != 0)
    return RpcRefused(MSG_OPEN);
  channel.idWord = regs.edx;
  channel.cookie1 = cookies ? regs.esi : 0;
  channel.cookie2 = cookies ? regs.edi : 0;
  return STATUS_OK;
}

ToolStatus RpcSend(const RpcChannel& channel, const char* data, uint32_t length) {
  if (length == RPC_LENGTH_OF_TEXT)
    length = static_cast<uint32_t>(strlen(data));
  BackdoorRegisters regs;
  ToolStatus status = ChannelStep(channel, MSG_SEND_LENGTH, length, true, regs);
  if (status != STATUS_OK || length == 0)
    return status;
  if (IsHighBandwidth(channel))
    return SendBulk(channel, data, length);
  return SendPieces(channel, data, length);
}

ToolStatus RpcReceiveLength(const RpcChannel& channel, uint32_t& length, uint16_t& replyId) {
  BackdoorRegisters regs;
  ToolStatus status = ChannelStep(channel, MSG_RECEIVE_LENGTH, 0, true, regs);
  if (status != STATUS_OK)
    return status;
  length = regs.ebx;
  replyId = static_cast<uint16_t>(regs.edx >> 16);
  return STATUS_OK;
}

ToolStatus RpcReceiveData(const RpcChannel& channel, char* buffer, uint32_t length,
                          uint16_t replyId) {
  ToolStatus status = IsHighBandwidth(channel) ? ReceiveBulk(channel, buffer, length)
                                               : ReceivePieces(channel, buffer, length, replyId);
  if (status != STATUS_OK)
    return status;
  BackdoorRegisters regs;
  return ChannelStep(channel, MSG_RECEIVE_DONE, replyId, true, regs);
}

ToolStatus RpcClose(const RpcChannel& channel) {
  BackdoorRegisters regs;
  return ChannelStep(channel, MSG_CLOSE, 0, true, regs);
}
