// Replacing the section between two labels of a form: the splice over bytes
// alone, then UpdateFormSection on the driver's list registered in the
// simulated HII database. Every result is read back with the decoder of
// tests/ifr_test_bytes.h, not with the driver's own reader.
#include "support/form_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "forms/form_ids.h"
#include "support/ifr_reader.h"
#include "support/language.h"
#include "tests/driver_hii_fixture.h"
#include "tests/ifr_test_bytes.h"

namespace {

using namespace ifrtest;

constexpr EFI_GUID OTHER_FORMSET_GUID = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

ByteView View(const Bytes &B) { return ByteView(B.data(), B.size()); }

Bytes StaticFormsPackage() {
  return Bytes(AddOnCardForms + 4, AddOnCardForms + 4 + ADDONCARD_FORM_PACKAGE_SIZE);
}

// Where the Nth (from 0) copy of Needle ends inside Haystack.
size_t EndOf(const Bytes &Haystack, const Bytes &Needle, int Nth = 0) {
  auto At = Haystack.begin();
  for (;; ++At) {
    At = std::search(At, Haystack.end(), Needle.begin(), Needle.end());
    if (At == Haystack.end()) {
      ADD_FAILURE() << "pattern not found";
      return 0;
    }
    if (Nth-- == 0) break;
  }
  return static_cast<size_t>(At - Haystack.begin()) + Needle.size();
}

// Package with Inserted put at Offset and its 24-bit length fixed.
Bytes InsertInto(const Bytes &Package, size_t Offset, const Bytes &Inserted) {
  Bytes Result = Package;
  Result.insert(Result.begin() + static_cast<long>(Offset), Inserted.begin(), Inserted.end());
  const UINT32 Length = static_cast<UINT32>(Result.size());
  Result[0] = UINT8(Length);
  Result[1] = UINT8(Length >> 8);
  Result[2] = UINT8(Length >> 16);
  return Result;
}

struct Spliced {
  EFI_STATUS Status;
  Bytes Output;
};
Spliced Splice(UINT16 FormId, const Bytes &Package, const Bytes &Start, const Bytes &End,
               size_t Room = 65536) {
  Bytes Output(Room);
  ByteWriter Writer(Output.data(), Output.size());
  const EFI_STATUS Status = SpliceFormPackage(FormId, View(Package), View(Start), View(End), Writer);
  EXPECT_FALSE(Writer.Failed());
  Output.resize(Writer.Size());
  return {Status, Output};
}

// ---- The splice over bytes ------------------------------------------------------------

TEST(SpliceFormPackageTest, PutsTheNewOpcodesBetweenTheLabelsOfTheFormAskedFor) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes New = Cat({Text(50), Text(51, 52, 53)});
  const Spliced Result = Splice(0x9011, Forms, Cat({Label(0x2000), New}), Label(0x2FFF));
  ASSERT_EQ(Result.Status, EFI_SUCCESS);
  // The main form comes before card form 0x9011, and its region 0 also starts with label 0x2000.
  EXPECT_EQ(Result.Output, InsertInto(Forms, EndOf(Forms, Label(0x2000), 1), New));
  const DecodedPackage Decoded = DecodeFormsPackage(Result.Output.data(), Result.Output.size());
  EXPECT_TRUE(Decoded.Ok);
  EXPECT_EQ(FormContents(Decoded, 0x9011),
            (std::vector<Bytes>{Label(0x2000), Text(50), Text(51, 52, 53), Label(0x2FFF)}));
  EXPECT_EQ(Result.Output[3], 0x02);  // the type stays
}

TEST(SpliceFormPackageTest, TheSameLabelNumberInAnotherFormIsTakenOnlyForThatForm) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes Goto = Op(0x0F, {31, 0, 31, 0, 0x11, 0x90, 0, 0, 0, 0, 0x04, 0x11, 0x90});
  const Spliced Result = Splice(ADDONCARD_MAIN_FORM_ID, Forms, Cat({Label(0x2000), Goto}), Label(0x21FF));
  ASSERT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(Result.Output, InsertInto(Forms, EndOf(Forms, Label(0x2000)), Goto));
  EXPECT_EQ(FormContents(DecodeFormsPackage(Result.Output.data(), Result.Output.size()), 0x9011),
            (std::vector<Bytes>{Label(0x2000), Label(0x2FFF)}));
}

