// The bounded reader of package lists and IFR: what it yields from well-formed
// bytes, where and why it stops on malformed ones, scope skipping, and typed
// reads of opcode fields.
#include "support/ifr_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forms/static_packages.h"
#include "tests/ifr_test_bytes.h"

namespace {

using namespace ifrtest;

ByteView View(const Bytes &B) { return ByteView(B.data(), B.size()); }

// "code@position" of each opcode a plain walk yields, and how it ended.
struct Walk {
  std::vector<std::string> Ops;
  IfrReadStatus Status;
  UINTN Position;
  UINTN Depth;
};
Walk WalkAll(IfrCursor Cursor) {
  Walk Result;
  for (IfrOpCode Op; Cursor.Next(&Op);) {
    char Text[32];
    std::snprintf(Text, sizeof(Text), "%02X@%zu", Op.Code(), static_cast<size_t>(Op.Position()));
    Result.Ops.push_back(Text);
  }
  Result.Status = Cursor.Status();
  Result.Position = Cursor.Position();
  Result.Depth = Cursor.Depth();
  return Result;
}

// ---- Package lists ------------------------------------------------------------------

TEST(PackageListReaderTest, YieldsEveryPackageWithTypeLengthAndOffset) {
  const Bytes Forms = FormsPackage(Cat({FormSet(ADDONCARD_FORMSET_GUID), End()}));
  const Bytes Strings = RawPackage(0x04, {1, 2, 3});
  const Bytes List = PackageList({Forms, Strings, EndPackage()});
  PackageListReader Reader(View(List));
  std::vector<std::tuple<UINT8, UINTN, UINTN>> Seen;
  for (HiiPackage Package; Reader.Next(&Package);) {
    Seen.push_back({Package.Type(), Package.Length(), Package.Offset()});
    EXPECT_EQ(Package.Body().Size(), Package.Length() - 4);
  }
  EXPECT_EQ(Reader.Status(), IfrReadStatus::Ok);
  EXPECT_EQ(Reader.Limit(), List.size());
  const std::vector<std::tuple<UINT8, UINTN, UINTN>> Expected = {
      {0x02, Forms.size(), 20}, {0x04, 7, 20 + Forms.size()}, {0xDF, 4, 20 + Forms.size() + 7}};
  EXPECT_EQ(Seen, Expected);
  EXPECT_EQ(Reader.Header().Size(), 20u);
}

TEST(PackageListReaderTest, StopsForGoodAtTheFirstLengthOutOfBounds) {
  const Bytes A = RawPackage(0x04, {1, 2, 3, 4});  // 8 bytes
  const Bytes Zero = {0, 0, 0, 0x04};
  const Bytes Three = {3, 0, 0, 0x04};
  const Bytes Long = {0x40, 0, 0, 0x04, 9, 9};  // claims 64 bytes
  struct Row {
    const char *Name;
    Bytes List;
    size_t Yielded;
    IfrReadStatus Status;
  };
  const std::vector<Row> Rows = {
      {"list shorter than its header", Bytes(19, 0), 0, IfrReadStatus::ShortHeader},
      {"list length below its header", PackageList({A}, 19), 0, IfrReadStatus::ShortLength},
      {"zero-length package", PackageList({A, Zero, A}), 1, IfrReadStatus::ShortLength},
      {"package shorter than its header", PackageList({A, Three}), 1, IfrReadStatus::ShortLength},
      {"package past the list", PackageList({A, Long}), 1, IfrReadStatus::PastEnd},
      {"package past the stated list length", PackageList({A, A}, 20 + 8 + 4), 1, IfrReadStatus::PastEnd},
      {"stated length past the real size", PackageList({A, A}, 4096), 2, IfrReadStatus::Ok},
      {"stated length shorter: the rest is not read", PackageList({A, A, Zero}, 20 + 16), 2,
       IfrReadStatus::Ok},
      {"two stray bytes after the last package", Cat({PackageList({A}, 30), {0, 0}}), 1,
       IfrReadStatus::ShortHeader},
      {"only a header", PackageList({}), 0, IfrReadStatus::Ok},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    PackageListReader Reader(View(R.List));
    size_t Yielded = 0;
    for (HiiPackage Package; Reader.Next(&Package);) {
      ++Yielded;
      EXPECT_LE(Package.Offset() + Package.Length(), R.List.size());
    }
    EXPECT_EQ(Yielded, R.Yielded);
    EXPECT_EQ(Reader.Status(), R.Status);
    HiiPackage Again;
    EXPECT_FALSE(Reader.Next(&Again));  // sticky
  }
}

// ---- Opcodes ---------------------------------------------------------------------------

TEST(IfrCursorTest, YieldsOpcodesWithLengthScopeAndDepth) {
  const Bytes Package = FormsPackage(Cat({FormSet(ADDONCARD_FORMSET_GUID), Form(0x9011), SuppressIf(), True(),
                                          Text(5), End(), Label(0x2000), End(), End()}));
  IfrCursor Cursor(View(Package));
  std::vector<std::tuple<UINT8, UINT8, bool, UINTN>> Seen;  // code, length, scope, depth
  for (IfrOpCode Op; Cursor.Peek(&Op);) {
    Seen.push_back({Op.Code(), Op.Length(), Op.Scope(), Cursor.Depth()});
    EXPECT_EQ(Op.Position(), Cursor.Position());
    EXPECT_EQ(Op.Bytes().Data(), Package.data() + Op.Position());
    Cursor.Step();
  }
  const std::vector<std::tuple<UINT8, UINT8, bool, UINTN>> Expected = {
      {0x0E, 23, true, 0},  {0x01, 6, true, 1},  {0x0A, 2, true, 2},
      {0x46, 2, false, 3},  {0x03, 8, false, 3}, {0x29, 2, false, 3},
      {0x5F, 21, false, 2}, {0x29, 2, false, 2}, {0x29, 2, false, 1}};
  EXPECT_EQ(Seen, Expected);
  EXPECT_EQ(Cursor.Status(), IfrReadStatus::Ok);
  EXPECT_EQ(Cursor.Depth(), 0u);
  EXPECT_EQ(Cursor.Position(), Package.size());
}

TEST(IfrCursorTest, StopsAtAMalformedOpcodeAndStaysThere) {
  const Bytes Good = Text(1);  // 8 bytes
  struct Row {
    const char *Name;
    Bytes Package;
    std::vector<std::string> Ops;
    IfrReadStatus Status;
    UINTN StopsAt;
  };
  Bytes PastPackage = FormsPackage(Cat({Good, Op(0x03, {1, 2, 3, 4, 5, 6})}));
  PastPackage[4 + 8 + 1] = 0x7F;  // claims 127 bytes
  Bytes StatedShort = FormsPackage(Cat({Good, Good}));
  StatedShort[0] = 4 + 8 + 4;  // the second TEXT runs past the stated length
  Bytes StatedLong = FormsPackage(Cat({Good, Good}));
  StatedLong[1] = 1;  // stated 256 + 20: only the real bytes are read
  const std::vector<Row> Rows = {
      {"length 0", FormsPackage(Cat({Good, {0x03, 0x00}, Good})), {"03@4"}, IfrReadStatus::ShortLength, 12},
      {"length 1 with scope bit",
       FormsPackage(Cat({Good, {0x0A, 0x81}})),
       {"03@4"},
       IfrReadStatus::ShortLength,
       12},
      {"length past the package", PastPackage, {"03@4"}, IfrReadStatus::PastEnd, 12},
      {"one stray byte", FormsPackage(Cat({Good, {0x29}})), {"03@4"}, IfrReadStatus::ShortHeader, 12},
      {"opcode past the stated package length", StatedShort, {"03@4"}, IfrReadStatus::PastEnd, 12},
      {"stated length past the bytes given", StatedLong, {"03@4", "03@12"}, IfrReadStatus::Ok, 20},
      {"missing END",
       FormsPackage(Cat({Form(1), SuppressIf(), Good, End()})),
       {"01@4", "0A@10", "03@12", "29@20"},
       IfrReadStatus::MissingEnd,
       22},
      {"END without scope", FormsPackage(Cat({End(), Good})), {"29@4", "03@6"}, IfrReadStatus::Ok, 14},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    IfrCursor Cursor(View(R.Package));
    const Walk W = WalkAll(Cursor);
    EXPECT_EQ(W.Ops, R.Ops);
    EXPECT_EQ(W.Status, R.Status);
    EXPECT_EQ(W.Position, R.StopsAt);
  }
  // Sticky: a stopped cursor neither reads nor moves.
  IfrCursor Stopped(View(Rows[0].Package));
  Stopped.Step();
  IfrOpCode Op;
  EXPECT_FALSE(Stopped.Peek(&Op));
  Stopped.Step();
  EXPECT_FALSE(Stopped.SkipScope());
  EXPECT_EQ(Stopped.Position(), 12u);
  EXPECT_EQ(Stopped.Status(), IfrReadStatus::ShortLength);
}

TEST(IfrCursorTest, PackagesTooShortForTheirHeaderYieldNothing) {
  for (const Bytes &Package : {Bytes{}, Bytes{8, 0, 0}, Bytes{0, 0, 0, 2}, Bytes{3, 0, 0, 2, 0x29, 0x02}}) {
    IfrCursor Cursor(View(Package));
    IfrOpCode Op;
    EXPECT_FALSE(Cursor.Peek(&Op));
    EXPECT_NE(Cursor.Status(), IfrReadStatus::Ok);
  }
  IfrCursor Empty(View(FormsPackage({})));
  IfrOpCode Op;
  EXPECT_FALSE(Empty.Peek(&Op));
  EXPECT_EQ(Empty.Status(), IfrReadStatus::Ok);
}

TEST(IfrCursorTest, SkipScopeConsumesAnOpcodeWithItsWholeScope) {
  // form { suppress { text, form-map { text } }, label }, text
  const Bytes Package = FormsPackage(Cat(
      {Form(0x9011), SuppressIf(), Text(1), FormMap(3), Text(2), End(), End(), Label(7), End(), Text(9)}));
  IfrCursor Cursor(View(Package));
  IfrOpCode Op;
  Cursor.Step();  // into the form
  ASSERT_TRUE(Cursor.Peek(&Op));
  ASSERT_EQ(Op.Code(), 0x0A);
  EXPECT_TRUE(Cursor.SkipScope());
  ASSERT_TRUE(Cursor.Peek(&Op));
  EXPECT_EQ(Op.Code(), 0x5F);
  EXPECT_EQ(Cursor.Depth(), 1u);
  EXPECT_TRUE(Cursor.SkipScope());  // no scope: the label alone
  ASSERT_TRUE(Cursor.Peek(&Op));
  EXPECT_EQ(Op.Code(), 0x29);
  Cursor.Step();
  EXPECT_EQ(Cursor.Depth(), 0u);
  // From the start, the form goes with everything in it.
  IfrCursor Again(View(Package));
  EXPECT_TRUE(Again.SkipScope());
  ASSERT_TRUE(Again.Next(&Op));
  EXPECT_EQ(Op.Code(), 0x03);
  EXPECT_FALSE(Again.Peek(&Op));
  EXPECT_EQ(Again.Status(), IfrReadStatus::Ok);
}

TEST(IfrCursorTest, SkipScopeStopsCleanlyWithoutItsEnd) {
  struct Row {
    const char *Name;
    Bytes Package;
    IfrReadStatus Status;
    UINTN StopsAt;
  };
  const std::vector<Row> Rows = {
      {"package ends inside the scope", FormsPackage(Cat({SuppressIf(), Form(1), Text(1), End()})),
       IfrReadStatus::MissingEnd, 4 + 2 + 6 + 8 + 2},
      {"zero length inside the scope", FormsPackage(Cat({SuppressIf(), Text(1), {0x29, 0x00}, End()})),
       IfrReadStatus::ShortLength, 4 + 2 + 8},
      {"opcode past the package inside the scope",
       FormsPackage(Cat({SuppressIf(), Text(1), {0x03, 0x20, 0}})), IfrReadStatus::PastEnd, 4 + 2 + 8},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    IfrCursor Cursor(View(R.Package));
    EXPECT_FALSE(Cursor.SkipScope());
    EXPECT_EQ(Cursor.Status(), R.Status);
    EXPECT_EQ(Cursor.Position(), R.StopsAt);
    EXPECT_LE(Cursor.Position(), R.Package.size());
  }
}

TEST(IfrCursorTest, CountsNestingFarDeeperThanAnyWalkKeeps) {
  constexpr int DEPTH = 3000;
  Bytes Body;
  for (int I = 0; I < DEPTH; ++I) Body = Cat({Body, SuppressIf(), True()});
  Body = Cat({Body, Text(1)});
  for (int I = 0; I < DEPTH; ++I) Body = Cat({Body, End()});
  const Bytes Package = FormsPackage(Cat({Body, Text(2)}));
  IfrCursor Cursor(View(Package));
  UINTN Deepest = 0;
  for (IfrOpCode Op; Cursor.Next(&Op);)
    if (Cursor.Depth() > Deepest) Deepest = Cursor.Depth();
  EXPECT_EQ(Deepest, static_cast<UINTN>(DEPTH));
  EXPECT_EQ(Cursor.Status(), IfrReadStatus::Ok);

  IfrCursor Skipping(View(Package));
  EXPECT_TRUE(Skipping.SkipScope());
  IfrOpCode Op;
  ASSERT_TRUE(Skipping.Peek(&Op));
  EXPECT_EQ(Op.Bytes().SameBytes(View(Text(2))), true);
}

// A condition walk stops at the first opcode it does not handle and leaves the
// cursor on it for the walk that called it.
TEST(IfrCursorTest, PeekLeavesTheCursorOnTheFirstOpcodeACallerDoesNotHandle) {
  const Bytes Package =
      FormsPackage(Cat({SuppressIf(), True(), Op(0x17), Op(0x47), Op(0x16), Text(4), End(), Text(5)}));
  IfrCursor Cursor(View(Package));
  Cursor.Step();  // past the suppress-if
  int Operators = 0;
  for (IfrOpCode Op; Cursor.Peek(&Op) && Op.Kind() == IfrKind::Expression; Cursor.Step()) ++Operators;
  EXPECT_EQ(Operators, 4);
  IfrOpCode Statement;
  ASSERT_TRUE(Cursor.Peek(&Statement));
  EXPECT_EQ(Statement.Code(), 0x03);
  EXPECT_EQ(Cursor.Depth(), 1u);
  const IfrCursor Saved = Cursor;  // a copy keeps its place
  Cursor.Step();
  Cursor.Step();
  IfrCursor Back = Saved;
  ASSERT_TRUE(Back.Peek(&Statement));
  EXPECT_EQ(Statement.Position(), 4u + 2 + 8);
}

// ---- Typed fields ------------------------------------------------------------------------

// A GUID out of a packed structure (its field may sit at any address).
EFI_GUID GuidOf(const void *Field) {
  EFI_GUID Guid;
  std::memcpy(&Guid, Field, sizeof(Guid));
  return Guid;
}

// The first opcode of OpCodes, a view that lives as long as OpCodes.
IfrOpCode FirstOp(const Bytes &OpCodes) {
  IfrCursor Cursor = IfrCursor::OverOpCodes(View(OpCodes));
  IfrOpCode Op;
  EXPECT_TRUE(Cursor.Peek(&Op));
  return Op;
}

TEST(IfrOpCodeTest, LoadsFixedFieldsOnlyWhenTheOpcodeHoldsThem) {
  const Bytes LabelBytes = Label(0x2FFF);
  EFI_IFR_GUID_LABEL Loaded{};
  ASSERT_TRUE(FirstOp(LabelBytes).Load(&Loaded));
  EXPECT_EQ(+Loaded.Number, 0x2FFF);
  EXPECT_EQ(+Loaded.ExtendOpCode, 0);
  EXPECT_TRUE(GuidEquals(GuidOf(&Loaded.Guid), IFR_EXTENSION_GUID));

  // A bare GUID opcode is not a label: its extension fields are not there.
  Bytes Bare(LabelBytes.begin(), LabelBytes.begin() + 18);
  Bare[1] = 18;
  EFI_IFR_GUID_LABEL Untouched;
  std::memset(&Untouched, 0xAB, sizeof(Untouched));
  EXPECT_FALSE(FirstOp(Bare).Load(&Untouched));
  EXPECT_EQ(+Untouched.Number, 0xABAB);
  EFI_IFR_GUID Guid{};
  EXPECT_TRUE(FirstOp(Bare).Load(&Guid));

  // A one-byte numeric holds 17 bytes; the same 17 bytes claiming two-byte
  // bounds are too short for them.
  Bytes Numeric = Op(0x07, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 0x14, 0x00, 1, 9, 1});
  EFI_IFR_NUMERIC Loaded1{};
  ASSERT_TRUE(FirstOp(Numeric).Load(&Loaded1));
  EXPECT_EQ(+Loaded1.data.u8.MaxValue, 9);
  EXPECT_EQ(+Loaded1.data.u64.MinValue, 0x010901u);  // nothing past the opcode: the rest is zero
  Numeric[2 + 11] = 0x01;
  EXPECT_FALSE(FirstOp(Numeric).Load(&Loaded1));

