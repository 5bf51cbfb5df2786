// The product's side of the ETW seam: the system functions, unchanged.
#include "tracing/etw_seam.h"

ULONG EtwStartTrace(PTRACEHANDLE traceHandle, LPCWSTR sessionName,
                    PEVENT_TRACE_PROPERTIES properties)
{
    return StartTraceW(traceHandle, sessionName, properties);
}

ULONG EtwEnableTrace(ULONG enable, ULONG enableFlag, ULONG enableLevel,
                     LPCGUID controlGuid, TRACEHANDLE traceHandle)
{
    return EnableTrace(enable, enableFlag, enableLevel, controlGuid, traceHandle);
}

ULONG EtwControlTrace(TRACEHANDLE traceHandle, LPCWSTR sessionName,
                      PEVENT_TRACE_PROPERTIES properties, ULONG controlCode)
{
    return ControlTraceW(traceHandle, sessionName, properties, controlCode);
}

TRACEHANDLE EtwOpenTrace(PEVENT_TRACE_LOGFILEW logFile)
{
    return OpenTraceW(logFile);
}

ULONG EtwProcessTrace(PTRACEHANDLE handles, ULONG handleCount,
                      LPFILETIME startTime, LPFILETIME endTime)
{
    return ProcessTrace(handles, handleCount, startTime, endTime);
}

ULONG EtwCloseTrace(TRACEHANDLE traceHandle)
{
    return CloseTrace(traceHandle);
}
