// Opcode buffers and the run-time opcode writers: growth, the sticky failed
// state when the pool runs dry, and the bytes of every opcode written.
#include "support/opcode_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "forms/form_ids.h"
#include "forms/static_packages.h"
#include "support/ifr_reader.h"
#include "tests/ifr_test_bytes.h"
#include "tests/sim_fixture.h"

namespace {

using namespace ifrtest;

Bytes Contents(const OpCodeBuffer *Buffer) {
  const ByteView View = OpCodeBufferBytes(Buffer);
  return Bytes(View.Data(), View.Data() + View.Size());
}

class OpCodeBufferTest : public SimTest {
 protected:
  void TearDown() override {
    OpCodeBufferFree(Buffer);
    OpCodeBufferFree(Other);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    SimTest::TearDown();
  }
  OpCodeBuffer *Buffer = nullptr;
  OpCodeBuffer *Other = nullptr;
};

// ---- Buffers ------------------------------------------------------------------------

TEST_F(OpCodeBufferTest, GrowsByTheRequestAndSlackKeepingWhatItHolds) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  EXPECT_EQ(Buffer->capacity, 512u);
  EXPECT_EQ(Buffer->used, 0u);
  EXPECT_EQ(sim::HeldBlocks(), 2u);

  UINT8 *First = OpCodeBufferReserve(Buffer, 512);
  ASSERT_EQ(First, Buffer->data);
  EXPECT_EQ(Buffer->capacity, 512u);
  for (int I = 0; I < 512; ++I) First[I] = static_cast<UINT8>(I * 7);

  UINT8 *More = OpCodeBufferReserve(Buffer, 1);
  ASSERT_NE(More, nullptr);
  EXPECT_EQ(Buffer->capacity, 512u + 1 + 512);
  EXPECT_EQ(Buffer->used, 513u);
  EXPECT_EQ(More, Buffer->data + 512);
  EXPECT_EQ(*More, 0);
  for (int I = 0; I < 512; ++I) ASSERT_EQ(Buffer->data[I], static_cast<UINT8>(I * 7));
  EXPECT_EQ(sim::HeldBlocks(), 2u);  // the old storage went back to the pool
  EXPECT_EQ(OpCodeBufferStatus(Buffer), EFI_SUCCESS);
}