  // Variable parts: a store's name is the tail; a form set may have no class GUID.
  Bytes Store;
  PutGuid(Store, ADDONCARD_FORMSET_GUID);
  Put16(Store, 0x10);
  Put16(Store, 41);
  Store.insert(Store.end(), {'A', 'b', 0});
  const Bytes StoreBytes = Op(0x24, Store);
  const IfrOpCode StoreOp = FirstOp(StoreBytes);
  EFI_IFR_VARSTORE VarStore{};
  ASSERT_TRUE(StoreOp.Load(&VarStore));
  EXPECT_EQ(+VarStore.VarStoreId, 0x10);
  EXPECT_EQ(+VarStore.Size, 41);
  EXPECT_TRUE(
      StoreOp.Tail(__builtin_offsetof(EFI_IFR_VARSTORE, Name)).SameBytes(ByteView(Store.data() + 20, 3)));
  EXPECT_TRUE(StoreOp.Tail(200).Empty());
  EFI_IFR_FORM_SET Set{};
  ASSERT_TRUE(FirstOp(FormSet(ADDONCARD_FORMSET_GUID)).Load(&Set));
  EXPECT_TRUE(GuidEquals(GuidOf(&Set.Guid), ADDONCARD_FORMSET_GUID));
  EXPECT_EQ(GuidOf(&Set.ClassGuid[0]).Data1, 0u);

