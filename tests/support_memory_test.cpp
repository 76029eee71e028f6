#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/globals.h"
#include "support/memory.h"
#include "support/pool.h"

namespace {

// ---- Byte operations ----

std::vector<UINT8> Sequence(UINTN Count) {
  std::vector<UINT8> Bytes(Count);
  for (UINTN Index = 0; Index < Count; ++Index) Bytes[Index] = static_cast<UINT8>(Index + 1);
  return Bytes;
}

struct CopyCase {
  UINTN DestinationOffset;
  UINTN SourceOffset;
  UINTN Count;
};

// Overlapping copies in both directions, short (byte loop only) and long enough
// to use the eight-byte forward path with and without a tail.
TEST(CopyBytes, OverlappingRegionsReceiveTheOriginalSourceBytes) {
  const CopyCase Cases[] = {{3, 0, 10}, {0, 3, 10}, {8, 0, 20},  {0, 8, 20},  {1, 0, 33},
                            {0, 1, 33}, {5, 5, 12}, {0, 16, 16}, {16, 0, 16}, {2, 0, 0}};
  for (const CopyCase &Case : Cases) {
    std::vector<UINT8> Buffer = Sequence(64);
    const std::vector<UINT8> Before = Buffer;
    void *Result =
        CopyBytes(Buffer.data() + Case.DestinationOffset, Buffer.data() + Case.SourceOffset, Case.Count);
    EXPECT_EQ(Result, Buffer.data() + Case.DestinationOffset);
    std::vector<UINT8> Expected = Before;
    std::memmove(Expected.data() + Case.DestinationOffset, Before.data() + Case.SourceOffset, Case.Count);
    EXPECT_EQ(Buffer, Expected) << "destination " << Case.DestinationOffset << " source " << Case.SourceOffset
                                << " count " << Case.Count;
  }
}

TEST(FillBytes, WritesExactlyTheCountAndNoGuardByte) {
  for (UINTN Count : {0u, 1u, 7u, 8u, 9u, 17u}) {
    std::vector<UINT8> Buffer(Count + 2, 0xEE);
    EXPECT_EQ(FillBytes(Buffer.data() + 1, Count, 0x5A), Buffer.data() + 1);
    for (UINTN Index = 1; Index <= Count; ++Index) EXPECT_EQ(Buffer[Index], 0x5A) << Count;
    EXPECT_EQ(Buffer.front(), 0xEE);
    EXPECT_EQ(Buffer.back(), 0xEE) << Count;
    ZeroBytes(Buffer.data() + 1, Count);
    for (UINTN Index = 1; Index <= Count; ++Index) EXPECT_EQ(Buffer[Index], 0) << Count;
    EXPECT_EQ(Buffer.back(), 0xEE) << Count;
  }
}

TEST(CompareBytes, GivesTheFirstDifferenceAsUnsignedBytes) {
  const UINT8 A[] = {1, 2, 3}, B[] = {1, 5, 3}, High[] = {1, 0xFF}, Low[] = {1, 0};
  EXPECT_EQ(CompareBytes(A, B, 3), 2 - 5);
  EXPECT_EQ(CompareBytes(High, Low, 2), 255);
  EXPECT_EQ(CompareBytes(A, A, 3), 0);
  EXPECT_EQ(CompareBytes(A, B, 1), 0);
}

// ---- Pool wrappers over a malloc-backed boot-services table ----

struct FakePool {
  int FailuresToInject = 0;
  int Allocations = 0;
  int Frees = 0;
  EFI_MEMORY_TYPE LastType = EfiReservedMemoryType;
};
FakePool Pool;

EFI_STATUS EFIAPI FakeAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, void **Buffer) {
  Pool.LastType = Type;
  if (Pool.FailuresToInject > 0) {
    --Pool.FailuresToInject;
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = std::malloc(Size == 0 ? 1 : Size);
  // Garbage, so that a wrapper that forgets to clear is caught.
  std::memset(*Buffer, 0xCC, Size);
  ++Pool.Allocations;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFreePool(void *Buffer) {
  std::free(Buffer);
  ++Pool.Frees;
  return EFI_SUCCESS;
}

class PoolWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved = BootServices;
    Pool = {};
    Table.AllocatePool = FakeAllocatePool;
    Table.FreePool = FakeFreePool;
    BootServices = &Table;
  }
  void TearDown() override {
    BootServices = Saved;
    EXPECT_EQ(Pool.Allocations, Pool.Frees) << "a block leaked or was freed twice";
  }

  EFI_BOOT_SERVICES Table{};
  EFI_BOOT_SERVICES *Saved = nullptr;
};