TEST_F(OpCodeBufferTest, NewGivesNoneAndKeepsNothingWhenEitherBlockIsMissing) {
  for (std::size_t N : {1u, 2u}) {
    sim::FailNthAllocation(N);
    EXPECT_EQ(OpCodeBufferNew(), nullptr);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
}

TEST_F(OpCodeBufferTest, AFailedEnlargementIsStickyAndWritesNothing) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  ASSERT_NE(EmitLabel(Buffer, 0x2000), nullptr);
  const Bytes Before = Contents(Buffer);
  UINT8 *const Storage = Buffer->data;

  sim::FailNthAllocation(1);
  EXPECT_EQ(OpCodeBufferReserve(Buffer, 600), nullptr);
  EXPECT_EQ(OpCodeBufferStatus(Buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Buffer->data, Storage);
  EXPECT_EQ(Buffer->capacity, 512u);
  EXPECT_EQ(Contents(Buffer), Before);

  // Every writer is a no-op now, even those that would fit.
  const IFR_QUESTION_FIELDS Question = {1, 2, 0x100, 0x1000, 0, 0x14};
  EXPECT_EQ(OpCodeBufferReserve(Buffer, 1), nullptr);
  EXPECT_EQ(EmitEnd(Buffer), nullptr);
  EXPECT_EQ(EmitLabel(Buffer, 1), nullptr);
  EXPECT_EQ(EmitText(Buffer, 1, 2, 3), nullptr);
  EXPECT_EQ(EmitNumeric(Buffer, Question, {0, 0, 9, 1}), nullptr);
  EXPECT_EQ(EmitString(Buffer, Question, 0, 10, 0), nullptr);
  EXPECT_EQ(EmitRef(Buffer, Question, 0x9011), nullptr);
  EXPECT_EQ(EmitOneOfOption(Buffer, 1, 0, 2), nullptr);
  EXPECT_EQ(EmitOpCode(Buffer, nullptr, 0x29, 0, 2, false), nullptr);
  EXPECT_EQ(Contents(Buffer), Before);
  EXPECT_EQ(OpCodeBufferStatus(Buffer), EFI_OUT_OF_RESOURCES);

  // A failed source fails the buffer it is appended to, with its reason.
  Other = OpCodeBufferNew();
  ASSERT_NE(Other, nullptr);
  EXPECT_EQ(AppendOpCodes(Other, Buffer), nullptr);
  EXPECT_EQ(OpCodeBufferStatus(Other), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Other->used, 0u);
}

TEST_F(OpCodeBufferTest, AOneOfWhoseOptionsFailedIsNotWrittenAsWhole) {
  Buffer = OpCodeBufferNew();
  Other = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  ASSERT_NE(Other, nullptr);
  sim::FailNthAllocation(1);
  ASSERT_NE(OpCodeBufferReserve(Other, 510), nullptr);
  EXPECT_EQ(EmitOneOfOption(Other, 1, 0, 1), nullptr);  // needs to grow, cannot
  EXPECT_EQ(EmitOneOf(Buffer, {1, 2, 0x100, 0x1000, 0, 0x14}, Other), nullptr);
  EXPECT_EQ(OpCodeBufferStatus(Buffer), EFI_OUT_OF_RESOURCES);
}

TEST_F(OpCodeBufferTest, NullBuffersAndMissingSourcesAreRefused) {
  EXPECT_EQ(OpCodeBufferReserve(nullptr, 1), nullptr);
  EXPECT_EQ(EmitEnd(nullptr), nullptr);
  EXPECT_EQ(AppendOpCodes(nullptr, nullptr), nullptr);
  EXPECT_EQ(OpCodeBufferStatus(nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(OpCodeBufferBytes(nullptr).Empty());
  OpCodeBufferFree(nullptr);
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  EXPECT_EQ(AppendOpCodes(Buffer, nullptr), nullptr);
  EXPECT_EQ(OpCodeBufferStatus(Buffer), EFI_INVALID_PARAMETER);
}

TEST_F(OpCodeBufferTest, EmitOpCodeRefusesWhatNoOpcodeCanBe) {
  UINT8 Template[130] = {};
  struct Row {
    const char *Name;
    UINT8 *Template;
    UINTN Size, Extra;
  };
  for (const Row &R : std::vector<Row>{{"longer than 127", Template, 100, 28},
                                       {"size past 127", Template, 130, 0},
                                       {"half a header", Template, 1, 4},
                                       {"shorter than a header", nullptr, 0, 1},
                                       {"no template for its bytes", nullptr, 8, 0},
                                       {"extra past any length", Template, 2, ~static_cast<UINTN>(0)}}) {
    SCOPED_TRACE(R.Name);
    OpCodeBuffer *B = OpCodeBufferNew();
    ASSERT_NE(B, nullptr);
    EXPECT_EQ(EmitOpCode(B, R.Template, 0x03, R.Size, R.Extra, false), nullptr);
    EXPECT_EQ(OpCodeBufferStatus(B), EFI_INVALID_PARAMETER);
    EXPECT_EQ(B->used, 0u);
    OpCodeBufferFree(B);
  }
}

TEST_F(OpCodeBufferTest, EmitOpCodeWritesTheHeaderAndLeavesZeroedRoomForTheCaller) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  FillBytes(Buffer->data, Buffer->capacity, 0xEE);  // stale pool bytes
  UINT8 Template[6] = {0, 0, 0x41, 0x42, 0x43, 0x44};
  UINT8 *Op = EmitOpCode(Buffer, Template, 0x5F, 6, 3, true);
  ASSERT_EQ(Op, Buffer->data);
  EXPECT_EQ(Template[0], 0x5F);
  EXPECT_EQ(Template[1], 0x80 | 9);
  EXPECT_EQ(Contents(Buffer), (Bytes{0x5F, 0x89, 0x41, 0x42, 0x43, 0x44, 0, 0, 0}));
  UINT8 *Bare = EmitOpCode(Buffer, nullptr, 0x0A, 0, 4, false);
  ASSERT_EQ(Bare, Buffer->data + 9);
  EXPECT_EQ(Bytes(Bare, Bare + 4), (Bytes{0x0A, 0x04, 0, 0}));
}

// ---- The writers ---------------------------------------------------------------------

TEST_F(OpCodeBufferTest, WritersEncodeEachOpcodeAsItsLayoutSays) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  const IFR_QUESTION_FIELDS Question = {0x0102, 0x0304, 0x0800, 0x1001, 0x0200, 0x15};
  struct Row {
    const char *Name;
    UINT8 *(*Write)(OpCodeBuffer *, const IFR_QUESTION_FIELDS &);
    Bytes Expected;
  };
  const std::vector<Row> Rows = {
      {"end", [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &) { return EmitEnd(B); }, {0x29, 0x02}},
      {"option: default flags only, one-byte value",
       [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &) { return EmitOneOfOption(B, 0x55, 0xFF, 0x81); },
       {0x09, 0x07, 0x55, 0x00, 0x30, 0x00, 0x81}},
      {"label", [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &) { return EmitLabel(B, 0x2FFF); },
       Label(0x2FFF)},
      {"text", [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &) { return EmitText(B, 0x2A, 0x29, 0x33); },
       Text(0x2A, 0x29, 0x33)},
      {"string",
       [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &Q) { return EmitString(B, Q, 1, 255, 0x01); },
       {0x1C, 0x10, 0x02, 0x01, 0x04, 0x03, 0x00, 0x08, 0x01, 0x10, 0x00, 0x02, 0x15, 0x01, 0xFF, 0x01}},
      {"goto",
       [](OpCodeBuffer *B, const IFR_QUESTION_FIELDS &Q) { return EmitRef(B, Q, 0x9012); },
       {0x0F, 0x0F, 0x02, 0x01, 0x04, 0x03, 0x00, 0x08, 0x01, 0x10, 0x00, 0x02, 0x15, 0x12, 0x90}},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    const UINTN At = Buffer->used;
    UINT8 *Op = R.Write(Buffer, Question);
    ASSERT_EQ(Op, Buffer->data + At);
    EXPECT_EQ(Bytes(Op, Buffer->data + Buffer->used), R.Expected);
  }
}

TEST_F(OpCodeBufferTest, NumericLengthFollowsItsSizeBitsAndBoundsAreCutToThem) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  const IFR_QUESTION_FIELDS Question = {5, 6, 0x103, 0x1000, 3, 0x14};
  const UINTN Lengths[] = {17, 20, 26, 38};
  for (UINT8 Size = 0; Size < 4; ++Size) {
    SCOPED_TRACE(Size);
    UINT8 *Op = EmitNumeric(Buffer, Question, {static_cast<UINT8>(0x10 | Size), 0x12345, ~0ull, 0x0101});
    ASSERT_NE(Op, nullptr);
    EXPECT_EQ(Op[0], 0x07);
    EXPECT_EQ(Op[1], Lengths[Size]);  // no scope
    IfrCursor Cursor = IfrCursor::OverOpCodes(ByteView(Op, Lengths[Size]));
    IfrOpCode Read;
    ASSERT_TRUE(Cursor.Peek(&Read));
    IFR_NUMERIC_RANGE Range{};
    ASSERT_TRUE(ReadNumericRange(Read, &Range));
    const UINT64 Mask = Size == 3 ? ~0ull : (1ull << (8u << Size)) - 1;
    EXPECT_EQ(Range.Minimum, 0x12345 & Mask);
    EXPECT_EQ(Range.Maximum, Mask);
    EXPECT_EQ(Range.Step, 0x0101 & Mask);
  }
  // Two-byte bounds: 0x12345 is stored as 45 23.
  EXPECT_EQ(Buffer->data[17 + 14], 0x45);
  EXPECT_EQ(Buffer->data[17 + 15], 0x23);
}