  // An option's value is as wide as its type says.
  EFI_IFR_ONE_OF_OPTION Option{};
  EXPECT_TRUE(FirstOp(Op(0x09, {7, 0, 0x10, 0x01, 0x34, 0x12})).Load(&Option));
  EXPECT_EQ(+Option.Value.u16, 0x1234);
  EXPECT_FALSE(FirstOp(Op(0x09, {7, 0, 0x10, 0x01, 0x34})).Load(&Option));
}

TEST(IfrOpCodeTest, ReadsQuestionFieldsAndBoundsAtTheirWidth) {
  for (UINT8 Size = 0; Size < 4; ++Size) {
    SCOPED_TRACE(Size);
    const UINTN Width = 1u << Size;
    Bytes Payload = {0x11, 0, 0x22, 0, 0x34, 0x12, 0x05, 0, 0x07, 0, 0x15, static_cast<UINT8>(0x10 | Size)};
    for (UINT64 Value : {0x0102030405060708ull, 0x1112131415161718ull, 0x2122232425262728ull})
      for (UINTN Byte = 0; Byte < Width; ++Byte) Payload.push_back(static_cast<UINT8>(Value >> (8 * Byte)));
    const Bytes NumericBytes = Op(0x07, Payload);
    const IfrOpCode Numeric = FirstOp(NumericBytes);
    IFR_QUESTION_FIELDS Fields{};
    ASSERT_TRUE(ReadQuestionFields(Numeric, &Fields));
    EXPECT_EQ(Fields.Prompt, 0x11);
    EXPECT_EQ(Fields.Help, 0x22);
    EXPECT_EQ(Fields.QuestionId, 0x1234);
    EXPECT_EQ(Fields.VarStoreId, 5);
    EXPECT_EQ(Fields.VarOffset, 7);
    EXPECT_EQ(Fields.Flags, 0x15);
    IFR_NUMERIC_RANGE Range{};
    ASSERT_TRUE(ReadNumericRange(Numeric, &Range));
    const UINT64 Mask = Width == 8 ? ~0ull : (1ull << (8 * Width)) - 1;
    EXPECT_EQ(Range.Minimum, 0x0102030405060708ull & Mask);
    EXPECT_EQ(Range.Maximum, 0x1112131415161718ull & Mask);
    EXPECT_EQ(Range.Step, 0x2122232425262728ull & Mask);
    Payload.pop_back();
    EXPECT_FALSE(ReadNumericRange(FirstOp(Op(0x07, Payload)), &Range));
  }
  IFR_QUESTION_FIELDS Fields{};
  EXPECT_FALSE(ReadQuestionFields(FirstOp(Text(1, 2, 3)), &Fields));  // a statement has no question header
  EXPECT_FALSE(ReadQuestionFields(FirstOp(Op(0x06, {1, 0, 2, 0, 3, 0})), &Fields));
}

