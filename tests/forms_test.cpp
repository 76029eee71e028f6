// The static package arrays, decoded back by small independent readers: string
// blocks by id and language, and the IFR opcode tree of the form package.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "forms/form_ids.h"
#include "forms/identities.h"
#include "forms/static_packages.h"
#include "uefi/guids.h"
#include "uefi/ifr.h"

namespace {

UINT64 ReadLe(const UINT8 *Bytes, size_t Width) {
  UINT64 Value = 0;
  for (size_t Index = 0; Index < Width; ++Index) Value |= static_cast<UINT64>(Bytes[Index]) << (8 * Index);
  return Value;
}
UINT16 Read16(const UINT8 *Bytes) { return static_cast<UINT16>(ReadLe(Bytes, 2)); }
UINT32 Read32(const UINT8 *Bytes) { return static_cast<UINT32>(ReadLe(Bytes, 4)); }

bool GuidAt(const UINT8 *Bytes, const EFI_GUID &Guid) {
  EFI_GUID Found;
  std::memcpy(&Found, Bytes, sizeof(Found));
  return GuidEquals(Found, Guid);
}

struct Package {
  UINT8 Type;
  const UINT8 *Bytes;
  size_t Length;
};

// The packages after the UINT32 array length; they must tile the array exactly.
std::vector<Package> SplitArray(const UINT8 *Array, size_t Size) {
  std::vector<Package> Packages;
  EXPECT_EQ(Read32(Array), Size);
  size_t Offset = 4;
  while (Offset + 4 <= Size) {
    const UINT32 Header = Read32(Array + Offset);
    const size_t Length = Header & 0xFFFFFF;
    if (Length < 4 || Offset + Length > Size) break;
    Packages.push_back({static_cast<UINT8>(Header >> 24), Array + Offset, Length});
    Offset += Length;
  }
  EXPECT_EQ(Offset, Size) << "packages do not tile the array";
  return Packages;
}

// ---- String packages ----------------------------------------------------------

struct StringPackage {
  std::string Language;
  UINT32 HeaderSize = 0, InfoOffset = 0;
  UINT16 LanguageName = 0;
  bool WindowIsZero = true;
  std::map<UINT16, std::u16string> Texts;
  std::string Blocks;  // "S" per string, "K<n>" per SKIP2, "E" for the end
  UINT16 NextId = 1;
  size_t EndOffset = 0;  // just after the end block
};

StringPackage DecodeStringPackage(const Package &Pkg) {
  StringPackage Result;
  const UINT8 *Bytes = Pkg.Bytes;
  Result.HeaderSize = Read32(Bytes + 4);
  Result.InfoOffset = Read32(Bytes + 8);
  for (size_t Index = 12; Index < 44; ++Index) Result.WindowIsZero &= Bytes[Index] == 0;
  Result.LanguageName = Read16(Bytes + 44);
  for (size_t Index = 46; Index < Result.HeaderSize && Bytes[Index] != 0; ++Index)
    Result.Language += static_cast<char>(Bytes[Index]);
  size_t Offset = Result.InfoOffset;
  while (Offset < Pkg.Length) {
    const UINT8 Type = Bytes[Offset++];
    if (Type == EFI_HII_SIBT_END) {
      Result.Blocks += "E";
      break;
    }
    if (Type == EFI_HII_SIBT_SKIP2 && Offset + 2 <= Pkg.Length) {
      const UINT16 Count = Read16(Bytes + Offset);
      Offset += 2;
      Result.Blocks += "K" + std::to_string(Count);
      Result.NextId = static_cast<UINT16>(Result.NextId + Count);
      continue;
    }
    if (Type != EFI_HII_SIBT_STRING_UCS2) {
      ADD_FAILURE() << "unexpected string block " << int(Type);
      return Result;
    }
    std::u16string Text;
    while (Offset + 2 <= Pkg.Length && Read16(Bytes + Offset) != 0) {
      Text += static_cast<char16_t>(Read16(Bytes + Offset));
      Offset += 2;
    }
    Offset += 2;
    Result.Blocks += "S";
    Result.Texts[Result.NextId++] = Text;
  }
  Result.EndOffset = Offset;
  return Result;
}

std::vector<StringPackage> DecodeStringsArray() {
  std::vector<StringPackage> Result;
  for (const Package &Pkg : SplitArray(AddOnCardStrings, sizeof(AddOnCardStrings))) {
    EXPECT_EQ(Pkg.Type, EFI_HII_PACKAGE_STRINGS);
    Result.push_back(DecodeStringPackage(Pkg));
  }
  return Result;
}

std::u16string Keyword(const char *Prefix, unsigned Number) {
  char Text[16];
  std::snprintf(Text, sizeof(Text), "%s%02X", Prefix, Number);
  return std::u16string(Text, Text + std::strlen(Text));
}

// ---- IFR ------------------------------------------------------------------------

struct Op {
  const UINT8 *Bytes;
  UINT8 Code, Length;
  bool Scope;
  int Depth;        // nesting level the opcode stands at
  size_t ScopeEnd;  // index of the END closing its scope (openers only)
  size_t Parent;    // index of the innermost open scope, or npos
  UINT16 U16(size_t Offset) const { return Read16(Bytes + Offset); }
};
constexpr size_t NONE = static_cast<size_t>(-1);

std::vector<Op> DecodeForms(const Package &Pkg) {
  std::vector<Op> Ops;
  std::vector<size_t> Open;
  size_t Offset = 4;
  while (Offset + 2 <= Pkg.Length) {
    const UINT8 *Bytes = Pkg.Bytes + Offset;
    const UINT8 Length = Bytes[1] & 0x7F;
    if (Length < 2 || Offset + Length > Pkg.Length) {
      ADD_FAILURE() << "bad opcode length at " << Offset;
      break;
    }
    Op Current{Bytes,
               Bytes[0],
               Length,
               (Bytes[1] & 0x80) != 0,
               static_cast<int>(Open.size()),
               NONE,
               Open.empty() ? NONE : Open.back()};
    if (Current.Code == EFI_IFR_END_OP) {
      if (Open.empty()) {
        ADD_FAILURE() << "END without scope at " << Offset;
        break;
      }
      Ops[Open.back()].ScopeEnd = Ops.size();
      Open.pop_back();
      Current.Depth = static_cast<int>(Open.size());
      Current.Parent = Open.empty() ? NONE : Open.back();
    }
    Ops.push_back(Current);
    if (Current.Scope) Open.push_back(Ops.size() - 1);
    Offset += Length;
  }
  EXPECT_EQ(Offset, Pkg.Length) << "opcodes do not fill the package";
  EXPECT_TRUE(Open.empty()) << "unclosed scopes";
  return Ops;
}

std::vector<Op> DecodeFormsArray() {
  const std::vector<Package> Packages = SplitArray(AddOnCardForms, sizeof(AddOnCardForms));
  EXPECT_EQ(Packages.size(), 1u);
  EXPECT_EQ(Packages.at(0).Type, EFI_HII_PACKAGE_FORMS);
  return DecodeForms(Packages.at(0));
}

// Indexes of the opcodes directly inside the scope opened at Opener, without
// the ENDs that close nested scopes.
std::vector<size_t> Children(const std::vector<Op> &Ops, size_t Opener) {
  std::vector<size_t> Result;
  for (size_t Index = Opener + 1; Index < Ops[Opener].ScopeEnd; ++Index)
    if (Ops[Index].Parent == Opener && Ops[Index].Code != EFI_IFR_END_OP) Result.push_back(Index);
  return Result;
}

size_t FindForm(const std::vector<Op> &Ops, UINT16 FormId) {
  for (size_t Index = 0; Index < Ops.size(); ++Index)
    if (Ops[Index].Code == EFI_IFR_FORM_OP && Ops[Index].U16(2) == FormId) return Index;
  return NONE;
}

bool IsLabel(const Op &Operation, UINT16 Number) {
  return Operation.Code == EFI_IFR_GUID_OP && Operation.Length == 21 && !Operation.Scope &&
         GuidAt(Operation.Bytes + 2, IFR_EXTENSION_GUID) && Operation.Bytes[18] == EFI_IFR_EXTEND_OP_LABEL &&
         Operation.U16(19) == Number;
}

// ---- Tests: arrays and strings ------------------------------------------------------

TEST(StaticPackages, ArraysAreALengthFollowedByWholePackages) {
  const std::vector<Package> Strings = SplitArray(AddOnCardStrings, sizeof(AddOnCardStrings));
  const std::vector<Package> Forms = SplitArray(AddOnCardForms, sizeof(AddOnCardForms));
  ASSERT_EQ(sizeof(AddOnCardStrings), 0x78Cu);
  ASSERT_EQ(sizeof(AddOnCardForms), 0x83Du);
  ASSERT_EQ(Strings.size(), 2u);
  ASSERT_EQ(Forms.size(), 1u);
  const struct {
    const Package &Pkg;
    UINT8 Type;
    size_t Length;
  } Expected[] = {{Strings[0], 4, 0x590}, {Strings[1], 4, 0x1F8}, {Forms[0], 2, 0x839}};
  for (const auto &Row : Expected) {
    EXPECT_EQ(Row.Pkg.Type, Row.Type);
    EXPECT_EQ(Row.Pkg.Length, Row.Length);
  }
}

TEST(StaticStrings, PackageHeadersAndBlockSequence) {
  const std::vector<StringPackage> Packages = DecodeStringsArray();
  ASSERT_EQ(Packages.size(), 2u);
  std::string EnglishBlocks(41, 'S');
  const struct {
    const char *Language;
    UINT32 HeaderSize;
    std::string Blocks;
    size_t Length;
  } Expected[] = {
      {"en-US", 52, EnglishBlocks + "E", 0x590},
      {"x-UEFI-QZV", 57, "SK3SK1" + std::string(10, 'S') + "K1" + std::string(10, 'S') + "K1SK12E", 0x1F8},
  };
  for (size_t Index = 0; Index < 2; ++Index) {
    const StringPackage &Pkg = Packages[Index];
    SCOPED_TRACE(Expected[Index].Language);
    EXPECT_EQ(Pkg.Language, Expected[Index].Language);
    EXPECT_EQ(Pkg.HeaderSize, Expected[Index].HeaderSize);
    EXPECT_EQ(Pkg.InfoOffset, Expected[Index].HeaderSize);
    EXPECT_TRUE(Pkg.WindowIsZero);
    EXPECT_EQ(Pkg.LanguageName, 1);
    EXPECT_EQ(Pkg.Blocks, Expected[Index].Blocks);
    EXPECT_EQ(Pkg.EndOffset, Expected[Index].Length) << "end block is not the last byte";
    EXPECT_EQ(Pkg.NextId, 42) << "both packages must account for ids 1..41";
  }
}

TEST(StaticStrings, EnglishTextsById) {
  std::map<UINT16, std::u16string> Expected = {
      {1, u"English"},
      {2, u"Talvorenix AddOnCard Form"},
      {3, u"Talvorenix Add On Card Form"},
      {4, u"Talvorenix AddOnCard Main"},
      {5, u"Supported PCI ID Pair Count"},
      {6, u"Number of supported PCI Vendor/Device ID pairs displayed on this page (1-10)."},
      {17, u"16-bit PCI Vendor ID (0-0xFFFF)."},
      {28, u"16-bit PCI Device ID (0-0xFFFF)."},
      {29, u""},
      {30, u"Select port network protocol (Ethernet/InfiniBand)"},
      {41, u""},
  };
  for (unsigned N = 1; N <= 10; ++N) {
    const std::string Number = std::to_string(N);
    Expected[6 + N] = u"PCI Vendor ID #" + std::u16string(Number.begin(), Number.end());
    Expected[17 + N] = u"PCI Device ID #" + std::u16string(Number.begin(), Number.end());
    Expected[30 + N] = u"";
  }
  EXPECT_EQ(DecodeStringsArray().at(0).Texts, Expected);
}

TEST(StaticStrings, KeywordsFollowTheHexNumbering) {
  std::map<UINT16, std::u16string> Expected = {{1, u"x-QZV"}, {5, u"CSPACF14"}, {29, u"CSPAC000"}};
  for (unsigned N = 1; N <= 10; ++N) {
    Expected[6 + N] = Keyword("CSPACF", N - 1);
    Expected[17 + N] = Keyword("CSPACF", N + 9);
  }
  const std::map<UINT16, std::u16string> Found = DecodeStringsArray().at(1).Texts;
  EXPECT_EQ(Found, Expected);
  // The numbers a reader is most likely to get wrong.
  EXPECT_EQ(Found.at(16), u"CSPACF09");  // vendor ID #10
  EXPECT_EQ(Found.at(18), u"CSPACF0A");  // device ID #1
  EXPECT_EQ(Found.at(29), Keyword("CSPAC0", 0)) << "same text as the first run-time keyword";
}

// ---- Tests: form package -------------------------------------------------------------

TEST(StaticForms, FormSetHeaderClassAndDefaultStores) {
  const std::vector<Op> Ops = DecodeFormsArray();
  ASSERT_GE(Ops.size(), 6u);
  const Op &FormSet = Ops[0];
  EXPECT_EQ(FormSet.Code, EFI_IFR_FORM_SET_OP);
  EXPECT_EQ(FormSet.Length, 39);
  EXPECT_TRUE(FormSet.Scope);
  EXPECT_EQ(FormSet.ScopeEnd, Ops.size() - 1) << "the form set spans the whole package";
  EXPECT_TRUE(GuidAt(FormSet.Bytes + 2, ADDONCARD_FORMSET_GUID));
  EXPECT_EQ(FormSet.U16(18), 2);
  EXPECT_EQ(FormSet.U16(20), 3);
  EXPECT_EQ(FormSet.Bytes[22], 1);
  EXPECT_TRUE(GuidAt(FormSet.Bytes + 23, PLATFORM_SETUP_CLASS_GUID));

  const struct {
    UINT8 Code, Length, Byte18;
    UINT16 Word2, Word4, Word19;
  } Expected[] = {
      {EFI_IFR_GUID_OP, 21, EFI_IFR_EXTEND_OP_CLASS, 0, 0, 0x00DE},
      {EFI_IFR_GUID_OP, 21, EFI_IFR_EXTEND_OP_SUBCLASS, 0, 0, 0x0000},
      {EFI_IFR_DEFAULTSTORE_OP, 6, 0, 0, 0, 0},   // name 0, standard defaults
      {EFI_IFR_DEFAULTSTORE_OP, 6, 0, 41, 1, 0},  // name 41, manufacturing defaults
  };
  for (size_t Index = 0; Index < 4; ++Index) {
    const Op &Found = Ops[1 + Index];
    SCOPED_TRACE(Index);
    EXPECT_EQ(Found.Code, Expected[Index].Code);
    EXPECT_EQ(Found.Length, Expected[Index].Length);
    EXPECT_EQ(Found.Parent, 0u);
    if (Found.Code == EFI_IFR_GUID_OP) {
      EXPECT_TRUE(GuidAt(Found.Bytes + 2, IFR_EXTENSION_GUID));
      EXPECT_EQ(Found.Bytes[18], Expected[Index].Byte18);
      EXPECT_EQ(Found.U16(19), Expected[Index].Word19);
    } else {
      EXPECT_EQ(Found.U16(2), Expected[Index].Word2);
      EXPECT_EQ(Found.U16(4), Expected[Index].Word4);
    }
  }
}

TEST(StaticForms, VariableStoresAreEfiVariablesWithAsciiNames) {
  const std::vector<Op> Ops = DecodeFormsArray();
  const struct {
    UINT16 Id;
    std::string Name;
    const EFI_GUID &Guid;
    UINT32 Attributes;
    UINT16 Size;
  } Expected[] = {
      {0x1000, "TLX_ADDONCARD_OOB_VAR", ADDONCARD_FORMSET_GUID, 0x6, 1024},
      {0x1001, "TLX_ADDONCARD_STRING_VAR", ADDONCARD_FORMSET_GUID, 0x6, 25600},
      {0x1002, "TLX_ADDONCARD_PCI_VAR", ADDONCARD_PCI_VAR_GUID, 0x7, 41},
  };
  std::vector<size_t> Stores;
  for (size_t Index = 0; Index < Ops.size(); ++Index)
    if (Ops[Index].Code == EFI_IFR_VARSTORE_EFI_OP || Ops[Index].Code == EFI_IFR_VARSTORE_OP)
      Stores.push_back(Index);
  ASSERT_EQ(Stores.size(), 3u);
  EXPECT_EQ(Stores[0], 5u) << "stores follow the default stores";
  for (size_t Index = 0; Index < 3; ++Index) {
    const Op &Store = Ops[Stores[Index]];
    SCOPED_TRACE(Expected[Index].Name);
    EXPECT_EQ(Store.Code, EFI_IFR_VARSTORE_EFI_OP);
    EXPECT_EQ(Store.Parent, 0u);
    EXPECT_EQ(Store.Length, 26 + Expected[Index].Name.size() + 1);
    EXPECT_EQ(Store.U16(2), Expected[Index].Id);
    EXPECT_TRUE(GuidAt(Store.Bytes + 4, Expected[Index].Guid));
    EXPECT_EQ(Read32(Store.Bytes + 20), Expected[Index].Attributes);
    EXPECT_EQ(Store.U16(24), Expected[Index].Size);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(Store.Bytes + 26)), Expected[Index].Name);
    EXPECT_EQ(Store.Bytes[Store.Length - 1], 0);
  }
}

