// Placeholder until the loop pass lands.
#include "pattern/loop_pass.h"

void runLoopPass(Instruction*, int32_t, int32_t) {}
