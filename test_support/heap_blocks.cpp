#include "test_support/heap_blocks.h"

#include <malloc.h>
#include <windows.h>

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