TEST(SpliceFormPackageTest, ASecondSpliceReplacesTheFirstAndALabelAloneEmptiesTheSection) {
  const Bytes Forms = StaticFormsPackage();
  const Spliced First = Splice(0x9013, Forms, Cat({Label(0x4000), Text(1), Text(2), Text(3)}), Label(0x4FFF));
  ASSERT_EQ(First.Status, EFI_SUCCESS);
  const Spliced Second = Splice(0x9013, First.Output, Cat({Label(0x4000), Text(9)}), Label(0x4FFF));
  ASSERT_EQ(Second.Status, EFI_SUCCESS);
  EXPECT_EQ(FormContents(DecodeFormsPackage(Second.Output.data(), Second.Output.size()), 0x9013),
            (std::vector<Bytes>{Label(0x4000), Text(9), Label(0x4FFF)}));
  EXPECT_EQ(Second.Output.size(), Forms.size() + 8);
  const Spliced Emptied = Splice(0x9013, Second.Output, Label(0x4000), Cat({Label(0x4FFF), Text(7)}));
  ASSERT_EQ(Emptied.Status, EFI_SUCCESS);
  EXPECT_EQ(Emptied.Output, Forms);
}

// An END closes a scope and opens none, even with its scope bit set: a section
// holding such an END is still found, and taking it out leaves the package's
// scopes balanced (the END used to count as an opening, so a section whose
// labels looked like one scope could leave scopes open in the changed list).
TEST(SpliceFormPackageTest, AnEndWithTheScopeBitStillClosesItsScope) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes Odd = Cat({Op(0x02, {1, 0, 0, 0, 0}, true), Text(5), Op(0x29, {}, true)});
  // The main form, first, has a label 0x2000 too: the card form's is the second.
  const Bytes Package = InsertInto(Forms, EndOf(Forms, Label(0x2000), 1), Odd);
  const Spliced Result = Splice(0x9011, Package, Cat({Label(0x2000), Text(9)}), Label(0x2FFF));
  ASSERT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(Result.Output, InsertInto(Forms, EndOf(Forms, Label(0x2000), 1), Text(9)));
}

TEST(SpliceFormPackageTest, FindsNothingOutsideTheFormAndFormSetAskedFor) {
  const auto Ours = [](const Bytes &Body) {
    return FormsPackage(Cat({FormSet(ADDONCARD_FORMSET_GUID), Body, End()}));
  };
  const Bytes Pair = Cat({Label(0x2000), Label(0x2FFF)});
  struct Row {
    const char *Name;
    UINT16 FormId;
    Bytes Package;
    EFI_STATUS Status;
  };
  const std::vector<Row> Rows = {
      {"labels of form 0x9011 asked for in 0x9012", 0x9012, StaticFormsPackage(), EFI_NOT_FOUND},
      {"a form the set does not have", 0x9099, StaticFormsPackage(), EFI_NOT_FOUND},
      {"the form in another form set", 0x9011,
       FormsPackage(Cat({FormSet(OTHER_FORMSET_GUID), Form(0x9011), Pair, End(), End()})), EFI_NOT_FOUND},
      {"the same in the driver's form set", 0x9011, Ours(Cat({Form(0x9011), Pair, End()})), EFI_SUCCESS},
      {"a form map with the id", 0x9011, Ours(Cat({FormMap(0x9011), Pair, End()})), EFI_SUCCESS},
      {"start label without end label", 0x9011, Ours(Cat({Form(0x9011), Label(0x2000), End()})),
       EFI_NOT_FOUND},
      {"end label only before the start label", 0x9011,
       Ours(Cat({Form(0x9011), Label(0x2FFF), Label(0x2000), End()})), EFI_NOT_FOUND},
      {"end label only in the next form", 0x9011,
       Ours(Cat({Form(0x9011), Label(0x2000), End(), Form(0x9012), Label(0x2FFF), End()})), EFI_NOT_FOUND},
      {"end label nested deeper than the start label", 0x9011,
       Ours(Cat({Form(0x9011), Label(0x2000), SuppressIf(), True(), Label(0x2FFF), End(), End()})),
       EFI_NOT_FOUND},
      {"end label past a nested scope", 0x9011,
       Ours(Cat(
           {Form(0x9011), Label(0x2000), SuppressIf(), True(), Label(0x2FFF), End(), Label(0x2FFF), End()})),
       EFI_SUCCESS},
      {"labels after the form's scope closed", 0x9011, Ours(Cat({Form(0x9011), End(), Pair})), EFI_NOT_FOUND},
      {"a malformed opcode before the labels", 0x9011, Ours(Cat({Form(0x9011), {0x03, 0x00}, Pair, End()})),
       EFI_NOT_FOUND},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    Bytes Output(65536, 0xCC);
    ByteWriter Writer(Output.data(), Output.size());
    EXPECT_EQ(SpliceFormPackage(R.FormId, View(R.Package), View(Cat({Label(0x2000), Text(1)})),
                                View(Label(0x2FFF)), Writer),
              R.Status);
    if (R.Status != EFI_SUCCESS) EXPECT_EQ(Writer.Size(), 0u);
  }
}

