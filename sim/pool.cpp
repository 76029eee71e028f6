// The boot-services pool over malloc, with an account of every block so tests
// can see leaks and bad frees of the code under test.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_internal.h"

namespace sim {
namespace {

// New blocks are filled with this, so code that reads a block before writing
// it sees garbage, as it would in firmware, rather than convenient zeros.
constexpr unsigned char FreshBlockFill = 0xAF;

struct PoolState {
  std::unordered_map<void *, std::size_t> Held;
  std::unordered_set<void *> Freed;  // addresses freed and not handed out again
  std::size_t Bytes = 0;
  std::vector<std::string> Errors;
};

PoolState &Pool() {
  static PoolState State;
  return State;
}

std::string Describe(const char *What, const void *Block) {
  char Text[96];
  std::snprintf(Text, sizeof Text, "FreePool(%p): %s", Block, What);
  return Text;
}

void *AllocateAccounted(std::size_t Size) {
  // malloc(0) may give null; a firmware pool always gives a usable pointer.
  void *Block = std::malloc(Size == 0 ? 1 : Size);
  if (Block == nullptr) return nullptr;
  std::memset(Block, FreshBlockFill, Size == 0 ? 1 : Size);
  PoolState &P = Pool();
  P.Held[Block] = Size;
  P.Freed.erase(Block);
  P.Bytes += Size;
  return Block;
}

bool IsPoolType(EFI_MEMORY_TYPE Type) {
  if (static_cast<UINT32>(Type) >= 0x70000000U) return true;  // OEM and OS-vendor ranges
  return Type < EfiMaxMemoryType && Type != EfiConventionalMemory && Type != EfiPersistentMemory;
}

}  // namespace

std::size_t HeldBlocks() { return Pool().Held.size(); }
std::size_t HeldBytes() { return Pool().Bytes; }

std::vector<std::string> TakePoolErrors() {
  std::vector<std::string> Errors;
  Errors.swap(Pool().Errors);
  return Errors;
}

namespace internal {

void ReleaseAllPool(bool ForgetErrors) {
  PoolState &P = Pool();
  for (auto &Entry : P.Held) std::free(Entry.first);
  P.Held.clear();
  P.Freed.clear();
  P.Bytes = 0;
  if (ForgetErrors) P.Errors.clear();
}

void *AllocateForCaller(std::size_t Size) { return AllocateAccounted(Size); }

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, void **Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.AllocatePool");
  if (Call.Fails(&Status)) return Status;
  if (Buffer == nullptr || !IsPoolType(PoolType)) return EFI_INVALID_PARAMETER;
  *Buffer = nullptr;
  if (TakeAllocationFault()) return EFI_OUT_OF_RESOURCES;
  void *Block = AllocateAccounted(Size);
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  *Buffer = Block;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FreePool(void *Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("BootServices.FreePool");
  if (Call.Fails(&Status)) return Status;
  PoolState &P = Pool();
  auto Found = P.Held.find(Buffer);
  if (Found == P.Held.end()) {
    const char *What = Buffer == nullptr            ? "null pointer"
                       : P.Freed.count(Buffer) != 0 ? "block already freed"
                                                    : "not a pool block";
    P.Errors.push_back(Describe(What, Buffer));
    return EFI_INVALID_PARAMETER;
  }
  P.Bytes -= Found->second;
  P.Held.erase(Found);
  P.Freed.insert(Buffer);
  std::free(Buffer);
  return EFI_SUCCESS;
}

}  // namespace internal
}  // namespace sim
