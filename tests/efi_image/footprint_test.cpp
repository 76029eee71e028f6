// What the driver costs a machine in memory: the image file, and the image as
// loaded (SizeOfImage) with the pool the driver still holds after the largest
// scan it is built for, ten cards with 1024 mirrored questions in all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/scan_scenario.h"
#include "driver/card_inventory.h"
#include "sim/sim.h"

namespace {

constexpr std::size_t IMAGE_FILE_LIMIT = 48 * 1024;
constexpr std::size_t LOADED_LIMIT = 256 * 1024;  // SizeOfImage and the pool held

std::vector<unsigned char> ImageBytes() {
  const char *Dir = std::getenv("ADDONCARD_EFI_BUILD_DIR");
  if (Dir == nullptr) return {};
  std::ifstream In(std::string(Dir) + "/AddOnCard.efi", std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(In), {});
}

std::size_t Le32(const std::vector<unsigned char> &B, std::size_t At) {
  return B.at(At) | B.at(At + 1) << 8 | B.at(At + 2) << 16 | static_cast<std::size_t>(B.at(At + 3)) << 24;
}

// SizeOfImage of a PE32+ image: 56 bytes into the optional header.
std::size_t SizeOfImage(const std::vector<unsigned char> &Image) {
  const std::size_t Pe = Le32(Image, 0x3C);
  return Le32(Image, Pe + 24 + 56);
}

class FootprintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("ADDONCARD_EFI_BUILD_DIR") == nullptr) GTEST_SKIP() << "ADDONCARD_EFI_BUILD_DIR is not set";
    Image = ImageBytes();
    ASSERT_GT(Image.size(), 0x400u) << "no AddOnCard.efi in the efi build";
  }
  std::vector<unsigned char> Image;
};

TEST_F(FootprintTest, ImageFileIsAtMost48KiB) { EXPECT_LE(Image.size(), IMAGE_FILE_LIMIT); }

TEST_F(FootprintTest, LoadedImageAndPoolHeldAfterTheLargestScanAreAtMost256KiB) {
  bench::PrepareScan({.Cards = 10, .Questions = 1024});
  bench::RunScan();
  ASSERT_EQ(MirroredQuestionCount, 1024u);
  const std::size_t Held = sim::HeldBytes() - bench::PoolBytesBeforeDriver();
  EXPECT_LE(SizeOfImage(Image) + Held, LOADED_LIMIT)
      << "SizeOfImage " << SizeOfImage(Image) << ", pool held " << Held;
}

}  // namespace