TEST(SpliceFormPackageTest, RefusesBuffersThatAreNotWholeOpcodes) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes OpenOneOf = Op(0x05, {5, 0, 41, 0, 0, 1, 0, 0x10, 0, 0, 0x15, 0, 0, 0, 0}, true);
  const Bytes StartLabel = Label(0x2000);
  const Bytes ScopedLabel = Op(0x5F, Bytes(StartLabel.begin() + 2, StartLabel.end()), true);
  struct Row {
    const char *Name;
    Bytes Start, End;
  };
  for (const Row &R : std::vector<Row>{
           {"empty start", {}, Label(0x2FFF)},
           {"empty end", Label(0x2000), {}},
           {"start opcode of length 0", {0x5F, 0x00}, Label(0x2FFF)},
           {"a label that opens a scope", ScopedLabel, Label(0x2FFF)},
           {"a scope left open", Cat({Label(0x2000), OpenOneOf}), Label(0x2FFF)},
           {"half an opcode at the end", Cat({Label(0x2000), {0x03, 0x08, 1}}), Label(0x2FFF)},
       }) {
    SCOPED_TRACE(R.Name);
    EXPECT_EQ(Splice(0x9011, Forms, R.Start, R.End).Status, EFI_INVALID_PARAMETER);
  }
}

TEST(SpliceFormPackageTest, NeverWritesPastItsOutput) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes Start = Cat({Label(0x2000), Text(1), Text(2)});
  const size_t Needed = Forms.size() + 16;
  for (size_t Room : {size_t{0}, size_t{4}, Forms.size(), Needed - 1, Needed}) {
    SCOPED_TRACE(Room);
    Bytes Output(Room + 64, 0xCC);
    ByteWriter Writer(Output.data(), Room);
    const EFI_STATUS Status =
        SpliceFormPackage(0x9011, View(Forms), View(Start), View(Label(0x2FFF)), Writer);
    EXPECT_EQ(Status, Room < Needed ? EFI_BUFFER_TOO_SMALL : EFI_SUCCESS);
    EXPECT_EQ(Writer.Size(), Room < Needed ? 0u : Needed);
    EXPECT_TRUE(std::all_of(Output.begin() + static_cast<long>(Room), Output.end(),
                            [](UINT8 B) { return B == 0xCC; }));
  }
}

// ---- Whole package lists ------------------------------------------------------------------

struct ListSpliced {
  EFI_STATUS Status;
  Bytes Output;
};
ListSpliced SpliceList(UINT16 FormId, const Bytes &List, const Bytes &Start, const Bytes &End) {
  Bytes Output(List.size() + 4 * Start.size());
  ByteWriter Writer(Output.data(), Output.size());
  const EFI_STATUS Status = SpliceFormPackageList(FormId, View(List), View(Start), View(End), Writer);
  Output.resize(Writer.Size());
  return {Status, Output};
}

TEST(SpliceFormPackageListTest, ChangesEachFormsPackageHoldingTheFormAndCopiesTheRest) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes Strings = RawPackage(0x04, {1, 2, 3, 4, 5});
  const Bytes Start = Cat({Label(0x2000), Text(1), Text(2), Text(3)});
  const Bytes Changed =
      InsertInto(Forms, EndOf(Forms, Label(0x2000), 1), Bytes(Start.begin() + 21, Start.end()));

  const ListSpliced One =
      SpliceList(0x9011, PackageList({Forms, Strings, EndPackage()}), Start, Label(0x2FFF));
  ASSERT_EQ(One.Status, EFI_SUCCESS);
  EXPECT_EQ(One.Output, PackageList({Changed, Strings, EndPackage()}));

  // Both forms packages hold the form: both change, and the list grows twice.
  const ListSpliced Two =
      SpliceList(0x9011, PackageList({Forms, Strings, Forms, EndPackage()}), Start, Label(0x2FFF));
  ASSERT_EQ(Two.Status, EFI_SUCCESS);
  EXPECT_EQ(Two.Output, PackageList({Changed, Strings, Changed, EndPackage()}));
  const DecodedList Decoded = DecodePackageList(Two.Output);
  EXPECT_TRUE(Decoded.Ok);
  EXPECT_EQ(Decoded.Packages.size(), 4u);
}

