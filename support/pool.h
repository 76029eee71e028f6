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
