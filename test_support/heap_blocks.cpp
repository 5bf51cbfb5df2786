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
    // SystemExtendedHandleInformation (64): a count, a word, then entries of 5 words, the second the process id.
    static ULONG_PTR buffer[1 << 20];
    auto query = (LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG))GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                                           "NtQuerySystemInformation");
    ULONG length = 0;
    if (query == nullptr || query(64, buffer, sizeof(buffer), &length) != 0)
        return 0;
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < buffer[0]; ++i)
        count += buffer[2 + 5 * i + 1] == GetCurrentProcessId();
    return count;
}
