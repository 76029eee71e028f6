#include "support/pool.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "support/memory.h"
#include "support/work_counters.h"

namespace {
constinit UINTN RefusedAllocations = 0;
constinit UINTN FailedPlatformCalls = 0;
}  // namespace

void *PoolAlloc(UINTN Size) {
  if constexpr (COUNT_DRIVER_WORK) {
    ++DriverWorkCounters.PoolAllocations;
    DriverWorkCounters.PoolBytes += Size;
  }
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
  auto *NewBlock = static_cast<UINT8 *>(PoolAlloc(NewSize));
  if (NewBlock == nullptr) return nullptr;
  // Only the bytes the old block does not fill are zeroed: a growing page
  // buffer is otherwise written twice over.
  const UINTN Kept = OldBlock == nullptr ? 0 : (OldSize < NewSize ? OldSize : NewSize);
  CopyBytes(NewBlock, OldBlock, Kept);
  ZeroBytes(NewBlock + Kept, NewSize - Kept);
  PoolFree(OldBlock);
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
