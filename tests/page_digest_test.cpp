// The driver's pages, held byte for byte to what the page builder produced
// before its string writes were batched: for each scan below, the digest of
// the driver's exported form and string packages, of the OOB and STRING
// variables and of the mirrored question table. A changed digest means a page,
// a string, a keyword or a record changed. When a change of the pages is
// intended, rerun with ADDONCARD_PRINT_DIGESTS=1 and take the printed values
// (the packages' digests were last taken when the main form moved ahead of the
// card forms in the static forms package; the pages themselves did not change).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/scan_scenario.h"
#include "driver/card_inventory.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "sim/sim.h"
#include "uefi/guids.h"

namespace {

struct ScanDigests {
  std::uint64_t Packages;
  std::uint64_t Variables;
  std::uint64_t Records;
};

std::vector<UINT8> VariableBytes(const std::u16string &Name) {
  auto Found = sim::FindVariable(Name, ADDONCARD_FORMSET_GUID);
  return Found ? Found->Data : std::vector<UINT8>{};
}

// The records with each card's handle replaced by the card's place among the
// package lists, and the counters after them.
std::vector<UINT8> RecordBytes() {
  const std::vector<EFI_HII_HANDLE> Lists = sim::PackageListHandles();
  std::vector<UINT8> Bytes;
  for (UINTN Index = 0; Index < MirroredQuestionCount; ++Index) {
    MIRRORED_QUESTION Record = MirroredQuestionTable[Index];
    UINTN Place = 0;
    while (Place < Lists.size() && Lists[Place] != Record.CardHiiHandle) ++Place;
    Record.CardHiiHandle = reinterpret_cast<EFI_HII_HANDLE>(Place);
    const auto *Raw = reinterpret_cast<const UINT8 *>(&Record);
    Bytes.insert(Bytes.end(), Raw, Raw + sizeof(Record));
  }
  for (UINT16 Counter : {NextCardPage, MirroredQuestionCount, OobSlotCount, KeywordCount, StringSlotCount}) {
    Bytes.push_back(static_cast<UINT8>(Counter));
    Bytes.push_back(static_cast<UINT8>(Counter >> 8));
  }
  return Bytes;
}

ScanDigests DigestsAfterScan() {
  std::vector<UINT8> Variables = VariableBytes(TLX_ADDONCARD_OOB_VAR);
  const std::vector<UINT8> Strings = VariableBytes(TLX_ADDONCARD_STRING_VAR);
  Variables.insert(Variables.end(), Strings.begin(), Strings.end());
  return {bench::Digest(bench::FormAndStringPackages(bench::ExportDriverList())), bench::Digest(Variables),
          bench::Digest(RecordBytes())};
}

::testing::AssertionResult Matches(const char *Scan, const ScanDigests &Expected) {
  const ScanDigests Got = DigestsAfterScan();
  if (std::getenv("ADDONCARD_PRINT_DIGESTS") != nullptr)
    std::printf("    {\"%s\", {0x%016llXULL, 0x%016llXULL, 0x%016llXULL}},\n", Scan,
                static_cast<unsigned long long>(Got.Packages), static_cast<unsigned long long>(Got.Variables),
                static_cast<unsigned long long>(Got.Records));
  if (Got.Packages == Expected.Packages && Got.Variables == Expected.Variables &&
      Got.Records == Expected.Records)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Scan << ": packages " << (Got.Packages == Expected.Packages)
                                       << ", variables " << (Got.Variables == Expected.Variables)
                                       << ", records " << (Got.Records == Expected.Records) << " as before";
}

// A card in three languages, one of them a keyword namespace of the card's
// own, with prompts translated into the second.
sim::CardShape LanguagesCard() {
  constexpr EFI_GUID FormSetGuid = {0x6C1B62A0, 0x37E4, 0x4B0B, {0x8D, 0x11, 0x2E, 0x63, 0x5A, 0x90, 0x14, 0x7C}};
  constexpr EFI_GUID StoreGuid = {0x0D4E8E27, 0x5B7A, 0x4E31, {0x9C, 0x02, 0x61, 0x3F, 0xA8, 0x44, 0x21, 0xB5}};
  sim::CardFormSet Set("Languages Card", FormSetGuid);
  Set.Languages({"en-US", "fr-FR", "x-UEFI-ABC"})
      .BufferStore(1, "LangCfg", StoreGuid, 16)
      .Form(1, "Main")
      .Text("Serial Number", "", "SN-0042")
      .PromptIn("fr-FR", "Numero de serie")
      .OneOf({0x10, 1, 0, "Link Speed", "Speed of the link"})
      .PromptIn("fr-FR", "Vitesse")
      .Options({{"Auto", 0}, {"Fast", 1, EFI_IFR_OPTION_DEFAULT}})
      .Numeric({0x11, 1, 1, "Queue Depth", ""}, 1, 0, 64)
      .Keyword("x-UEFI-ABC", "QDEPTH")
      .String({0x12, 1, 2, "Card Label", "Name of the card"}, 0, 6)
      .PromptIn("fr-FR", "Etiquette");
  sim::CardShape Shape{"Languages", Set.Build(), Set.Stores()};
  Shape.Stores[0].Bytes = {1, 17, 'a', 0, 'b', 0};
  return Shape;
}

struct BigScan {
  const char *Name;
  bench::ScanShape Shape;
};

TEST(PageDigestTest, TheCardShapesScannedTwiceFillTheTenSlotsAsBefore) {
  bench::PrepareScan({sim::SampleCardShape(), sim::SecondModelShape(), sim::CheckboxCardShape(),
                      sim::EdgeCardShape(), sim::RoadCardShape(), sim::MacTitledCardShape(),
                      sim::BigCardShape(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings)});
  bench::RunScan();
  bench::RunScan();
  ASSERT_EQ(NextCardPage, 10);
  EXPECT_TRUE(Matches("card shapes", {0xB64642547F20A7F4ULL, 0xC8B8DFFF1D0C46AEULL, 0xE1AE7DF324F04EB5ULL}));
}

TEST(PageDigestTest, CardsInSeveralLanguagesAsBefore) {
  bench::PrepareScan({LanguagesCard(), sim::EdgeCardShape()}, "fr-FR");
  bench::RunScan();
  ASSERT_EQ(NextCardPage, 2);
  EXPECT_TRUE(Matches("languages, fr-FR", {0xCCCCD6E390BE1244ULL, 0x1B4887B5A74DF27FULL, 0xD4B60EC6B8520AF9ULL}));
  bench::PrepareScan({LanguagesCard()}, "de-DE");
  bench::RunScan();
  ASSERT_EQ(MirroredQuestionCount, 2);
  EXPECT_TRUE(Matches("languages, de-DE", {0x7A29A8BA20445D0EULL, 0x7CF6954CDB84CADCULL, 0xC59F5137CB6AC2D4ULL}));
}

TEST(PageDigestTest, BigCardsAsBefore) {
  const BigScan Scans[] = {
      {"1 card, 10 questions", {1, 10}},     {"1 card, 100 questions", {1, 100}},
      {"1 card, 1024 questions", {1, 1024}}, {"4 cards, 400 questions", {4, 400}},
      {"10 cards, 1024 questions", {10, 1024}},
  };
  const ScanDigests Expected[] = {
      {0xAB95A81E68672567ULL, 0xF7B7075C1CC99AE7ULL, 0x3F0C1E223531E560ULL},
      {0x4DC158EC0409759FULL, 0x60E3F09CE367183FULL, 0xB783676C7B142493ULL},
      {0x7A14C9547253399DULL, 0x759B9B423053DD1CULL, 0x9BF18759CE68977AULL},
      {0xA587C65CF5595048ULL, 0x584949582683E97DULL, 0x719696D913B3AD88ULL},
      {0xE36707668B8A70B2ULL, 0x51B6AA8B5CD11F69ULL, 0x3B5291AF5BAC73BBULL},
  };
  for (std::size_t Index = 0; Index < std::size(Scans); ++Index) {
    bench::PrepareScan(Scans[Index].Shape);
    bench::RunScan();
    ASSERT_EQ(MirroredQuestionCount, Scans[Index].Shape.Questions);
    EXPECT_TRUE(Matches(Scans[Index].Name, Expected[Index]));
  }
}

}  // namespace