TEST(SpliceFormPackageListTest, ReportsListsItCannotChange) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes Start = Cat({Label(0x2000), Text(1)});
  struct Row {
    const char *Name;
    Bytes List;
    EFI_STATUS Status;
  };
  for (const Row &R : std::vector<Row>{
           {"no packages", PackageList({}), EFI_NOT_FOUND},
           {"no forms package", PackageList({RawPackage(0x04, {1}), EndPackage()}), EFI_NOT_FOUND},
           {"forms package without the form",
            PackageList({FormsPackage(FormSet(ADDONCARD_FORMSET_GUID, false)), EndPackage()}), EFI_NOT_FOUND},
           {"list shorter than its header", Bytes(12, 0), EFI_VOLUME_CORRUPTED},
           {"package past the list", PackageList({Forms, {0xFF, 0, 0, 4}}), EFI_VOLUME_CORRUPTED},
           {"zero-length package after the form", PackageList({Forms, {0, 0, 0, 4}}), EFI_VOLUME_CORRUPTED},
       }) {
    SCOPED_TRACE(R.Name);
    EXPECT_EQ(SpliceList(0x9011, R.List, Start, Label(0x2FFF)).Status, R.Status);
  }
}

// Random damage to a real list: whatever the bytes say, nothing is read or
// written out of bounds (AddressSanitizer watches), and a list that could be
// changed comes out with lengths that tile it.
TEST(SpliceFormPackageListTest, SurvivesRandomlyDamagedLists) {
  const Bytes List = PackageList({StaticFormsPackage(), RawPackage(0x04, {1, 2, 3}), EndPackage()});
  const Bytes Start = Cat({Label(0x2000), Text(1), SuppressIf(), True(), Text(2), End()});
  std::mt19937 Random(7);
  int Changed = 0;
  for (int Round = 0; Round < 3000; ++Round) {
    Bytes Damaged = List;
    const int Hits = 1 + static_cast<int>(Random() % 4);
    for (int Hit = 0; Hit < Hits; ++Hit) {
      const size_t At = Random() % Damaged.size();
      Damaged[At] = static_cast<UINT8>(Random() % 3 == 0 ? 0 : Random());
    }
    if (Random() % 8 == 0) Damaged.resize(Random() % Damaged.size());
    auto Heap = std::make_unique<UINT8[]>(Damaged.size() + 1);  // exact size: ASan sees any overrun
    std::copy(Damaged.begin(), Damaged.end(), Heap.get());
    const size_t Room = Damaged.size() + Start.size();
    auto Out = std::make_unique<UINT8[]>(Room);
    ByteWriter Writer(Out.get(), Room);
    const EFI_STATUS Status = SpliceFormPackageList(0x9011, ByteView(Heap.get(), Damaged.size()), View(Start),
                                                    View(Label(0x2FFF)), Writer);
    if (Status != EFI_SUCCESS) continue;
    ++Changed;
    const DecodedList Decoded = DecodePackageList(Bytes(Out.get(), Out.get() + Writer.Size()));
    EXPECT_TRUE(Decoded.Ok);
  }
  EXPECT_GT(Changed, 0);
}

// ---- UpdateFormSection on the driver's registered list -----------------------------------

class UpdateFormSectionTest : public RegisteredDriverTest {
 protected:
  void SetUp() override {
    RegisteredDriverTest::SetUp();
    SetCurrentHiiHandle(DriverHiiHandle);
    Original = Export();
  }
  void TearDown() override {
    for (OpCodeBuffer *B : Buffers) OpCodeBufferFree(B);
    RegisteredDriverTest::TearDown();
  }

