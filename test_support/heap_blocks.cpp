#include "test_support/heap_blocks.h"

#include <malloc.h>

size_t CrtHeapBlocks()
{
    HANDLE heap = (HANDLE)_get_heap_handle();
    size_t blocks = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        blocks += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
    HeapUnlock(heap);
    return blocks;
}

DWORD ProcessHandleCount()
{
    struct Entry { // of SystemExtendedHandleInformation (64)
        PVOID object;
        ULONG_PTR pid, handle;
        ULONG access;
        USHORT creator, type;
        ULONG attributes, reserved;
    };
    static ULONG_PTR buffer[1 << 20];
    auto query = (LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG))GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                                           "NtQuerySystemInformation");
    ULONG length = 0;
    if (query == nullptr || query(64, buffer, sizeof(buffer), &length) != 0)
        return 0;
    const Entry* entries = (const Entry*)(buffer + 2);
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < buffer[0]; ++i)
        count += entries[i].pid == GetCurrentProcessId();
    return count;
}
