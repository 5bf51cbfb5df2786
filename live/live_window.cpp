// Live Tracing window.
#include "live/live_state.h"

LiveWindowState liveState;