// A form browser opens a form set at its first form: the main page, with the
// supported list and the gotos, must be that one, or nothing leads to it.
TEST(StaticForms, TheMainFormFirstThenTenCardFormsHoldingOnlyTheirLabelPair) {
  const std::vector<Op> Ops = DecodeFormsArray();
  std::vector<size_t> Forms;
  for (size_t Index : Children(Ops, 0))
    if (Ops[Index].Code == EFI_IFR_FORM_OP) Forms.push_back(Index);
  ASSERT_EQ(Forms.size(), 11u);
  EXPECT_EQ(Ops[Forms[0]].U16(2), 0x9001);
  EXPECT_EQ(Ops[Forms[0]].U16(4), 4);
  for (UINT16 Slot = 0; Slot < 10; ++Slot) {
    const Op &Form = Ops[Forms[1 + Slot]];
    SCOPED_TRACE(Slot);
    EXPECT_TRUE(Form.Scope);
    EXPECT_EQ(Form.U16(2), 0x9011 + Slot);
    EXPECT_EQ(Form.U16(4), 31 + Slot);
    const std::vector<size_t> Inside = Children(Ops, Forms[1 + Slot]);
    ASSERT_EQ(Inside.size(), 2u);
    EXPECT_TRUE(IsLabel(Ops[Inside[0]], static_cast<UINT16>(0x2000 + 0x1000 * Slot)));
    EXPECT_TRUE(IsLabel(Ops[Inside[1]], static_cast<UINT16>(0x2FFF + 0x1000 * Slot)));
  }
  EXPECT_EQ(Ops[Forms[10]].ScopeEnd, Ops.size() - 2) << "the last card form ends the form set";
}

