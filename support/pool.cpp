#include "support/pool.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "support/memory.h"

namespace {
constinit UINTN RefusedAllocations = 0;
constinit UINTN FailedPlatformCalls = 0;
}  // namespace

void *PoolAlloc(UINTN Size) {
  void *Block = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, Size, &Block))) {
    ++RefusedAllocations;
    return nullptr;
  }
  return Block;
}

void *PoolAllocZero(UINTN Size) {
  void *Block = PoolAlloc(Size);
  if (Block != nullptr && Size != 0) ZeroBytes(Block, Size);
  return Block;
}

void *PoolAllocCopy(UINTN Size, const void *Source) {
  void *Block = PoolAlloc(Size);
  if (Block != nullptr && Size != 0) CopyBytes(Block, Source, Size);
  return Block;
}

void *PoolRealloc(UINTN OldSize, UINTN NewSize, void *OldBlock) {
  void *NewBlock = PoolAllocZero(NewSize);
  if (NewBlock == nullptr) return nullptr;
  if (OldBlock != nullptr) {
    CopyBytes(NewBlock, OldBlock, OldSize < NewSize ? OldSize : NewSize);
    BootServices->FreePool(OldBlock);
  }
  return NewBlock;
}

void PoolFree(void *Block) {
  if (Block != nullptr) BootServices->FreePool(Block);
}

UINTN PoolAllocationFailures() { return RefusedAllocations; }

EFI_STATUS NotePlatformFailure(EFI_STATUS Status) {
  if (Status == EFI_OUT_OF_RESOURCES || Status == EFI_DEVICE_ERROR) ++FailedPlatformCalls;
  return Status;
}

UINTN PlatformFailures() { return RefusedAllocations + FailedPlatformCalls; }

void ResetPoolState() {
  RefusedAllocations = 0;
  FailedPlatformCalls = 0;
}