  Bytes Export(EFI_HII_HANDLE Handle = nullptr) {
    Handle = Handle != nullptr ? Handle : DriverHiiHandle;
    UINTN Size = 0;
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
    Bytes List(Size);
    EXPECT_EQ(HiiDatabase->ExportPackageLists(HiiDatabase, Handle, &Size,
                                              reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data())),
              EFI_SUCCESS);
    return List;
  }
  // A buffer that the fixture frees, filled by Fill.
  OpCodeBuffer *Buffer(const std::function<void(OpCodeBuffer *)> &Fill) {
    OpCodeBuffer *B = OpCodeBufferNew();
    EXPECT_NE(B, nullptr);
    Buffers.push_back(B);
    Fill(B);
    return B;
  }
  OpCodeBuffer *LabelBuffer(UINT16 Number) {
    return Buffer([&](OpCodeBuffer *B) { EmitLabel(B, Number); });
  }
  // A start label and one text after it.
  OpCodeBuffer *LabelAndText(UINT16 Number) {
    return Buffer([&](OpCodeBuffer *B) {
      EmitLabel(B, Number);
      EmitText(B, 1, 2, 3);
    });
  }
  static Bytes After(const OpCodeBuffer *Start, UINTN Skip = 21) {
    const ByteView View = OpCodeBufferBytes(Start);
    return Bytes(View.Data() + Skip, View.Data() + View.Size());
  }
  // The forms package of an export (the database exports it first).
  static Bytes FormsOf(const Bytes &List) {
    const DecodedList Decoded = DecodePackageList(List);
    EXPECT_TRUE(Decoded.Ok);
    EXPECT_FALSE(Decoded.Packages.empty());
    return Decoded.Packages.empty() ? Bytes() : Decoded.Packages[0].second;
  }

  std::vector<OpCodeBuffer *> Buffers;
  Bytes Original;
};

TEST_F(UpdateFormSectionTest, FillsACardFormAndAMainFormRegion) {
  const IFR_QUESTION_FIELDS Question = {41, 41, 0x100, ADDONCARD_OOB_VARSTORE_ID, 0, 0x14};
  OpCodeBuffer *Options = Buffer([](OpCodeBuffer *B) {
    EmitOneOfOption(B, 41, EFI_IFR_OPTION_DEFAULT, 0);
    EmitOneOfOption(B, 41, 0, 1);
  });
  OpCodeBuffer *Card = Buffer([&](OpCodeBuffer *B) {
    EmitLabel(B, 0x2000);
    EmitText(B, 41, 41, 0);
    EmitNumeric(B, Question, {0x11, 0, 0x1FF, 1});
    EmitOneOf(B, {41, 41, 0x101, ADDONCARD_OOB_VARSTORE_ID, 1, 0x14}, Options);
    EmitString(B, {41, 41, 0x800, ADDONCARD_STRING_VARSTORE_ID, 0, 0x14}, 0, 255, 0);
  });
  OpCodeBuffer *Main = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x2000);
    EmitRef(B, {31, 31, 0x9011, 0, 0, EFI_IFR_FLAG_CALLBACK}, 0x9011);
  });
  OpCodeBuffer *CardEnd = LabelBuffer(0x2FFF);
  OpCodeBuffer *MainEnd = LabelBuffer(0x21FF);
  const std::size_t Held = sim::HeldBlocks();
  ASSERT_EQ(UpdateFormSection(0x9011, Card, CardEnd), EFI_SUCCESS);
  ASSERT_EQ(UpdateFormSection(ADDONCARD_MAIN_FORM_ID, Main, MainEnd), EFI_SUCCESS);

  const Bytes List = Export();
  const Bytes Static = StaticFormsPackage();
  const Bytes WithCard = InsertInto(Static, EndOf(Static, Label(0x2000), 1), After(Card));
  const Bytes Expected = InsertInto(WithCard, EndOf(WithCard, Label(0x2000)), After(Main));
  EXPECT_EQ(FormsOf(List), Expected);
  EXPECT_EQ(Get32(List.data() + 16), List.size());
  EXPECT_EQ(List.size(), Original.size() + After(Card).size() + After(Main).size());
  EXPECT_TRUE(DecodeFormsPackage(Expected.data(), Expected.size()).Ok);
  // The other packages come back as they were.
  const DecodedList Before = DecodePackageList(Original), Now = DecodePackageList(List);
  ASSERT_EQ(Before.Packages.size(), Now.Packages.size());
  for (size_t I = 1; I < Now.Packages.size(); ++I) EXPECT_EQ(Now.Packages[I], Before.Packages[I]);
  EXPECT_EQ(ReadHiiString(DriverHiiHandle, "en-US", 2), u"Talvorenix AddOnCard Form");
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

