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

// One exchange: the command, the reply's length and id, and the reply fetched into `reply`.
ToolStatus Exchange(const RpcChannel& channel, const char* command, ReplyText& reply,
                    bool emptyEndsQuietly, bool& empty) {
  ToolStatus status = RpcSend(channel, command, static_cast<uint32_t>(strlen(command)));
  if (status != STATUS_OK)
    return status;
  uint32_t length = 0;
  uint16_t replyId = 0;
  status = RpcReceiveLength(channel, length, replyId);
  if (status != STATUS_OK)
    return status;
  empty = length == 0;
  if (empty && emptyEndsQuietly)
    return STATUS_OK;
  return ReplyFetch(channel, length, replyId, reply);
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

  ReplyText reply;
  bool empty = false;
  do {
    if (StopOnInterrupt(status))
      break;
    if (g_verbosity >= 2)
      PrintErr("RPC command: disk.wiper.enable\n");
    status = Exchange(channel, RPC_CMD_WIPER_ENABLE, reply, true, empty);
    if (status != STATUS_OK || empty)
      break;
    if (g_verbosity >= 2)
      PrintErr("RPC reply  : %s\n", reply.text);
    if (StopOnInterrupt(status))
      break;
    ReplyMeaning meaning = ReplyWiperEnable(reply);
    if (meaning == REPLY_UNEXPECTED) {
      if (g_verbosity > 0)
        PrintErr("Unexpected RPC reply - '%s'\n", reply.text);
      break;
    }
    if (meaning == REPLY_DISABLED) {
      if (g_verbosity > 0)
        PrintErr("Disk shrinking disabled\n");
      break;
    }

    if (g_verbosity >= 2)
      PrintErr("Wiping start\n");
    status = WipeAllVolumes();
    if (status != STATUS_OK || StopOnInterrupt(status))
      break;
    if (g_verbosity >= 2)
      PrintErr("Wiping complete\n");

    if (g_verbosity >= 2)
      PrintErr("RPC command: disk.shrink\n");
    InterruptiblePause(SHRINK_DELAY_MS);
    if (StopOnInterrupt(status))
      break;
    status = Exchange(channel, RPC_CMD_SHRINK, reply, false, empty);
    if (status != STATUS_OK)
      break;
    if (g_verbosity >= 2)
      PrintErr("RPC reply  : %s\n", reply.text);
    // An empty reply carries no digit 1, so it counts as a cancelled shrink.
    if (g_verbosity > 0)
      PrintErr(ReplyShrinkCompleted(reply) ? "Complete\n" : "Cancelled\n");
    // The shrink has been answered; an interrupt during it still ends the run as interrupted.
    StopOnInterrupt(status);
  } while (false);

  RpcClose(channel);
  if (g_verbosity >= 2)
    PrintErr("RPC channel closed\n");
  return status;
}