TEST_F(PoolWrappers, AllocationsComeFromBootServicesDataAndAreClearedOrCopied) {
  auto *Zeroed = static_cast<UINT8 *>(PoolAllocZero(33));
  ASSERT_NE(Zeroed, nullptr);
  EXPECT_EQ(Pool.LastType, EfiBootServicesData);
  for (UINTN Index = 0; Index < 33; ++Index) EXPECT_EQ(Zeroed[Index], 0);
  const UINT8 Source[5] = {9, 8, 7, 6, 5};
  auto *Copy = static_cast<UINT8 *>(PoolAllocCopy(sizeof Source, Source));
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(std::memcmp(Copy, Source, sizeof Source), 0);
  PoolFree(Zeroed);
  PoolFree(Copy);
  PoolFree(nullptr);
  EXPECT_EQ(Pool.Frees, 2);
}

TEST_F(PoolWrappers, ExhaustionIsReportedAsNull) {
  Pool.FailuresToInject = 3;
  EXPECT_EQ(PoolAlloc(8), nullptr);
  EXPECT_EQ(PoolAllocZero(8), nullptr);
  EXPECT_EQ(PoolAllocCopy(1, "x"), nullptr);
}

TEST_F(PoolWrappers, ReallocKeepsThePrefixClearsTheRestAndReleasesTheOldBlock) {
  auto *Old = static_cast<UINT8 *>(PoolAlloc(512));
  ASSERT_NE(Old, nullptr);
  for (UINTN Index = 0; Index < 512; ++Index) Old[Index] = static_cast<UINT8>(Index * 7 + 1);
  auto *Grown = static_cast<UINT8 *>(PoolRealloc(512, 1025, Old));
  ASSERT_NE(Grown, nullptr);
  EXPECT_EQ(Pool.Frees, 1);
  for (UINTN Index = 0; Index < 512; ++Index) ASSERT_EQ(Grown[Index], static_cast<UINT8>(Index * 7 + 1));
  for (UINTN Index = 512; Index < 1025; ++Index) ASSERT_EQ(Grown[Index], 0) << Index;

  auto *Shrunk = static_cast<UINT8 *>(PoolRealloc(1025, 4, Grown));
  ASSERT_NE(Shrunk, nullptr);
  EXPECT_EQ(Shrunk[3], 3 * 7 + 1);
  PoolFree(Shrunk);

  auto *Fresh = static_cast<UINT8 *>(PoolRealloc(0, 16, nullptr));
  ASSERT_NE(Fresh, nullptr);
  for (UINTN Index = 0; Index < 16; ++Index) EXPECT_EQ(Fresh[Index], 0);
  PoolFree(Fresh);
}

TEST_F(PoolWrappers, FailedReallocLeavesTheOldBlockWithTheCaller) {
  auto *Old = static_cast<UINT8 *>(PoolAllocCopy(4, "abc"));
  ASSERT_NE(Old, nullptr);
  Pool.FailuresToInject = 1;
  EXPECT_EQ(PoolRealloc(4, 64, Old), nullptr);
  EXPECT_EQ(Pool.Frees, 0);
  EXPECT_STREQ(reinterpret_cast<char *>(Old), "abc");
  PoolFree(Old);
}

}  // namespace
