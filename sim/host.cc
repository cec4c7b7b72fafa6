// The simulated host's answers: get-version, the guest RPC channels with their replies and chosen
// misbehaviour, the script that sets it up, and the record of every call.
#include "sim/host.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Constructed before any other static object, since the variant's start-up configures it.
SimHost g_simHost __attribute__((init_priority(200)));

namespace {

// The host's own copy of the protocol's numbers, so that a wrong constant on the guest side shows.
const uint32_t SIM_CMD_GET_VERSION = 10;
const uint32_t SIM_CMD_MESSAGE = 0x1E;
const uint32_t SIM_VERSION = 6;
const uint32_t SIM_RPCI = 0x49435052;
const uint32_t SIM_FLAG_COOKIES = 0x80000000;
const uint32_t SIM_SUCCESS = 0x10000;
const uint32_t SIM_OPEN_ECX_FAULT = 0x30000;
const size_t SIM_MAX_CHANNELS = 8;
const uint16_t SIM_FIRST_REPLY_ID = 0x0101;

enum SimMessageType {
  SIM_MSG_OPEN,
  SIM_MSG_SEND_LENGTH,
  SIM_MSG_SEND_DATA,
  SIM_MSG_RECEIVE_LENGTH,
  SIM_MSG_RECEIVE_DATA,
  SIM_MSG_RECEIVE_DONE,
  SIM_MSG_CLOSE,
};

uint32_t MessageWord(uint32_t type) { return type << 16 | SIM_CMD_MESSAGE; }
uint32_t PortOf(const BackdoorRegisters& regs) { return regs.edx & 0xFFFF; }
uint16_t ChannelOf(const BackdoorRegisters& regs) { return static_cast<uint16_t>(regs.edx >> 16); }

SimChannel* FindChannel(uint16_t number) {
  for (SimChannel& channel : g_simHost.channels)
    if (channel.number == number)
      return &channel;
  return nullptr;
}

// The byte at `position` of the reply as served: the reply, then filler up to the claimed length,
// then zeros to the end of the last word. Filler is made on the fly, so a huge claim costs nothing.
unsigned char ServedByte(const SimChannel& channel, uint64_t position) {
  if (position >= channel.claimed)
    return 0;
  if (position < channel.reply.size())
    return static_cast<unsigned char>(channel.reply[position]);
  return static_cast<unsigned char>(SIM_FILLER);
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char code[5];
      snprintf(code, sizeof code, "\\x%02X", c);
      out += code;
    }
  }
  return out;
}

void Succeed(BackdoorRegisters& regs) {
  regs.eax = 0;
  regs.ecx = SIM_SUCCESS;
}

void Refuse(SimInstruction instruction, BackdoorRegisters& regs) {
  if (instruction == SIM_IN) {
    regs.eax = 0;
    regs.ecx = 0;
  } else {
    regs.ebx = 0;
  }
}

void CompleteCommand(SimChannel& channel, std::string& event) {
  auto reply = g_simHost.replies.find(channel.command);
  channel.reply = reply != g_simHost.replies.end() ? reply->second : g_simHost.unknownReply;
  auto claim = g_simHost.claims.find(channel.command);
  if (claim != g_simHost.claims.end())
    channel.claimed = claim->second;
  else if (g_simHost.claimAll)
    channel.claimed = g_simHost.claimAllLength;
  else
    channel.claimed = static_cast<uint32_t>(channel.reply.size());
  channel.replyId = g_simHost.nextReplyId++;
  channel.state = SIM_CHANNEL_REPLY;
  g_simHost.commands.push_back(channel.command);
  event = "command " + Escaped(channel.command);
}

bool AnswerOpen(BackdoorRegisters& regs, std::string& event) {
  if ((regs.ebx & ~SIM_FLAG_COOKIES) != SIM_RPCI || g_simHost.channels.size() >= SIM_MAX_CHANNELS)
    return false;
  while (FindChannel(g_simHost.nextChannel) != nullptr)
    ++g_simHost.nextChannel;
  SimChannel channel = SimChannel();
  channel.number = g_simHost.nextChannel++;
  channel.state = SIM_CHANNEL_IDLE;
  if ((regs.ebx & SIM_FLAG_COOKIES) != 0) {
    channel.cookie1 = g_simHost.fixedCookies ? g_simHost.cookie1 : 0xC1000000u + channel.number;
    channel.cookie2 = g_simHost.fixedCookies ? g_simHost.cookie2 : 0xC2000000u + channel.number;
    regs.esi = channel.cookie1;
    regs.edi = channel.cookie2;
  }
  g_simHost.channels.push_back(channel);
  g_simHost.opened.push_back(channel.number);
  Succeed(regs);
  regs.edx = static_cast<uint32_t>(channel.number) << 16;
  event = "open " + std::to_string(channel.number);
  return true;
}

