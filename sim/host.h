// The simulated Tazelo host: answers intercepted backdoor instructions as the hypervisor would,
// keeps guest RPC channels, and records every call it saw. Linked only into test and demo builds.
#ifndef SHRINK_SIM_HOST_H_
#define SHRINK_SIM_HOST_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "backdoor/backdoor.h"

/// The three instructions that reach the host.
enum SimInstruction { SIM_IN = 0, SIM_REP_OUTSB = 1, SIM_REP_INSB = 2 };

/// One call as the host saw it: the registers at the instruction and the answer it gave, and what
/// the call did to the host's channels: "open N", "close N" or "command TEXT" (empty otherwise).
struct SimCall {
  SimInstruction instruction;
  BackdoorRegisters in;
  BackdoorRegisters out;
  std::string event;
};

/// How a chosen call is answered wrongly.
enum SimFaultKind {
  SIM_FAULT_EAX,       ///< not carried out; eax = value, and ecx 0 (a bulk move: ebx 0)
  SIM_FAULT_REFUSE,    ///< not carried out; a plain refusal, as below
  SIM_FAULT_SET,       ///< carried out, then register `reg` of the answer set to value
  SIM_FAULT_OPEN_EDX,  ///< carried out, then the low half of edx answered as loaded (the port)
};

/// The registers a SIM_FAULT_SET can change, in the block's order.
enum SimRegister { SIM_EAX, SIM_EBX, SIM_ECX, SIM_EDX, SIM_EBP, SIM_EDI, SIM_ESI };

/// A misbehaviour at one call. The call is chosen either by its index among all calls the host
/// answered (0-based, the get-version probe included: the index into the transcript), or, with
/// `byStep`, as the index-th (0-based) call of the message step `word` (0x1E to 0x6001E; a bulk
/// send counts as 0x2001E, a bulk receive as 0x4001E; get-version as 10).
/// Several faults may hit one call: a refusal wins over carrying out, and every SET applies.
struct SimFault {
  bool byStep;
  uint32_t word;
  uint64_t index;
  SimFaultKind kind;
  SimRegister reg;
  uint32_t value;
};

/// Where a channel is in its exchange.
enum SimChannelState {
  SIM_CHANNEL_IDLE,       ///< expects send-length (or close)
  SIM_CHANNEL_SENDING,    ///< expects the command's data: pieces or one bulk send
  SIM_CHANNEL_REPLY,      ///< the command is complete; expects receive-length
  SIM_CHANNEL_SERVING,    ///< the reply is announced; expects its data, then receive-done
};

/// One open channel.
struct SimChannel {
  uint16_t number;
  uint32_t cookie1;  ///< both 0 when the open asked for none
  uint32_t cookie2;
  SimChannelState state;
  uint32_t announced;    ///< the command length of send-length
  std::string command;   ///< the command bytes received so far
  std::string reply;     ///< the reply to the last complete command
  uint32_t claimed;      ///< the length told at receive-length (normally the reply's size)
  uint64_t served;       ///< reply bytes handed out since receive-length
  uint16_t replyId;
};

/// Everything the host is and has seen. Tests set the switches after SimHostReset, directly or
/// with SimHostConfigure.
struct SimHost {
  bool absent;           ///< claim nothing: the instruction faults as outside the hypervisor
  bool wrongVersionEbx;  ///< answer get-version with an ebx other than the magic
  /// When set, answers every call in place of the host model (tests of the bare primitives):
  /// returns false to leave the call unclaimed. The call is still recorded.
  bool (*rawAnswer)(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory);

  std::map<std::string, std::string> replies;  ///< reply by command text
  std::string unknownReply;                    ///< reply to any other command
  bool claimAll;                               ///< receive-length tells `claimAllLength`...
  uint32_t claimAllLength;
  std::map<std::string, uint32_t> claims;      ///< ...or this length for these commands
  bool fixedCookies;                           ///< hand out cookie1/cookie2 below...
  uint32_t cookie1;                            ///< ...instead of words made per channel
  uint32_t cookie2;
  uint16_t nextChannel;                        ///< number of the next channel opened
  uint16_t nextReplyId;                        ///< id of the next reply
  std::vector<SimFault> faults;

