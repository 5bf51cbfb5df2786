// The live event consumer: the thread that reads the "QuorvelLive" session
// and appends its events to the line store.
#pragma once

#include <windows.h>
#include <evntrace.h>

// Consumer thread procedure, started by the Live Tracing window with
// CreateThread after the live session started. Always returns 0.
DWORD WINAPI ConsumerThreadProc(LPVOID unused);

// The session's EventCallback; consumer thread only.
void WINAPI LiveEventCallback(PEVENT_TRACE event);
