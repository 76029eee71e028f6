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

// The same for the platform's services: how many calls failed for want of
// resources or with a device error (EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR),
// which is not the same as finding nothing. A caller that turns a failure into
// "nothing" (a null string, a value of 0) notes it, and work that must be whole
// compares PlatformFailures() before and after, as it does for the pool.
EFI_STATUS NotePlatformFailure(EFI_STATUS Status);  // returns Status
// Refused allocations and noted platform failures together.
UINTN PlatformFailures();