TEST_F(UpdateFormSectionTest, ASecondUpdateReplacesTheFirstAndALabelAloneEmptiesTheSection) {
  OpCodeBuffer *End = LabelBuffer(0x5FFF);
  OpCodeBuffer *First = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x5000);
    for (UINT16 Id = 1; Id <= 3; ++Id) EmitText(B, Id, 41, 0);
  });
  OpCodeBuffer *Second = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x5000);
    EmitText(B, 9, 41, 0);
  });
  ASSERT_EQ(UpdateFormSection(0x9014, First, End), EFI_SUCCESS);
  ASSERT_EQ(UpdateFormSection(0x9014, Second, End), EFI_SUCCESS);
  const Bytes Forms = FormsOf(Export());
  EXPECT_EQ(FormContents(DecodeFormsPackage(Forms.data(), Forms.size()), 0x9014),
            (std::vector<Bytes>{Label(0x5000), Text(9, 41), Label(0x5FFF)}));
  ASSERT_EQ(UpdateFormSection(0x9014, LabelBuffer(0x5000), End), EFI_SUCCESS);
  EXPECT_EQ(Export(), Original);
}

TEST_F(UpdateFormSectionTest, LeavesTheDatabaseAsItWasWhenNothingMatches) {
  OpCodeBuffer *Start = LabelAndText(0x2000);
  OpCodeBuffer *End = LabelBuffer(0x2FFF);
  OpCodeBuffer *Unknown = LabelBuffer(0x2ABC);
  const std::size_t Held = sim::HeldBlocks();
  EXPECT_EQ(UpdateFormSection(0x9099, Start, End), EFI_NOT_FOUND);
  EXPECT_EQ(UpdateFormSection(0x9012, Start, End), EFI_NOT_FOUND);
  EXPECT_EQ(UpdateFormSection(0x9011, Start, Unknown), EFI_NOT_FOUND);
  EXPECT_EQ(Export(), Original);
  EXPECT_EQ(sim::HeldBlocks(), Held);
}