// Bytes that are no opcode read as an Unknown of header length, so a walk can
// step over them; an opcode shorter than its kind's fixed fields is flagged.
TEST(IfrOpCodeTest, UnknownOrShortOpcodesAreToldApart) {
  for (UINT8 Code : {0x00, 0x65, 0xFF}) {
    EXPECT_EQ(IfrOpCodeFacts(Code).Kind, IfrKind::Unknown);
    EXPECT_TRUE(FirstOp(Op(Code)).HasFixedFields());
  }
  EXPECT_FALSE(FirstOp(Op(0x12, {1, 0})).HasFixedFields());
  EXPECT_TRUE(FirstOp(Op(0x12, {1, 0, 2, 0})).HasFixedFields());
  EXPECT_FALSE(FirstOp(Op(0x26, Bytes(23))).HasFixedFields());
}

// The reader walks the static form package as the driver registers it.
TEST(IfrCursorTest, WalksTheStaticFormPackageToItsEnd) {
  IfrCursor Cursor(ByteView(AddOnCardForms + 4, ADDONCARD_FORM_PACKAGE_SIZE));
  int Questions = 0, Labels = 0;
  for (IfrOpCode Op; Cursor.Next(&Op);) {
    Questions += Op.Kind() == IfrKind::Question;
    EFI_IFR_GUID_LABEL Label{};
    Labels +=
        Op.Code() == EFI_IFR_GUID_OP && Op.Load(&Label) && Label.ExtendOpCode == EFI_IFR_EXTEND_OP_LABEL;
  }
  EXPECT_EQ(Cursor.Status(), IfrReadStatus::Ok);
  EXPECT_EQ(Questions, 21);
  EXPECT_EQ(Labels, 40);
}

}  // namespace
