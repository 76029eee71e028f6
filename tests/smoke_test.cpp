#include <gtest/gtest.h>

#include "support/memory.h"

TEST(Memory, CopyBytesHandlesOverlapInBothDirections) {
  UINT8 Bytes[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  CopyBytes(Bytes + 3, Bytes, 10);
  for (int I = 0; I < 10; ++I) EXPECT_EQ(Bytes[3 + I], I);
}