  uint64_t calls;                       ///< calls answered, recorded or not
  std::vector<SimCall> transcript;      ///< the first SIM_TRANSCRIPT_LIMIT calls
  std::map<uint32_t, uint64_t> steps;   ///< calls answered per message step word
  std::vector<SimChannel> channels;     ///< the open channels
  std::vector<std::string> commands;    ///< every complete command, in order
  std::vector<uint32_t> opened;         ///< channel numbers, in order of opening
  std::vector<uint32_t> closed;         ///< channel numbers, in order of closing
};

/// The transcript keeps this many calls; later ones are answered and counted, not recorded, so
/// that a guest fetching a reply of a claimed 4 GiB cannot exhaust memory.
const uint64_t SIM_TRANSCRIPT_LIMIT = 1u << 20;

/// The byte served for a reply position beyond the real reply when a longer length is claimed.
const char SIM_FILLER = '#';

extern SimHost g_simHost;

/// Back to a present, well-behaved host with no channel and an empty transcript: replies
/// "disk.wiper.enable" -> "1 1", "disk.shrink" -> "1", any other command -> "0 Unknown command";
/// channels numbered from 1; reply ids from 0x0101; no fault.
void SimHostReset();

/// Answers one instruction. `regs` holds the registers at the instruction and receives the answer;
/// `memory` is the guest buffer of a bulk move (the full address; `ecx` bytes), read or written
/// directly, with esi or edi advanced and ecx zeroed in the answer as the string instruction does.
/// Returns false when the host does not claim the instruction (absent; eax not the magic; `in` on
/// another port than the low-bandwidth one, a bulk move on another than the high-bandwidth one),
/// so that the fault goes on as outside the hypervisor.
/// A message step that the host does not expect (unknown or closed channel, wrong order, wrong
/// cookie words, data beyond the announced length, a reply id that is not the current one) is
/// refused with nothing changed: eax 0 and ecx 0; for a bulk move ebx 0, nothing moved and the
/// other registers as loaded.
bool SimHostAnswer(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory);

/// Sets the host up from a script, on top of what is set already. Lines are separated by a
/// newline or ';'; blanks before a line are dropped, empty lines ignored. Numbers are decimal or
/// 0x hex.
///   absent                      the instructions fault as outside the hypervisor
///   wrong-version               get-version answers an ebx other than the magic
///   reply COMMAND=TEXT          the reply to COMMAND; COMMAND * sets the reply to unknown
///                               commands. In TEXT and COMMAND, \xNN stands for a byte (\x3B for
///                               ';') and \\ for '\'.
///   claim-length N              receive-length tells N for every reply
///   claim-length COMMAND=N      ... for the replies to COMMAND only
///   cookies C1 C2               the cookie words handed out when asked for
///   first-channel N             the number of the next channel opened
///   first-reply-id N            the id of the next reply
///   fail-call N FAULT           the call of index N (see SimFault) answers FAULT
///   fail-step WORD K FAULT      the K-th call of message step WORD answers FAULT
/// where FAULT is one of: eax [V] (default 1), refuse, bulk (the same as refuse), set REG V
/// (REG one of eax ebx ecx edx ebp edi esi), open-ecx (set ecx 0x30000), open-edx.
/// Returns false, with a message on standard error, at the first line it cannot understand.
bool SimHostConfigure(const char* script);

/// Writes the transcript to `path`: a line per call, "in", "outsb" or "insb" followed by the seven
/// registers in, "->" and the seven registers out (block order eax ebx ecx edx ebp edi esi, eight
/// hex digits each); after a call that had one, its event line ("open N", "close N",
/// "command TEXT" with bytes outside printable ASCII and '\' written as \xNN).
/// Returns false when the file cannot be written.
bool SimHostWriteTranscript(const char* path);

#endif  // SHRINK_SIM_HOST_H_
