// Counting what the process holds, to catch what a cycle leaves behind.
#pragma once

#include <windows.h>
#include <stddef.h>

// Busy blocks of the heap behind malloc. Call it when no other thread allocates.
size_t CrtHeapBlocks();
// The process's entries in the system's handle list (Wine answers 0 to
// GetProcessHandleCount); 0 when the list cannot be read.
DWORD ProcessHandleCount();
