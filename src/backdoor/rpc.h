// The guest RPC channel: text commands to the host and its replies, over the message command.
#ifndef SHRINK_BACKDOOR_RPC_H_
#define SHRINK_BACKDOOR_RPC_H_

#include <stdint.h>

#include "base/status.h"

const uint32_t CMD_MESSAGE = 0x1E;

// Command words of the message steps: the message type in the upper half, CMD_MESSAGE below.
const uint32_t MSG_OPEN = 0x1E;
const uint32_t MSG_SEND_LENGTH = 0x1001E;
const uint32_t MSG_SEND_DATA = 0x2001E;
const uint32_t MSG_RECEIVE_LENGTH = 0x3001E;
const uint32_t MSG_RECEIVE_DATA = 0x4001E;
const uint32_t MSG_RECEIVE_DONE = 0x5001E;
const uint32_t MSG_CLOSE = 0x6001E;

const uint32_t RPCI_PROTOCOL = 0x49435052;     ///< "RPCI" in memory, passed by the open
const uint32_t RPC_FLAG_COOKIES = 0x80000000;  ///< open flag: ask the host for cookie words
const uint32_t RPC_SUCCESS_WORD = 0x10000;     ///< a successful open's ecx; a bulk move's ebx
const uint32_t RPC_LENGTH_OF_TEXT = 0xFFFFFFFF;  ///< RpcSend length: measure `data` as a C string

/// An open channel. Both cookies non-zero makes a high-bandwidth channel (bulk moves);
/// anything else moves payloads four bytes per call.
struct RpcChannel {
  uint32_t idWord;   ///< channel number in the upper 16 bits, low half zero
  uint32_t cookie1;
  uint32_t cookie2;
};

// Every operation below returns STATUS_OK, STATUS_BACKDOOR_FAILED (a step answered with a
// non-zero eax) or STATUS_RPC_FAILED (a step the host refused), and writes the failure message to
// standard error at level 1: "Backdoor command call %Xh failed.\n" or
// "Backdoor RPC command call %04Xh failed.\n" with the failing step's command word. The first
// failing step ends the operation; nothing is retried.

/// Opens a channel; only RPC_FLAG_COOKIES of `flags` counts. `channel` is written only on success.
/// The open is refused unless ecx is exactly RPC_SUCCESS_WORD and the low half of edx is zero.
ToolStatus RpcOpen(RpcChannel& channel, uint32_t flags);

/// Sends a command of `length` bytes (RPC_LENGTH_OF_TEXT: the C string's length, no NUL sent);
/// reads no byte beyond them. A failure among the pieces leaves the command partly sent.
ToolStatus RpcSend(const RpcChannel& channel, const char* data, uint32_t length);

/// Asks for the length and id of the reply; both are written only on success. A length of 0 is a
/// success like any other.
ToolStatus RpcReceiveLength(const RpcChannel& channel, uint32_t& length, uint16_t& replyId);

/// Fetches the reply into `buffer` and acknowledges it. On a conventional channel it stores
/// 4 * max(1, ceil(length / 4)) bytes, whole words, and no terminating NUL; `length` bytes on a
/// high-bandwidth one. The buffer must have that room: its size is not known here. A failed fetch
/// leaves the pieces stored so far and makes no receive-done call.
ToolStatus RpcReceiveData(const RpcChannel& channel, char* buffer, uint32_t length,
                          uint16_t replyId);

/// Closes the channel; `channel` is not changed.
ToolStatus RpcClose(const RpcChannel& channel);

#endif  // SHRINK_BACKDOOR_RPC_H_
