// The shrink workflow: presence check, channel open, "disk.wiper.enable", the wipe of every fixed
// volume, the pause, "disk.shrink", and the close on every path after a successful open.
#include "driver/shrink.h"

#include <string.h>

#include "backdoor/presence.h"
#include "backdoor/rpc.h"
#include "base/interrupt.h"
#include "base/output.h"
#include "driver/reply.h"
#include "wiper/wiper.h"

const char RPC_CMD_WIPER_ENABLE[] = "disk.wiper.enable";
const char RPC_CMD_SHRINK[] = "disk.shrink";

namespace {

// An interrupt after the channel is open ends the run in order, with the status of a cancelled
// wipe. The wipe reports its own interrupt ("Cencelled."); this is for the other stages.
bool StopOnInterrupt(ToolStatus& status) {
  if (!InterruptRequested())
    return false;
  if (g_verbosity > 0)
    PrintErr("Interrupted\n");
  status = STATUS_WIPE_FAILED;
  return true;
}

// Sends a command and learns its reply's length and id; the reply is fetched with ReplyFetch.
ToolStatus Ask(const RpcChannel& channel, const char* command, uint32_t& length,
               uint16_t& replyId) {
  ToolStatus status = RpcSend(channel, command, static_cast<uint32_t>(strlen(command)));
  if (status != STATUS_OK)
    return status;
  return RpcReceiveLength(channel, length, replyId);
}

// Fetches the reply that Ask announced, and shows it at level 2.
ToolStatus Fetch(const RpcChannel& channel, uint32_t length, uint16_t replyId, ReplyText& reply) {
  ToolStatus status = ReplyFetch(channel, length, replyId, reply);
  if (status == STATUS_OK && g_verbosity >= 2)
    PrintErr("RPC reply  : %s\n", reply.text);
  return status;
}

// Everything between the open and the close: "disk.wiper.enable", the wipe, the pause and
// "disk.shrink". Returns the run's status; the caller closes the channel whatever it is.
ToolStatus ShrinkExchanges(const RpcChannel& channel) {
  ToolStatus status = STATUS_OK;
  if (StopOnInterrupt(status))
    return status;
  if (g_verbosity >= 2)
    PrintErr("RPC command: disk.wiper.enable\n");
  uint32_t length = 0;
  uint16_t replyId = 0;
  status = Ask(channel, RPC_CMD_WIPER_ENABLE, length, replyId);
  // No reply to the first command at all: nothing to do, and nothing to say.
  if (status != STATUS_OK || length == 0)
    return status;
  ReplyText reply;
  status = Fetch(channel, length, replyId, reply);
  if (status != STATUS_OK || StopOnInterrupt(status))
    return status;
  ReplyMeaning meaning = ReplyWiperEnable(reply);
  if (meaning == REPLY_UNEXPECTED) {
    if (g_verbosity > 0)
      PrintErr("Unexpected RPC reply - '%s'\n", reply.text);
    return STATUS_OK;
  }
  if (meaning == REPLY_DISABLED) {
    if (g_verbosity > 0)
      PrintErr("Disk shrinking disabled\n");
    return STATUS_OK;
  }

  if (g_verbosity >= 2)
    PrintErr("Wiping start\n");
  status = WipeAllVolumes();
  if (status != STATUS_OK || StopOnInterrupt(status))
    return status;
  if (g_verbosity >= 2)
    PrintErr("Wiping complete\n");

  if (g_verbosity >= 2)
    PrintErr("RPC command: disk.shrink\n");
  InterruptiblePause(SHRINK_DELAY_MS);
  if (StopOnInterrupt(status))
    return status;
  status = Ask(channel, RPC_CMD_SHRINK, length, replyId);
  if (status == STATUS_OK)
    status = Fetch(channel, length, replyId, reply);
  if (status != STATUS_OK)
    return status;
  // An empty reply carries no digit 1, so it counts as a cancelled shrink.
  if (g_verbosity > 0)
    PrintErr(ReplyShrinkCompleted(reply) ? "Complete\n" : "Cancelled\n");
  // The shrink has been answered; an interrupt during it still ends the run as interrupted.
  StopOnInterrupt(status);
  return status;
}

}  // namespace

ToolStatus ShrinkMain() {
  g_verbosity = 1;
  return ShrinkRun();
}

ToolStatus ShrinkRun() {
  ToolStatus status = CheckHypervisor();
  if (status != STATUS_OK)
    return status;

  // Caught before the open, so that no interrupt can end the process between the open and the
  // close; one that comes before the channel is open is acted on once it is, at the first check.
  InterruptCatch();
  RpcChannel channel;
  status = RpcOpen(channel, 0);
  if (status != STATUS_OK)
    return status;
  if (g_verbosity >= 2)
    PrintErr("RPC channel: %lu (conventional)\n", (unsigned long)(channel.idWord >> 16));

  status = ShrinkExchanges(channel);
  RpcClose(channel);
  if (g_verbosity >= 2)
    PrintErr("RPC channel closed\n");
  return status;
}