struct ExpectedNumeric {
  UINT16 QuestionId, Prompt, Help, Offset;
  UINT8 NumericFlags;
  UINT64 Minimum, Maximum, Default;
  unsigned ShownFromCount;  // the pair count from which the question is shown
};

std::vector<ExpectedNumeric> ExpectedMainQuestions() {
  std::vector<ExpectedNumeric> Expected = {{0xC015, 5, 6, 0x28, 0x10, 1, 10, 1, 1}};
  for (unsigned N = 1; N <= 10; ++N) {
    const UINT16 Pair = static_cast<UINT16>(N - 1);
    Expected.push_back({static_cast<UINT16>(0xC001 + 2 * Pair), static_cast<UINT16>(6 + N), 17,
                        static_cast<UINT16>(2 * Pair), 0x21, 0, 0xFFFF, N == 1 ? 0x15B3u : 0u, N});
    Expected.push_back({static_cast<UINT16>(0xC002 + 2 * Pair), static_cast<UINT16>(17 + N), 28,
                        static_cast<UINT16>(0x14 + 2 * Pair), 0x21, 0, 0xFFFF, N == 1 ? 0x1021u : 0u, N});
  }
  return Expected;
}

// Whether the question is shown at the given pair count: no enclosing
// suppress-if lists that count (each must test the pair count question).
bool ShownAtCount(const std::vector<Op> &Ops, size_t Question, UINT16 PairCount) {
  for (size_t Scope = Ops[Question].Parent; Scope != NONE; Scope = Ops[Scope].Parent) {
    if (Ops[Scope].Code != EFI_IFR_SUPPRESS_IF_OP) continue;
    const Op &Condition = Ops[Scope + 1];
    EXPECT_EQ(Condition.Code, EFI_IFR_EQ_ID_VAL_LIST_OP);
    EXPECT_EQ(Condition.U16(2), 0xC015);
    const UINT16 Count = Condition.U16(4);
    EXPECT_EQ(Condition.Length, 6 + 2 * Count);
    for (UINT16 Index = 0; Index < Count; ++Index)
      if (Condition.U16(6 + 2 * Index) == PairCount) return false;
  }
  return true;
}