// A message step on an open channel; false to refuse it.
bool AnswerStep(uint32_t type, SimChannel& channel, BackdoorRegisters& regs, std::string& event) {
  const bool cookiesMatch = regs.esi == channel.cookie1 && regs.edi == channel.cookie2;
  switch (type) {
    case SIM_MSG_SEND_LENGTH:
      if (!cookiesMatch || channel.state != SIM_CHANNEL_IDLE)
        return false;
      channel.announced = regs.ebx;
      channel.command.clear();
      channel.state = SIM_CHANNEL_SENDING;
      if (channel.announced == 0)
        CompleteCommand(channel, event);
      break;
    case SIM_MSG_SEND_DATA: {
      if (channel.state != SIM_CHANNEL_SENDING)
        return false;
      uint32_t left = channel.announced - static_cast<uint32_t>(channel.command.size());
      uint32_t count = left < 4 ? left : 4;
      // Bytes beyond the announced length must be zero: anything else is data the host was not
      // told about.
      if (count < 4 && (regs.ebx >> (8 * count)) != 0)
        return false;
      for (uint32_t i = 0; i < count; ++i)
        channel.command += static_cast<char>((regs.ebx >> (8 * i)) & 0xFF);
      if (channel.command.size() == channel.announced)
        CompleteCommand(channel, event);
      break;
    }
    case SIM_MSG_RECEIVE_LENGTH:
      if (!cookiesMatch || channel.state != SIM_CHANNEL_REPLY)
        return false;
      channel.served = 0;
      channel.state = SIM_CHANNEL_SERVING;
      regs.ebx = channel.claimed;
      regs.edx = static_cast<uint32_t>(channel.replyId) << 16 | PortOf(regs);
      break;
    case SIM_MSG_RECEIVE_DATA: {
      // Whole words are served, and one even for an empty reply.
      uint64_t words = (static_cast<uint64_t>(channel.claimed) + 3) / 4;
      uint64_t end = 4 * (words == 0 ? 1 : words);
      if (channel.state != SIM_CHANNEL_SERVING || regs.ebx != channel.replyId ||
          channel.served >= end)
        return false;
      uint32_t word = 0;
      for (uint32_t i = 0; i < 4; ++i)
        word |= static_cast<uint32_t>(ServedByte(channel, channel.served + i)) << (8 * i);
      channel.served += 4;
      regs.ebx = word;
      break;
    }
    case SIM_MSG_RECEIVE_DONE:
      if (!cookiesMatch || channel.state != SIM_CHANNEL_SERVING || regs.ebx != channel.replyId)
        return false;
      channel.state = SIM_CHANNEL_IDLE;
      break;
    case SIM_MSG_CLOSE: {
      if (!cookiesMatch)
        return false;
      uint16_t number = channel.number;
      g_simHost.channels.erase(g_simHost.channels.begin() + (&channel - &g_simHost.channels[0]));
      g_simHost.closed.push_back(number);
      event = "close " + std::to_string(number);
      break;
    }
    default:
      return false;
  }
  Succeed(regs);
  return true;
}

bool AnswerMessage(BackdoorRegisters& regs, std::string& event) {
  uint32_t type = regs.ecx >> 16;
  if (type == SIM_MSG_OPEN)
    return AnswerOpen(regs, event);
  SimChannel* channel = FindChannel(ChannelOf(regs));
  return channel != nullptr && AnswerStep(type, *channel, regs, event);
}

// A bulk move belongs to a channel that was given two non-zero cookie words; ebx carries the
// success word both ways.
SimChannel* BulkChannel(const BackdoorRegisters& regs, uint32_t cookie1, uint32_t cookie2) {
  SimChannel* channel = FindChannel(ChannelOf(regs));
  if (channel == nullptr || regs.ebx != SIM_SUCCESS || channel->cookie1 == 0 ||
      channel->cookie2 == 0 || cookie1 != channel->cookie1 || cookie2 != channel->cookie2)
    return nullptr;
  return channel;
}

