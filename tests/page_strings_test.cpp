// The two shortcuts the page builder takes through the string service: card
// strings read from the card's exported list, and the page's strings written as
// blocks of the driver's string packages. Each must give what the string
// service gives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/card_pages.h"
#include "sim/card_shapes.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/pool.h"
#include "support/string_batch.h"
#include "support/string_package.h"
#include "tests/driver_hii_fixture.h"

namespace {

using Bytes = std::vector<UINT8>;

Bytes ExportList(EFI_HII_HANDLE Handle) {
  UINTN Size = 0;
  EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  Bytes List(Size);
  EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size,
                                            reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data())),
            EFI_SUCCESS);
  return List;
}

// Puts Inserted at Offset of the package that starts at Package in List,
// the package's and the list's lengths grown to match.
void InsertIntoPackage(Bytes &List, std::size_t Package, std::size_t Offset, const Bytes &Inserted) {
  List.insert(List.begin() + Package + Offset, Inserted.begin(), Inserted.end());
  const UINT32 Length = (List[Package] | List[Package + 1] << 8 | List[Package + 2] << 16) + Inserted.size();
  for (int Byte = 0; Byte < 3; ++Byte) List[Package + Byte] = static_cast<UINT8>(Length >> (8 * Byte));
  UINT32 ListLength = 0;
  std::memcpy(&ListLength, List.data() + 16, 4);
  ListLength += static_cast<UINT32>(Inserted.size());
  std::memcpy(List.data() + 16, &ListLength, 4);
}

// Where the first string package of List starts.
std::size_t FirstStringPackage(const Bytes &List) {
  std::size_t At = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (At + 4 <= List.size() && List[At + 3] != EFI_HII_PACKAGE_STRINGS)
    At += List[At] | List[At + 1] << 8 | List[At + 2] << 16;
  return At;
}

std::u16string Text(const CHAR16 *String) { return String == nullptr ? u"<none>" : std::u16string(String); }

class PageStringsTest : public RegisteredDriverTest {};

// Every id of every card shape, and ids past the end, in three platform
// languages: the reader over the export answers what the string service does.
TEST_F(PageStringsTest, CardStringsReadFromTheExportAreThoseTheStringServiceGives) {
  std::vector<sim::CardShape> Shapes = sim::FixtureShapes();
  sim::CardFormSet Languages("Languages Card");
  Languages.Languages({"en-US", "fr-FR", "x-UEFI-ABC"})
      .Form(1, "Main")
      .Text("Serial Number", "Its help", "SN-1")
      .PromptIn("fr-FR", "Numero de serie")
      .Keyword("x-UEFI-ABC", "SERIAL");
  Shapes.push_back({"Languages", Languages.Build(), {}});
  for (const char *Platform : {"", "fr-FR", "de-DE"}) {
    RegisteredDriverTest::SetUp();  // a fresh machine for each platform language
    if (*Platform != 0)
      sim::WriteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE, 0x6,
                         Bytes(Platform, Platform + std::strlen(Platform) + 1));
    for (std::size_t Index = 0; Index < Shapes.size(); ++Index) {
      SCOPED_TRACE(Shapes[Index].Name + " in " + Platform);
      sim::CardDriver &Card =
          sim::PublishShape(sim::AddPciFunction(0x1234, 0x11E8, 0, 0x10 + Index, 0), Shapes[Index]);
      const Bytes List = ExportList(Card.HiiHandle);
      LIST_STRINGS Strings;
      OpenListStrings(Card.HiiHandle, ByteView(List.data(), List.size()), &Strings);
      EXPECT_TRUE(Strings.Indexed);
      TEXT_SCRATCH Scratch = {};
      for (EFI_STRING_ID Id = 0; Id < 80; ++Id) {
        CHAR16 *Expected = Id == 0 ? nullptr : GetStringInBestLanguage(Card.HiiHandle, Id);
        EXPECT_EQ(Text(ReadListString(Strings, Id, &Scratch)), Text(Expected)) << Id;
        PoolFree(Expected);
      }
      FreeTextScratch(&Scratch);
      CloseListStrings(&Strings);
    }
  }
  EXPECT_EQ(sim::HeldBlocks(), 0u);
}

