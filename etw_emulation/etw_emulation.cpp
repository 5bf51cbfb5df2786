// Placeholder: the emulation lands with its own change.
#include "etw_emulation/etw_emulation.h"