bool AnswerBulkSend(BackdoorRegisters& regs, const unsigned char* memory, std::string& event) {
  SimChannel* channel = BulkChannel(regs, regs.ebp, regs.edi);
  if (channel == nullptr || channel->state != SIM_CHANNEL_SENDING ||
      static_cast<uint64_t>(channel->command.size()) + regs.ecx > channel->announced ||
      (memory == nullptr && regs.ecx != 0))
    return false;
  channel->command.append(reinterpret_cast<const char*>(memory), regs.ecx);
  regs.esi += regs.ecx;
  regs.ecx = 0;
  if (channel->command.size() == channel->announced)
    CompleteCommand(*channel, event);
  return true;
}

bool AnswerBulkReceive(BackdoorRegisters& regs, unsigned char* memory) {
  SimChannel* channel = BulkChannel(regs, regs.esi, regs.ebp);
  if (channel == nullptr || channel->state != SIM_CHANNEL_SERVING ||
      channel->served + regs.ecx > channel->claimed || (memory == nullptr && regs.ecx != 0))
    return false;
  for (uint32_t i = 0; i < regs.ecx; ++i)
    memory[i] = ServedByte(*channel, channel->served + i);
  channel->served += regs.ecx;
  regs.edi += regs.ecx;
  regs.ecx = 0;
  return true;
}

// The model's answer; false to refuse the call.
bool AnswerInstruction(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory,
                       std::string& event) {
  if (instruction == SIM_REP_OUTSB)
    return AnswerBulkSend(regs, memory, event);
  if (instruction == SIM_REP_INSB)
    return AnswerBulkReceive(regs, memory);
  if ((regs.ecx & 0xFFFF) == SIM_CMD_GET_VERSION) {
    regs.eax = SIM_VERSION;
    regs.ebx = g_simHost.wrongVersionEbx ? 0x12345678 : BACKDOOR_MAGIC;
  } else if ((regs.ecx & 0xFFFF) == SIM_CMD_MESSAGE) {
    return AnswerMessage(regs, event);
  }
  // Any other command is left unanswered: every register keeps what it was loaded with.
  return true;
}

bool FaultHits(const SimFault& fault, uint64_t index, uint32_t word, uint64_t step) {
  return fault.byStep ? fault.word == word && fault.index == step : fault.index == index;
}

void SetRegister(BackdoorRegisters& regs, SimRegister reg, uint32_t value) {
  uint32_t* fields[] = {&regs.eax, &regs.ebx, &regs.ecx, &regs.edx,
                        &regs.ebp, &regs.edi, &regs.esi};
  *fields[reg] = value;
}

void AnswerModel(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory,
                 std::string& event) {
  const BackdoorRegisters loaded = regs;
  const uint64_t index = g_simHost.calls;
  const uint32_t word = instruction == SIM_IN        ? regs.ecx
                        : instruction == SIM_REP_OUTSB ? MessageWord(SIM_MSG_SEND_DATA)
                                                       : MessageWord(SIM_MSG_RECEIVE_DATA);
  const uint64_t step = g_simHost.steps[word]++;
  const SimFault* refusal = nullptr;
  for (const SimFault& fault : g_simHost.faults)
    if (refusal == nullptr && FaultHits(fault, index, word, step) &&
        (fault.kind == SIM_FAULT_EAX || fault.kind == SIM_FAULT_REFUSE))
      refusal = &fault;
  if (refusal != nullptr) {
    Refuse(instruction, regs);
    if (refusal->kind == SIM_FAULT_EAX)
      regs.eax = refusal->value;
  } else if (!AnswerInstruction(instruction, regs, memory, event)) {
    Refuse(instruction, regs);
  }
  for (const SimFault& fault : g_simHost.faults) {
    if (!FaultHits(fault, index, word, step))
      continue;
    if (fault.kind == SIM_FAULT_SET)
      SetRegister(regs, fault.reg, fault.value);
    else if (fault.kind == SIM_FAULT_OPEN_EDX)
      regs.edx = (regs.edx & 0xFFFF0000) | PortOf(loaded);
  }
}

bool Claims(SimInstruction instruction, const BackdoorRegisters& regs) {
  if (regs.eax != BACKDOOR_MAGIC)
    return false;
  return PortOf(regs) == (instruction == SIM_IN ? BACKDOOR_LB_PORT : BACKDOOR_HB_PORT);
}

