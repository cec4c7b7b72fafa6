// The host's replies: fetched within bounds whatever length the host claims, kept as text that
// ends inside the reply buffer, and read by the two reply grammars.
#ifndef SHRINK_DRIVER_REPLY_H_
#define SHRINK_DRIVER_REPLY_H_

#include <stdint.h>

#include "backdoor/rpc.h"
#include "base/status.h"

/// The reply buffer's size: the first 51 bytes of a reply and the NUL.
const uint32_t REPLY_BUFFER_SIZE = 52;

/// Longest reply fetched: beyond it the fetch would take unreasonably many calls.
const uint32_t REPLY_FETCH_LIMIT = 0x10000;

/// The reply buffer: the first bytes of the reply, cut to fit, always NUL-terminated inside it.
struct ReplyText {
  char text[REPLY_BUFFER_SIZE];
  uint32_t length;  ///< bytes of the reply kept in `text`, at most REPLY_BUFFER_SIZE - 1
};

enum ReplyMeaning { REPLY_ENABLED, REPLY_DISABLED, REPLY_UNEXPECTED };

/// Fetches a reply of `length` bytes and acknowledges it. A reply longer than the buffer is cut
/// for keeping while the whole of it is still taken from the host. A claimed length above
/// REPLY_FETCH_LIMIT is refused with a message (level 1) and STATUS_RPC_FAILED, without fetching.
/// Otherwise returns RpcReceiveData's status.
ToolStatus ReplyFetch(const RpcChannel& channel, uint32_t length, uint16_t replyId,
                      ReplyText& reply);

/// Keeps the first bytes of `received` (a reply of `length` bytes) as the reply's text.
void ReplyKeep(const char* received, uint32_t length, ReplyText& reply);

/// The answer to "disk.wiper.enable" by its first three bytes: "1 1", "1 0" or anything else.
ReplyMeaning ReplyWiperEnable(const ReplyText& reply);

/// Whether the answer to "disk.shrink" begins with the digit 1.
bool ReplyShrinkCompleted(const ReplyText& reply);

#endif  // SHRINK_DRIVER_REPLY_H_
