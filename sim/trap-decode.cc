// Recognising the three port instructions that the simulated host answers.
#include "sim/trap-decode.h"

bool SimTrapDecode(const unsigned char* ip, SimInstruction* instruction, int* length) {
  if (ip[0] == 0xED) {
    *instruction = SIM_IN;
    *length = 1;
    return true;
  }
  if (ip[0] == 0xF3 && (ip[1] == 0x6E || ip[1] == 0x6C)) {
    *instruction = ip[1] == 0x6E ? SIM_REP_OUTSB : SIM_REP_INSB;
    *length = 2;
    return true;
  }
  return false;
}