TEST(StaticForms, MainFormNumericsWithDefaultsAndVisibility) {
  const std::vector<Op> Ops = DecodeFormsArray();
  const size_t MainForm = FindForm(Ops, 0x9001);
  ASSERT_NE(MainForm, NONE);
  const std::vector<ExpectedNumeric> Expected = ExpectedMainQuestions();
  size_t Next = 0;
  for (size_t Index = MainForm + 1; Index < Ops[MainForm].ScopeEnd; ++Index) {
    const Op &Q = Ops[Index];
    if (Q.Code != EFI_IFR_NUMERIC_OP) continue;
    ASSERT_LT(Next, Expected.size());
    const ExpectedNumeric &E = Expected[Next++];
    SCOPED_TRACE(testing::Message() << "question 0x" << std::hex << E.QuestionId);
    const size_t Width = size_t{1} << (E.NumericFlags & 3);
    EXPECT_EQ(Q.Length, 14 + 3 * Width);
    EXPECT_EQ(Q.U16(2), E.Prompt);
    EXPECT_EQ(Q.U16(4), E.Help);
    EXPECT_EQ(Q.U16(6), E.QuestionId);
    EXPECT_EQ(Q.U16(8), 0x1002);
    EXPECT_EQ(Q.U16(10), E.Offset);
    EXPECT_EQ(Q.Bytes[12], 0x14);
    EXPECT_EQ(Q.Bytes[13], E.NumericFlags);
    EXPECT_EQ(ReadLe(Q.Bytes + 14, Width), E.Minimum);
    EXPECT_EQ(ReadLe(Q.Bytes + 14 + Width, Width), E.Maximum);
    EXPECT_EQ(ReadLe(Q.Bytes + 14 + 2 * Width, Width), 1u);
    // Its scope holds one default per default store, at the question's width.
    ASSERT_TRUE(Q.Scope);
    const std::vector<size_t> Inside = Children(Ops, Index);
    ASSERT_EQ(Inside.size(), 2u);
    for (UINT16 Store = 0; Store < 2; ++Store) {
      const Op &Default = Ops[Inside[Store]];
      EXPECT_EQ(Default.Code, EFI_IFR_DEFAULT_OP);
      EXPECT_EQ(Default.Length, 5 + Width);
      EXPECT_EQ(Default.U16(2), Store);
      EXPECT_EQ(Default.Bytes[4], E.NumericFlags & 3) << "value type of the question's width";
      EXPECT_EQ(ReadLe(Default.Bytes + 5, Width), E.Default);
    }
    for (UINT16 PairCount = 1; PairCount <= 10; ++PairCount)
      EXPECT_EQ(ShownAtCount(Ops, Index, PairCount), PairCount >= E.ShownFromCount) << "count " << PairCount;
  }
  EXPECT_EQ(Next, Expected.size());
}

