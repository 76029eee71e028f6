// Boot-services pool wrappers (EfiBootServicesData). Exhaustion is reported as a
// null pointer; every caller tests for it.
#pragma once
#include "uefi/base.h"

void *PoolAlloc(UINTN Size);
void *PoolAllocZero(UINTN Size);
void *PoolAllocCopy(UINTN Size, const void *Source);
void *PoolRealloc(UINTN OldSize, UINTN NewSize, void *OldBlock);
// Releases a block obtained from the pool; a null pointer is ignored.
void PoolFree(void *Block);

// How many allocations the pool has refused since the image was loaded. Work
// that must be whole or not done at all (a card page) compares it before and
// after: several helpers it calls report a refusal only as "nothing" (a null
// string, a string id 0), which cannot be told from a missing string.
UINTN PoolAllocationFailures();