// --- The script ---

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+')
    return false;
  char* end = nullptr;
  unsigned long long parsed = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || parsed > max)
    return false;
  value = parsed;
  return true;
}

bool ParseWord(const std::string& text, uint32_t& value) {
  uint64_t parsed;
  if (!ParseNumber(text, 0xFFFFFFFFu, parsed))
    return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && isxdigit((unsigned char)text[i + 2]) &&
               isxdigit((unsigned char)text[i + 3])) {
      out += static_cast<char>(strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    size_t start = line.find_first_not_of(" \t", i);
    if (start == std::string::npos)
      break;
    size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos)
      end = line.size();
    words.push_back(line.substr(start, end - start));
    i = end;
  }
  return words;
}

bool ParseRegister(const std::string& name, SimRegister& reg) {
  static const char* const kNames[] = {"eax", "ebx", "ecx", "edx", "ebp", "edi", "esi"};
  for (int i = 0; i < 7; ++i) {
    if (name == kNames[i]) {
      reg = static_cast<SimRegister>(i);
      return true;
    }
  }
  return false;
}

// The FAULT words from `first` on, to the end of the line.
bool ParseFault(const std::vector<std::string>& words, size_t first, SimFault& fault) {
  size_t left = words.size() - first;
  if (left == 0)
    return false;
  const std::string& kind = words[first];
  fault.reg = SIM_EAX;
  fault.value = 0;
  if (kind == "eax" && left <= 2) {
    fault.kind = SIM_FAULT_EAX;
    fault.value = 1;
    return left == 1 || ParseWord(words[first + 1], fault.value);
  }
  if ((kind == "refuse" || kind == "bulk") && left == 1) {
    fault.kind = SIM_FAULT_REFUSE;
    return true;
  }
  if (kind == "set" && left == 3) {
    fault.kind = SIM_FAULT_SET;
    return ParseRegister(words[first + 1], fault.reg) && ParseWord(words[first + 2], fault.value);
  }
  if (kind == "open-ecx" && left == 1) {
    fault.kind = SIM_FAULT_SET;
    fault.reg = SIM_ECX;
    fault.value = SIM_OPEN_ECX_FAULT;
    return true;
  }
  if (kind == "open-edx" && left == 1) {
    fault.kind = SIM_FAULT_OPEN_EDX;
    return true;
  }
  return false;
}

// "NAME=VALUE" after the line's first word, split at the first '='.
bool SplitAssignment(const std::string& line, size_t keywordLength, std::string& name,
                     std::string& value) {
  std::string rest = line.substr(keywordLength);
  size_t equals = rest.find('=');
  if (equals == std::string::npos)
    return false;
  return Unescape(rest.substr(0, equals), name) && Unescape(rest.substr(equals + 1), value);
}

bool ApplyLine(const std::string& line) {
  std::vector<std::string> words = SplitWords(line);
  if (words.empty())
    return true;
  const std::string& keyword = words[0];
  if (keyword == "absent" && words.size() == 1) {
    g_simHost.absent = true;
    return true;
  }
  if (keyword == "wrong-version" && words.size() == 1) {
    g_simHost.wrongVersionEbx = true;
    return true;
  }
  if (line.compare(0, 6, "reply ") == 0) {
    std::string command, text;
    if (!SplitAssignment(line, 6, command, text))
      return false;
    if (command == "*")
      g_simHost.unknownReply = text;
    else
      g_simHost.replies[command] = text;
    return true;
  }
  if (keyword == "claim-length" && words.size() == 2 && line.find('=') == std::string::npos) {
    g_simHost.claimAll = true;
    return ParseWord(words[1], g_simHost.claimAllLength);
  }
  if (line.compare(0, 13, "claim-length ") == 0) {
    std::string command, length;
    uint32_t claimed;
    if (!SplitAssignment(line, 13, command, length) || !ParseWord(length, claimed))
      return false;
    g_simHost.claims[command] = claimed;
    return true;
  }
  if (keyword == "cookies" && words.size() == 3) {
    g_simHost.fixedCookies = true;
    return ParseWord(words[1], g_simHost.cookie1) && ParseWord(words[2], g_simHost.cookie2);
  }
  uint64_t number;
  if (keyword == "first-channel" && words.size() == 2 && ParseNumber(words[1], 0xFFFF, number)) {
    g_simHost.nextChannel = static_cast<uint16_t>(number);
    return true;
  }
  if (keyword == "first-reply-id" && words.size() == 2 && ParseNumber(words[1], 0xFFFF, number)) {
    g_simHost.nextReplyId = static_cast<uint16_t>(number);
    return true;
  }
  SimFault fault = SimFault();
  if (keyword == "fail-call" && words.size() >= 3 && ParseNumber(words[1], UINT64_MAX, number) &&
      ParseFault(words, 2, fault)) {
    fault.index = number;
    g_simHost.faults.push_back(fault);
    return true;
  }
  if (keyword == "fail-step" && words.size() >= 4 && ParseWord(words[1], fault.word) &&
      ParseNumber(words[2], UINT64_MAX, number) && ParseFault(words, 3, fault)) {
    fault.byStep = true;
    fault.index = number;
    g_simHost.faults.push_back(fault);
    return true;
  }
  return false;
}

}  // namespace