// A string package the reader does not read (here one that has a duplicate
// block) leaves every read to the string service.
TEST_F(PageStringsTest, AListWithBlocksNotReadHereIsReadThroughTheStringService) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  Bytes List = ExportList(Card.HiiHandle);
  // A duplicate of id 1 before the first string package's END block.
  STRING_PACKAGE_INFO Info = {};
  const std::size_t At = FirstStringPackage(List);
  ASSERT_TRUE(ReadStringPackageInfo(ByteView(List.data() + At, List.size() - At), &Info));
  EXPECT_GT(Info.NextId, 1);
  InsertIntoPackage(List, At, Info.EndBlock, {EFI_HII_SIBT_DUPLICATE, 1, 0});
  EXPECT_FALSE(ReadStringPackageInfo(ByteView(List.data() + At, List.size() - At), &Info));
  LIST_STRINGS Strings;
  OpenListStrings(Card.HiiHandle, ByteView(List.data(), List.size()), &Strings);
  EXPECT_FALSE(Strings.Indexed);
  TEXT_SCRATCH Scratch = {};
  CHAR16 *Expected = GetStringInBestLanguage(Card.HiiHandle, 2);
  EXPECT_EQ(Text(ReadListString(Strings, 2, &Scratch)), Text(Expected));
  PoolFree(Expected);
  FreeTextScratch(&Scratch);
  CloseListStrings(&Strings);
}

// The batch's ids follow the packages' last one; packages that disagree on it,
// or hold blocks not read here, take no batch.
TEST_F(PageStringsTest, TheBatchStartsAfterTheLastIdOfPackagesThatAgree) {
  Bytes List = ExportList(DriverHiiHandle);
  EFI_STRING_ID Next = 0;
  ASSERT_EQ(NextStringId(ByteView(List.data(), List.size()), &Next), EFI_SUCCESS);
  // The driver's own strings end at 41 (the empty string).
  EXPECT_EQ(Next, 42);
  EFI_STRING_ID NewId = 0;
  ASSERT_EQ(HiiString->NewString(HiiString, DriverHiiHandle, &NewId, "en-US", nullptr, u"One more", nullptr),
            EFI_SUCCESS);
  List = ExportList(DriverHiiHandle);
  ASSERT_EQ(NextStringId(ByteView(List.data(), List.size()), &Next), EFI_SUCCESS);
  EXPECT_EQ(Next, NewId + 1);

  // One package a string longer than the other: they disagree.
  const std::size_t At = FirstStringPackage(List);
  STRING_PACKAGE_INFO Info = {};
  ASSERT_TRUE(ReadStringPackageInfo(ByteView(List.data() + At, List.size() - At), &Info));
  Bytes Longer = List;
  InsertIntoPackage(Longer, At, Info.EndBlock, {EFI_HII_SIBT_SKIP1, 1});
  EXPECT_EQ(NextStringId(ByteView(Longer.data(), Longer.size()), &Next), EFI_INVALID_PARAMETER);

  STRING_BATCH Batch = {};
  ASSERT_EQ(StartStringBatch(&Batch, NewId + 1), EFI_SUCCESS);
  EXPECT_EQ(BatchNewString(&Batch, u"Text"), NewId + 1);
  EXPECT_TRUE(BatchSetKeyword(&Batch, NewId + 1, u"CSPAC000"));
  EXPECT_EQ(BatchNewString(&Batch, u"Help"), NewId + 2);
  EXPECT_FALSE(BatchSetKeyword(&Batch, NewId + 1, u"CSPAC001"));  // only the last string takes one
  UINT8 Out[4096];
  ByteWriter Writer(Out, sizeof(Out));
  EXPECT_EQ(AppendBatchToPackage(ByteView(Longer.data() + At, Longer.size() - At), Batch, "x-UEFI-QZV", Writer),
            EFI_INVALID_PARAMETER);
  FreeStringBatch(&Batch);
}

}  // namespace