TEST_F(OpCodeBufferTest, OneOfWrapsItsOptionsInItsScopeAndPointsIntoTheMovedStorage) {
  Buffer = OpCodeBufferNew();
  Other = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  ASSERT_NE(Other, nullptr);
  const IFR_QUESTION_FIELDS Question = {5, 41, 0x100, 0x1000, 0, 0x15};
  UINT8 *Empty = EmitOneOf(Buffer, Question, Other);
  ASSERT_EQ(Empty, Buffer->data);
  EXPECT_EQ(Contents(Buffer),
            Cat({Op(0x05, {5, 0, 41, 0, 0x00, 0x01, 0x00, 0x10, 0, 0, 0x15, 0, 0, 0, 0}, true), End()}));

  for (UINT8 Value = 0; Value < 100; ++Value) ASSERT_NE(EmitOneOfOption(Other, 7, 0, Value), nullptr);
  const Bytes Options = Contents(Other);
  const UINTN At = Buffer->used;
  UINT8 *Filled = EmitOneOf(Buffer, Question, Other);  // 717 more bytes: the storage moves
  ASSERT_NE(Filled, nullptr);
  EXPECT_EQ(Filled, Buffer->data + At);
  EXPECT_EQ(Buffer->used, At + 17 + 700 + 2);
  EXPECT_EQ(Filled[1], 0x91);
  EXPECT_EQ(Bytes(Filled + 17, Filled + 717), Options);
  EXPECT_EQ(Bytes(Filled + 717, Filled + 719), End());
  EXPECT_EQ(Contents(Other), Options);  // the options stay the caller's, unchanged
}

TEST_F(OpCodeBufferTest, AppendingABufferToItselfDoublesIt) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  for (int I = 0; I < 20; ++I) ASSERT_NE(EmitLabel(Buffer, static_cast<UINT16>(I)), nullptr);
  const Bytes Once = Contents(Buffer);
  ASSERT_NE(AppendOpCodes(Buffer, Buffer), nullptr);  // 420 + 420 bytes: grows while copying from itself
  EXPECT_EQ(Contents(Buffer), Cat({Once, Once}));
}

// The run-time writers and the static form set share one encoding.
TEST_F(OpCodeBufferTest, WritesTheLabelsOfTheStaticFormSetByteForByte) {
  Buffer = OpCodeBufferNew();
  ASSERT_NE(Buffer, nullptr);
  ASSERT_NE(EmitLabel(Buffer, CardPageLabelStart(0)), nullptr);
  ASSERT_NE(EmitLabel(Buffer, CardPageLabelEnd(0)), nullptr);
  const Bytes Written = Contents(Buffer);
  const Bytes Forms(AddOnCardForms, AddOnCardForms + sizeof(AddOnCardForms));
  EXPECT_NE(std::search(Forms.begin(), Forms.end(), Written.begin(), Written.end()), Forms.end());
}

}  // namespace