void SimHostReset() {
  g_simHost.absent = false;
  g_simHost.wrongVersionEbx = false;
  g_simHost.rawAnswer = nullptr;
  g_simHost.replies.clear();
  g_simHost.replies["disk.wiper.enable"] = "1 1";
  g_simHost.replies["disk.shrink"] = "1";
  g_simHost.unknownReply = "0 Unknown command";
  g_simHost.claimAll = false;
  g_simHost.claimAllLength = 0;
  g_simHost.claims.clear();
  g_simHost.fixedCookies = false;
  g_simHost.cookie1 = 0;
  g_simHost.cookie2 = 0;
  g_simHost.nextChannel = 1;
  g_simHost.nextReplyId = SIM_FIRST_REPLY_ID;
  g_simHost.faults.clear();
  g_simHost.calls = 0;
  g_simHost.transcript.clear();
  g_simHost.steps.clear();
  g_simHost.channels.clear();
  g_simHost.commands.clear();
  g_simHost.opened.clear();
  g_simHost.closed.clear();
}

bool SimHostAnswer(SimInstruction instruction, BackdoorRegisters& regs, unsigned char* memory) {
  if (g_simHost.absent)
    return false;
  SimCall call;
  call.instruction = instruction;
  call.in = regs;
  if (g_simHost.rawAnswer != nullptr) {
    if (!g_simHost.rawAnswer(instruction, regs, memory))
      return false;
  } else if (Claims(instruction, regs)) {
    AnswerModel(instruction, regs, memory, call.event);
  } else {
    return false;
  }
  call.out = regs;
  ++g_simHost.calls;
  if (g_simHost.transcript.size() < SIM_TRANSCRIPT_LIMIT)
    g_simHost.transcript.push_back(call);
  return true;
}

bool SimHostConfigure(const char* script) {
  const char* p = script;
  while (*p != '\0') {
    size_t n = strcspn(p, "\n;");
    std::string line(p, n);
    p += n;
    if (*p != '\0')
      ++p;
    size_t start = line.find_first_not_of(" \t");
    line.erase(0, start == std::string::npos ? line.size() : start);
    if (!line.empty() && line[line.size() - 1] == '\r')
      line.erase(line.size() - 1);
    if (!ApplyLine(line)) {
      fprintf(stderr, "sim: cannot understand the script line '%s'\n", line.c_str());
      return false;
    }
  }
  return true;
}

bool SimHostWriteTranscript(const char* path) {
  // Binary, so that the lines end alike on every platform for the scripts that read them.
  FILE* f = fopen(path, "wb");
  if (!f)
    return false;
  static const char* const kNames[] = {"in", "outsb", "insb"};
  for (size_t i = 0; i < g_simHost.transcript.size(); ++i) {
    const SimCall& c = g_simHost.transcript[i];
    fprintf(f, "%s %08x %08x %08x %08x %08x %08x %08x -> %08x %08x %08x %08x %08x %08x %08x\n",
            kNames[c.instruction], c.in.eax, c.in.ebx, c.in.ecx, c.in.edx, c.in.ebp, c.in.edi,
            c.in.esi, c.out.eax, c.out.ebx, c.out.ecx, c.out.edx, c.out.ebp, c.out.edi,
            c.out.esi);
    if (!c.event.empty())
      fprintf(f, "%s\n", c.event.c_str());
  }
  return fclose(f) == 0;
}
