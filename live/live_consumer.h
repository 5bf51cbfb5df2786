// The live event consumer: the thread that reads the "QuorvelLive" session
// and appends its events to the line store.
#pragma once

#include <windows.h>
#include <evntrace.h>

// Consumer thread procedure, started by the Live Tracing window with
// CreateThread after the live session started. Always returns 0.
DWORD WINAPI ConsumerThreadProc(LPVOID unused);

// The message of an event of the provider table, as a line keeps it: the
// payload's UTF-16 units up to the first NUL, without trailing CR and LF,
// malloc'd. Null for another provider's event (a log file's header event
// among them), an empty message, or no memory. Any thread.
WCHAR* TakeEventMessage(const EVENT_TRACE* event);

// The session's EventCallback; consumer thread only.
void WINAPI LiveEventCallback(PEVENT_TRACE event);