TEST(StaticForms, MainFormEndsWithTheTenLabelPairs) {
  const std::vector<Op> Ops = DecodeFormsArray();
  const size_t MainForm = FindForm(Ops, 0x9001);
  ASSERT_NE(MainForm, NONE);
  const std::vector<size_t> Inside = Children(Ops, MainForm);
  const UINT16 Pairs[10][2] = {{0x2000, 0x21FF}, {0x2200, 0x22FF}, {0x2300, 0x23FF}, {0x2400, 0x24FF},
                               {0x2500, 0x25FF}, {0x2600, 0x26FF}, {0x2700, 0x27FF}, {0x2800, 0x28FF},
                               {0x2900, 0x29FF}, {0x2A00, 0x2AFF}};
  // Three numerics and nine suppress-if scopes come first.
  ASSERT_EQ(Inside.size(), 3u + 9u + 20u);
  for (size_t Index = 0; Index < 12; ++Index)
    EXPECT_EQ(Ops[Inside[Index]].Code, Index < 3 ? EFI_IFR_NUMERIC_OP : EFI_IFR_SUPPRESS_IF_OP);
  for (size_t Slot = 0; Slot < 10; ++Slot) {
    EXPECT_TRUE(IsLabel(Ops[Inside[12 + 2 * Slot]], Pairs[Slot][0])) << Slot;
    EXPECT_TRUE(IsLabel(Ops[Inside[13 + 2 * Slot]], Pairs[Slot][1])) << Slot;
    EXPECT_EQ(MAIN_FORM_LABEL_PAIRS[Slot].Start, Pairs[Slot][0]);
    EXPECT_EQ(MAIN_FORM_LABEL_PAIRS[Slot].End, Pairs[Slot][1]);
  }
}

