// Counting what malloc holds, to catch a text left unfreed.
#pragma once

#include <stddef.h>

// Busy blocks of the heap behind malloc. Call it when no other thread allocates.
size_t CrtHeapBlocks();