TEST_F(UpdateFormSectionTest, RefusesFailedOrMissingBuffersWithoutAskingTheDatabase) {
  OpCodeBuffer *Start = Buffer([](OpCodeBuffer *B) { EmitLabel(B, 0x2000); });
  OpCodeBuffer *End = LabelBuffer(0x2FFF);
  OpCodeBuffer *Failed = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x2000);
    sim::FailNthAllocation(1);
    OpCodeBufferReserve(B, 4096);  // the page would miss its opcodes
  });
  OpCodeBuffer *Misused = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x2FFF);
    EmitOpCode(B, nullptr, 0x03, 0, 200, false);
  });
  ASSERT_EQ(OpCodeBufferStatus(Failed), EFI_OUT_OF_RESOURCES);
  const std::size_t Held = sim::HeldBlocks();
  sim::FailService("HiiDatabase.ExportPackageLists", EFI_DEVICE_ERROR, -1);
  EXPECT_EQ(UpdateFormSection(0x9011, Failed, End), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(UpdateFormSection(0x9011, Start, Misused), EFI_INVALID_PARAMETER);
  EXPECT_EQ(UpdateFormSection(0x9011, Start, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(UpdateFormSection(0x9011, nullptr, End), EFI_INVALID_PARAMETER);
  SetCurrentHiiHandle(nullptr);
  EXPECT_EQ(UpdateFormSection(0x9011, Start, End), EFI_INVALID_PARAMETER);
  SetCurrentHiiHandle(DriverHiiHandle);
  EXPECT_EQ(UpdateFormSection(0x9011, Start, End), EFI_DEVICE_ERROR);  // only this one reached the database
  sim::ClearFaults();
  EXPECT_EQ(sim::HeldBlocks(), Held);
  EXPECT_EQ(Export(), Original);
}

TEST_F(UpdateFormSectionTest, EveryAllocationFailingInTurnLeavesNoBlockAndNoChange) {
  OpCodeBuffer *Start = LabelAndText(0x3000);
  OpCodeBuffer *End = LabelBuffer(0x3FFF);
  const std::size_t Held = sim::HeldBlocks();
  size_t Failures = 0;
  for (std::size_t N = 1; N < 20; ++N) {
    SCOPED_TRACE(N);
    sim::FailNthAllocation(N);
    const EFI_STATUS Status = UpdateFormSection(0x9012, Start, End);
    sim::FailNthAllocation(0);
    EXPECT_EQ(sim::HeldBlocks(), Held);
    if (Status == EFI_SUCCESS) break;
    EXPECT_EQ(Status, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(Export(), Original);
    ++Failures;
  }
  EXPECT_EQ(Failures, 2u);  // the exported copy and the new list
  EXPECT_EQ(Export().size(), Original.size() + 8);
}

TEST_F(UpdateFormSectionTest, ReturnsWhatTheDatabaseAnswers) {
  OpCodeBuffer *Start = LabelAndText(0x3000);
  OpCodeBuffer *End = LabelBuffer(0x3FFF);
  const std::size_t Held = sim::HeldBlocks();
  sim::FailService("HiiDatabase.ExportPackageLists", EFI_DEVICE_ERROR);
  EXPECT_EQ(UpdateFormSection(0x9012, Start, End), EFI_DEVICE_ERROR);
  sim::FailService("HiiDatabase.UpdatePackageList", EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(UpdateFormSection(0x9012, Start, End), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(sim::HeldBlocks(), Held);
  EXPECT_EQ(Export(), Original);
}

// A card page and its goto change together or not at all.
TEST_F(UpdateFormSectionTest, SeveralSectionsChangeInOneUpdateOrNotAtAll) {
  OpCodeBuffer *Page = LabelAndText(0x4000);
  OpCodeBuffer *Goto = LabelAndText(0x2300);
  const FORM_SECTION_UPDATE Both[] = {{0x9013, Page, LabelBuffer(0x4FFF)},
                                      {ADDONCARD_MAIN_FORM_ID, Goto, LabelBuffer(0x23FF)}};
  const FORM_SECTION_UPDATE SecondMissing[] = {Both[0], {ADDONCARD_MAIN_FORM_ID, Goto, LabelBuffer(0x2ABC)}};
  const std::size_t Held = sim::HeldBlocks();
  EXPECT_EQ(UpdateFormSections(SecondMissing, 2), EFI_NOT_FOUND);
  EXPECT_EQ(UpdateFormSections(Both, 0), EFI_INVALID_PARAMETER);
  for (std::size_t N = 1; N <= 3; ++N) {  // the export and one new list per section
    sim::FailNthAllocation(N);
    EXPECT_EQ(UpdateFormSections(Both, 2), EFI_OUT_OF_RESOURCES);
    sim::FailNthAllocation(0);
  }
  EXPECT_EQ(Export(), Original);
  EXPECT_EQ(sim::HeldBlocks(), Held);
  ASSERT_EQ(UpdateFormSections(Both, 2), EFI_SUCCESS);
  EXPECT_EQ(sim::HeldBlocks(), Held);
  Bytes Forms = FormsOf(Original);
  Forms = InsertInto(Forms, EndOf(Forms, Label(0x4000)), After(Page));
  Forms = InsertInto(Forms, EndOf(Forms, Label(0x2300)), After(Goto));
  EXPECT_EQ(FormsOf(Export()), Forms);
}

// A list with two forms packages holding the form: both change, although the
// spliced list then outgrows the export by twice the new opcodes.
TEST_F(UpdateFormSectionTest, ChangesEveryFormsPackageOfTheList) {
  const Bytes Forms = StaticFormsPackage();
  const Bytes List = PackageList({Forms, Forms, EndPackage()});
  EFI_HII_HANDLE Twice = nullptr;
  ASSERT_EQ(
      HiiDatabase->NewPackageList(
          HiiDatabase, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(List.data()), nullptr, &Twice),
      EFI_SUCCESS);
  OpCodeBuffer *Start = Buffer([](OpCodeBuffer *B) {
    EmitLabel(B, 0x2000);
    for (UINT16 Id = 1; Id <= 40; ++Id) EmitText(B, Id, 41, 0);
  });
  SetCurrentHiiHandle(Twice);
  ASSERT_EQ(UpdateFormSection(0x9011, Start, LabelBuffer(0x2FFF)), EFI_SUCCESS);
  const Bytes Changed = InsertInto(Forms, EndOf(Forms, Label(0x2000), 1), After(Start));
  EXPECT_EQ(Export(Twice), PackageList({Changed, Changed, EndPackage()}));
  HiiDatabase->RemovePackageList(HiiDatabase, Twice);
}

}  // namespace