// A keyword reaches a question through the question's prompt string, so every
// static question's prompt must carry the right keyword and a display text.
TEST(StaticForms, EveryQuestionPromptCarriesItsKeyword) {
  const std::vector<Op> Ops = DecodeFormsArray();
  const std::vector<StringPackage> Strings = DecodeStringsArray();
  std::map<UINT16, std::u16string> ByQuestion;
  for (const Op &Q : Ops)
    if (Q.Code == EFI_IFR_NUMERIC_OP) {
      EXPECT_FALSE(Strings[0].Texts.at(Q.U16(2)).empty());
      EXPECT_FALSE(Strings[0].Texts.at(Q.U16(4)).empty());
      ByQuestion[Q.U16(6)] = Strings[1].Texts.count(Q.U16(2)) ? Strings[1].Texts.at(Q.U16(2)) : u"";
    }
  ASSERT_EQ(ByQuestion.size(), 21u);
  EXPECT_EQ(ByQuestion[0xC015], u"CSPACF14");
  for (unsigned Pair = 0; Pair < 10; ++Pair) {
    EXPECT_EQ(ByQuestion[0xC001 + 2 * Pair], Keyword("CSPACF", Pair));
    EXPECT_EQ(ByQuestion[0xC002 + 2 * Pair], Keyword("CSPACF", Pair + 10));
  }
}

