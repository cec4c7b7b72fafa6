// Bounded reply fetching and the reply grammars.
#include "driver/reply.h"

#include <string.h>

#include "base/output.h"

namespace {

// Room for the longest reply fetched, in whole words as the channel stores them.
char g_replyReceived[REPLY_FETCH_LIMIT + 4];

}  // namespace

ToolStatus ReplyFetch(const RpcChannel& channel, uint32_t length, uint16_t replyId,
                      ReplyText& reply) {
  if (length > REPLY_FETCH_LIMIT) {
    if (g_verbosity > 0)
      PrintErr("RPC reply too long - %lu bytes\n", (unsigned long)length);
    return STATUS_RPC_FAILED;
  }
  ToolStatus status = RpcReceiveData(channel, g_replyReceived, length, replyId);
  if (status != STATUS_OK)
    return status;
  ReplyKeep(g_replyReceived, length, reply);
  return STATUS_OK;
}

void ReplyKeep(const char* received, uint32_t length, ReplyText& reply) {
  reply.length = length < REPLY_BUFFER_SIZE - 1 ? length : REPLY_BUFFER_SIZE - 1;
  memcpy(reply.text, received, reply.length);
  reply.text[reply.length] = '\0';
}

ReplyMeaning ReplyWiperEnable(const ReplyText& reply) {
  if (reply.length < 3 || reply.text[0] != '1' || reply.text[1] != ' ')
    return REPLY_UNEXPECTED;
  if (reply.text[2] == '1')
    return REPLY_ENABLED;
  if (reply.text[2] == '0')
    return REPLY_DISABLED;
  return REPLY_UNEXPECTED;
}

bool ReplyShrinkCompleted(const ReplyText& reply) {
  return reply.length >= 1 && reply.text[0] == '1';
}
