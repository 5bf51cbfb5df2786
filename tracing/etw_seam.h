// The program's one door to ETW. Every ETW call of the program goes through
// these functions, which have the system signatures. QuorvelTrace.exe links
// etw_system.cpp (the advapi32 functions); the tests and the demo link the
// in-process emulation in etw_emulation/. Nothing else in the program knows
// which one it runs on.
#pragma once

#include <windows.h>
#include <evntrace.h>

ULONG EtwStartTrace(PTRACEHANDLE traceHandle, LPCWSTR sessionName,
                    PEVENT_TRACE_PROPERTIES properties);
ULONG EtwEnableTrace(ULONG enable, ULONG enableFlag, ULONG enableLevel,
                     LPCGUID controlGuid, TRACEHANDLE traceHandle);
ULONG EtwControlTrace(TRACEHANDLE traceHandle, LPCWSTR sessionName,
                      PEVENT_TRACE_PROPERTIES properties, ULONG controlCode);
TRACEHANDLE EtwOpenTrace(PEVENT_TRACE_LOGFILEW logFile);
ULONG EtwProcessTrace(PTRACEHANDLE handles, ULONG handleCount,
                      LPFILETIME startTime, LPFILETIME endTime);
ULONG EtwCloseTrace(TRACEHANDLE traceHandle);
