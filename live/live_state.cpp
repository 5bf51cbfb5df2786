#include "live/live_state.h"

LiveWindowState liveState;