// The structures of uefi/ifr.h must read the emitted bytes the same way.
TEST(IfrLayout, StructuresReadTheEncodedOpcodes) {
  const EFI_IFR_OP_HEADER End = {EFI_IFR_END_OP, 2, 1};
  UINT8 Raw[2];
  std::memcpy(Raw, &End, 2);
  EXPECT_EQ(Raw[0], 0x29);
  EXPECT_EQ(Raw[1], 0x82) << "length in bits 0-6, scope in bit 7";

  const std::vector<Op> Ops = DecodeFormsArray();
  const size_t MainForm = FindForm(Ops, 0x9001);
  ASSERT_NE(MainForm, NONE);
  EFI_IFR_NUMERIC Count{};
  std::memcpy(&Count, Ops[MainForm + 1].Bytes, Ops[MainForm + 1].Length);
  EXPECT_EQ(Count.Header.OpCode, EFI_IFR_NUMERIC_OP);
  EXPECT_EQ(Count.Header.Length, 17);
  EXPECT_EQ(Count.Header.Scope, 1);
  EXPECT_EQ(Count.Question.QuestionId, 0xC015);
  EXPECT_EQ(Count.Question.VarStoreInfo.VarOffset, 0x28);
  EXPECT_EQ(Count.Question.Flags, EFI_IFR_FLAG_CALLBACK | EFI_IFR_FLAG_RESET_REQUIRED);
  EXPECT_EQ(Count.data.u8.MaxValue, 10);
  EFI_IFR_DEFAULT Default{};
  std::memcpy(&Default, Ops[MainForm + 2].Bytes, Ops[MainForm + 2].Length);
  EXPECT_EQ(Default.Type, EFI_IFR_TYPE_NUM_SIZE_8);
  EXPECT_EQ(Default.Value.u8, 1);
  EFI_IFR_NUMERIC Vendor{};
  std::memcpy(&Vendor, Ops[MainForm + 5].Bytes, Ops[MainForm + 5].Length);
  EXPECT_EQ(Vendor.Question.QuestionId, 0xC001);
  EXPECT_EQ(Vendor.data.u16.MaxValue, 0xFFFF);
  EXPECT_EQ(IfrNumericLength(Vendor.Flags), Vendor.Header.Length);
}

}  // namespace
