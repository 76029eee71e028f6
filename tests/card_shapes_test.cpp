// The card shapes that host and firmware tests share: what card_shape_ids.h
// states about each (ids, stores, offsets, widths, values, the truth of every
// condition) holds in the built package lists, and the simulated firmware takes
// every shape as a card's driver publishes it.
#include "sim/card_shapes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sim/config_text.h"
#include "sim/hii_forms.h"
#include "tests/sim_fixture.h"
#include "tests/sim_hii_builders.h"
#include "uefi/guids.h"

namespace {

using sim::CardShape;

// ---- a reader of the built IFR that owes nothing to the builder -------------------------

struct Op {
  UINT8 Code;
  bool Scope;
  std::vector<UINT8> Bytes;  // the whole opcode
  UINT16 At16(std::size_t Offset) const {
    return static_cast<UINT16>(Bytes.at(Offset) | Bytes.at(Offset + 1) << 8);
  }
};

std::vector<Op> FormsOpcodes(const std::vector<UINT8> &List) {
  std::vector<Op> Ops;
  const std::size_t Forms = sizeof(EFI_HII_PACKAGE_LIST_HEADER);  // the builder puts forms first
  EXPECT_EQ(List.at(Forms + 3), EFI_HII_PACKAGE_FORMS);
  const std::size_t Length = List[Forms] | List[Forms + 1] << 8 | List[Forms + 2] << 16;
  for (std::size_t At = Forms + 4; At < Forms + Length;) {
    const std::size_t OpLength = List.at(At + 1) & 0x7F;
    EXPECT_GE(OpLength, 2u);
    if (OpLength < 2) break;
    Ops.push_back({List[At], (List[At + 1] & 0x80) != 0, {List.begin() + At, List.begin() + At + OpLength}});
    At += OpLength;
  }
  return Ops;
}

UINT64 StoreValue(const sim::CardStore &Store, UINT16 Offset, UINT32 Width) {
  UINT64 Value = 0;
  for (UINT32 Index = Width; Index > 0; --Index) Value = Value << 8 | Store.Bytes.at(Offset + Index - 1);
  return Value;
}

std::string StoreText(const sim::CardStore &Store, UINT16 Offset) {
  std::string Text;
  for (std::size_t At = Offset; At + 1 < Store.Bytes.size() && Store.Bytes[At] != 0; At += 2)
    Text += static_cast<char>(Store.Bytes[At]);
  return Text;
}

// The current value of every question of a shape, by id, read from its stores
// as a browser reads them.
std::map<EFI_QUESTION_ID, UINT64> CurrentValues(const CardShape &Shape) {
  std::map<EFI_QUESTION_ID, UINT64> Values;
  const sim::hiiview::FormsScan Scan = sim::hiiview::ScanForms(Shape.PackageList);
  for (const sim::hiiview::Question &Q : Scan.Questions) {
    for (const sim::CardStore &Store : Shape.Stores)
      if (Store.Id == Q.VarStoreId && Q.OpCode != sim::hiiview::IfrStringOp)
        Values[Q.Id] = StoreValue(Store, Q.VarOffset, Q.Width);
  }
  return Values;
}

// Evaluates a condition (the opcodes after a suppress-if or gray-out-if up to
// the first statement) as a browser would, EQ_ID_VAL_LIST included.
bool Evaluate(const std::vector<Op> &Ops, std::size_t &At, const std::map<EFI_QUESTION_ID, UINT64> &Values) {
  std::vector<bool> Stack;
  auto Value = [&](EFI_QUESTION_ID Id) { return Values.count(Id) ? Values.at(Id) : 0; };
  for (; At < Ops.size(); ++At) {
    const Op &Each = Ops[At];
    if (Each.Code == EFI_IFR_EQ_ID_VAL_OP) {
      Stack.push_back(Value(Each.At16(2)) == Each.At16(4));
    } else if (Each.Code == EFI_IFR_EQ_ID_VAL_LIST_OP) {
      bool Any = false;
      for (UINT16 Index = 0; Index < Each.At16(4); ++Index)
        Any = Any || Value(Each.At16(2)) == Each.At16(6 + 2 * Index);
      Stack.push_back(Any);
    } else if (Each.Code == EFI_IFR_TRUE_OP || Each.Code == EFI_IFR_FALSE_OP) {
      Stack.push_back(Each.Code == EFI_IFR_TRUE_OP);
    } else if (Each.Code == EFI_IFR_NOT_OP) {
      Stack.back() = !Stack.back();
    } else if (Each.Code == EFI_IFR_AND_OP || Each.Code == EFI_IFR_OR_OP) {
      const bool Right = Stack.back();
      Stack.pop_back();
      Stack.back() = Each.Code == EFI_IFR_AND_OP ? Stack.back() && Right : Stack.back() || Right;
    } else {
      break;
    }
  }
  EXPECT_EQ(Stack.size(), 1u);
  return Stack.back();
}

// What a browser shows of a question: hidden under a TRUE suppress-if, grayed
// when any enclosing gray-out-if is TRUE.
struct Visibility {
  bool Hidden;
  bool Grayed;
};

std::map<EFI_QUESTION_ID, Visibility> Visibilities(const CardShape &Shape) {
  const std::vector<Op> Ops = FormsOpcodes(Shape.PackageList);
  const std::map<EFI_QUESTION_ID, UINT64> Values = CurrentValues(Shape);
  std::map<EFI_QUESTION_ID, Visibility> Seen;
  struct Scope {
    UINT8 Code;
    bool Condition;
  };
  std::vector<Scope> Scopes;
  for (std::size_t At = 0; At < Ops.size(); ++At) {
    const Op &Each = Ops[At];
    if (Each.Code == EFI_IFR_END_OP) {
      Scopes.pop_back();
      continue;
    }
    bool Hidden = false, Grayed = false;
    for (const Scope &S : Scopes) {
      Hidden = Hidden || (S.Code == EFI_IFR_SUPPRESS_IF_OP && S.Condition);
      Grayed = Grayed || (S.Code == EFI_IFR_GRAY_OUT_IF_OP && S.Condition);
    }
    const bool IsQuestion = Each.Code == EFI_IFR_ONE_OF_OP || Each.Code == EFI_IFR_NUMERIC_OP ||
                            Each.Code == EFI_IFR_STRING_OP || Each.Code == EFI_IFR_CHECKBOX_OP;
    if (IsQuestion) Seen[Each.At16(6)] = {Hidden, Grayed};
    if (Each.Code == EFI_IFR_SUPPRESS_IF_OP || Each.Code == EFI_IFR_GRAY_OUT_IF_OP) {
      std::size_t Condition = At + 1;
      const bool Value = Evaluate(Ops, Condition, Values);
      Scopes.push_back({Each.Code, Value});
      At = Condition - 1;
      continue;
    }
    if (Each.Scope) Scopes.push_back({Each.Code, false});
  }
  EXPECT_TRUE(Scopes.empty()) << "scopes balance";
  return Seen;
}

// ---- the documented questions -------------------------------------------------------------

struct Documented {
  const char *Shape;
  EFI_QUESTION_ID Id;
  UINT8 OpCode;
  EFI_VARSTORE_ID Store;
  UINT16 Offset;
  UINT32 Width;
  UINT64 Value;  // numbers; strings are checked by their text
};

const Documented DOCUMENTED[] = {
    {"SecondModel", sim::second_model::QueueDepthId, EFI_IFR_NUMERIC_OP, 1,
     sim::second_model::QueueDepthOffset, 1, sim::second_model::QueueDepthValue},
    {"SecondModel", sim::second_model::CacheModeId, EFI_IFR_ONE_OF_OP, 1, sim::second_model::CacheModeOffset,
     1, sim::second_model::CacheModeValue},
    {"SecondModel", sim::second_model::ArrayNameId, EFI_IFR_STRING_OP, 1, sim::second_model::ArrayNameOffset,
     2 * sim::second_model::ArrayNameMaxSize, 0},
    {"CheckboxOnly", sim::checkbox_card::FirstId, EFI_IFR_CHECKBOX_OP, 1, 0, 1,
     sim::checkbox_card::Values[0]},
    {"CheckboxOnly", sim::checkbox_card::FirstId + 1, EFI_IFR_CHECKBOX_OP, 1, 1, 1,
     sim::checkbox_card::Values[1]},
    {"CheckboxOnly", sim::checkbox_card::FirstId + 2, EFI_IFR_CHECKBOX_OP, 1, 2, 1,
     sim::checkbox_card::Values[2]},
    {"Edge", sim::edge_card::WideNumericId, EFI_IFR_NUMERIC_OP, 1, sim::edge_card::WideNumericOffset, 2,
     sim::edge_card::WideNumericValue},
    {"Edge", sim::edge_card::WideOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::WideOneOfOffset, 2,
     sim::edge_card::WideOneOfValue},
    {"Edge", sim::edge_card::CollidingOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::CollidingOneOfOffset, 2,
     sim::edge_card::CollidingOneOfValue},
    {"Edge", sim::edge_card::ValueOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::ValueOneOfOffset, 1,
     sim::edge_card::ValueOneOfValue},
    {"Edge", sim::edge_card::ReadOnlyOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::ReadOnlyOneOfOffset, 1,
     sim::edge_card::ReadOnlyOneOfValue},
    {"Edge", sim::edge_card::NoMaxStringId, EFI_IFR_STRING_OP, 1, sim::edge_card::NoMaxStringOffset, 0, 0},
    {"Edge", sim::edge_card::LongPromptNumericId, EFI_IFR_NUMERIC_OP, 1,
     sim::edge_card::LongPromptNumericOffset, 1, sim::edge_card::LongPromptNumericValue},
    {"Edge", sim::edge_card::SwitchId, EFI_IFR_CHECKBOX_OP, 1, sim::edge_card::SwitchOffset, 1,
     sim::edge_card::SwitchValue},
    {"Edge", sim::edge_card::EfiModeId, EFI_IFR_ONE_OF_OP, 2, sim::edge_card::EfiModeOffset, 1,
     sim::edge_card::EfiModeValue},
    {"Edge", sim::edge_card::EfiLevelId, EFI_IFR_NUMERIC_OP, 2, sim::edge_card::EfiLevelOffset, 1,
     sim::edge_card::EfiLevelValue},
    {"Edge", sim::edge_card::GrayedNumericId, EFI_IFR_NUMERIC_OP, 1, sim::edge_card::GrayedNumericOffset, 1,
     sim::edge_card::GrayedNumericValue},
    {"Edge", sim::edge_card::HiddenOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::HiddenOneOfOffset, 1,
     sim::edge_card::HiddenOneOfValue},
    {"Edge", sim::edge_card::HiddenNestedNumericId, EFI_IFR_NUMERIC_OP, 1,
     sim::edge_card::HiddenNestedNumericOffset, 1, sim::edge_card::HiddenNestedNumericValue},
    {"Edge", sim::edge_card::VisibleStringId, EFI_IFR_STRING_OP, 1, sim::edge_card::VisibleStringOffset, 16,
     0},
    {"Edge", sim::edge_card::InnerGrayedOneOfId, EFI_IFR_ONE_OF_OP, 1, sim::edge_card::InnerGrayedOneOfOffset,
     1, sim::edge_card::InnerGrayedOneOfValue},
    {"Edge", sim::edge_card::AfterInnerNumericId, EFI_IFR_NUMERIC_OP, 1,
     sim::edge_card::AfterInnerNumericOffset, 1, sim::edge_card::AfterInnerNumericValue},
    {"Edge", sim::edge_card::ListNumericId, EFI_IFR_NUMERIC_OP, 1, sim::edge_card::ListNumericOffset, 1,
     sim::edge_card::ListNumericValue},
    {"MacTitled", sim::mac_card::ModeId, EFI_IFR_ONE_OF_OP, 1, sim::mac_card::ModeOffset, 1,
     sim::mac_card::ModeValue},
    {"MacTitled", sim::mac_card::RetriesId, EFI_IFR_NUMERIC_OP, 1, sim::mac_card::RetriesOffset, 1,
     sim::mac_card::RetriesValue},
    {"Road", sim::road_card::ModeId, EFI_IFR_ONE_OF_OP, 1, sim::road_card::ModeOffset, 1,
     sim::road_card::ModeValue},
    {"Road", sim::road_card::LevelId, EFI_IFR_NUMERIC_OP, 1, sim::road_card::LevelOffset, 1,
     sim::road_card::LevelValue},
    {"Road", sim::road_card::LabelId, EFI_IFR_STRING_OP, 1, sim::road_card::LabelOffset, 16, 0},
    {"Road", sim::road_card::EnableId, EFI_IFR_CHECKBOX_OP, 1, sim::road_card::EnableOffset, 1,
     sim::road_card::EnableValue},
    {"Road", sim::road_card::EfiPolicyId, EFI_IFR_ONE_OF_OP, 2, sim::road_card::EfiPolicyOffset, 1,
     sim::road_card::EfiPolicyValue},
    {"Road", sim::road_card::EfiRetriesId, EFI_IFR_NUMERIC_OP, 2, sim::road_card::EfiRetriesOffset, 1,
     sim::road_card::EfiRetriesValue},
    {"Road", sim::road_card::ThresholdId, EFI_IFR_NUMERIC_OP, 1, sim::road_card::ThresholdOffset, 1,
     sim::road_card::ThresholdValue},
    {"Road", sim::road_card::HiddenId, EFI_IFR_ONE_OF_OP, 1, sim::road_card::HiddenOffset, 1,
     sim::road_card::HiddenValue},
    {"Road", sim::road_card::LockedId, EFI_IFR_NUMERIC_OP, 1, sim::road_card::LockedOffset, 1,
     sim::road_card::LockedValue},
};

const CardShape &ShapeNamed(const std::vector<CardShape> &Shapes, const std::string &Name) {
  for (const CardShape &Shape : Shapes)
    if (Shape.Name == Name) return Shape;
  throw std::out_of_range(Name);
}

TEST(CardShapes, DocumentedQuestionsHaveTheirStoresOffsetsWidthsAndValues) {
  const std::vector<CardShape> Shapes = sim::FixtureShapes();
  for (const Documented &Doc : DOCUMENTED) {
    const CardShape &Shape = ShapeNamed(Shapes, Doc.Shape);
    const sim::hiiview::FormsScan Scan = sim::hiiview::ScanForms(Shape.PackageList);
    const sim::hiiview::Question *Found = nullptr;
    for (const sim::hiiview::Question &Q : Scan.Questions)
      if (Q.Id == Doc.Id) Found = &Q;
    ASSERT_NE(Found, nullptr) << Doc.Shape << " " << Doc.Id;
    EXPECT_EQ(Found->OpCode, Doc.OpCode) << Doc.Shape << " " << Doc.Id;
    EXPECT_EQ(Found->VarStoreId, Doc.Store) << Doc.Shape << " " << Doc.Id;
    EXPECT_EQ(Found->VarOffset, Doc.Offset) << Doc.Shape << " " << Doc.Id;
    EXPECT_EQ(Found->Width, Doc.Width) << Doc.Shape << " " << Doc.Id;
    if (Doc.OpCode != EFI_IFR_STRING_OP)
      EXPECT_EQ(CurrentValues(Shape).at(Doc.Id), Doc.Value) << Doc.Shape << " " << Doc.Id;
  }
  EXPECT_EQ(StoreText(sim::SecondModelShape().Store(sim::second_model::StoreName),
                      sim::second_model::ArrayNameOffset),
            sim::second_model::ArrayNameValue);
  const CardShape Edge = sim::EdgeCardShape();
  EXPECT_EQ(StoreText(Edge.Store(sim::edge_card::BufferStoreName), sim::edge_card::NoMaxStringOffset),
            sim::edge_card::NoMaxStringValue);
  EXPECT_EQ(StoreText(Edge.Store(sim::edge_card::BufferStoreName), sim::edge_card::VisibleStringOffset),
            sim::edge_card::VisibleStringValue);
  EXPECT_EQ(
      StoreText(sim::RoadCardShape().Store(sim::road_card::BufferStoreName), sim::road_card::LabelOffset),
      sim::road_card::LabelValue);
}

TEST(CardShapes, ConditionsHaveTheDocumentedTruth) {
  using namespace sim::edge_card;
  const std::map<EFI_QUESTION_ID, Visibility> Edge = Visibilities(sim::EdgeCardShape());
  const struct {
    EFI_QUESTION_ID Id;
    bool Hidden;
    bool Grayed;
  } EdgeCases[] = {
      {WideNumericId, false, false},       {GrayedNumericId, false, true},  {HiddenOneOfId, true, true},
      {HiddenNestedNumericId, true, true}, {VisibleStringId, false, false}, {InnerGrayedOneOfId, false, true},
      {AfterInnerNumericId, false, false}, {ListNumericId, false, false},   {EfiModeId, false, false},
  };
  for (const auto &Case : EdgeCases) {
    EXPECT_EQ(Edge.at(Case.Id).Hidden, Case.Hidden) << Case.Id;
    EXPECT_EQ(Edge.at(Case.Id).Grayed, Case.Grayed) << Case.Id;
  }
  const std::map<EFI_QUESTION_ID, Visibility> Road = Visibilities(sim::RoadCardShape());
  EXPECT_FALSE(Road.at(sim::road_card::ThresholdId).Hidden);
  EXPECT_TRUE(Road.at(sim::road_card::HiddenId).Hidden);
  EXPECT_TRUE(Road.at(sim::road_card::LockedId).Grayed);
  EXPECT_FALSE(Road.at(sim::road_card::LevelId).Grayed);
}

// The edge card carries each hard case in the encoding a compiled form set has.
TEST(CardShapes, EdgeCardHoldsEveryHardCase) {
  using namespace sim::edge_card;
  const CardShape Edge = sim::EdgeCardShape();
  const std::vector<Op> Ops = FormsOpcodes(Edge.PackageList);
  auto Question = [&](EFI_QUESTION_ID Id) -> std::size_t {
    for (std::size_t At = 0; At < Ops.size(); ++At)
      if ((Ops[At].Code == EFI_IFR_ONE_OF_OP || Ops[At].Code == EFI_IFR_NUMERIC_OP ||
           Ops[At].Code == EFI_IFR_STRING_OP) &&
          Ops[At].At16(6) == Id)
        return At;
    ADD_FAILURE() << "no question " << Id;
    return 0;
  };
  // A VALUE opcode holding UINT8 9 is the one-of's only content.
  const std::size_t ValueOneOf = Question(ValueOneOfId);
  ASSERT_EQ(Ops.at(ValueOneOf + 1).Code, EFI_IFR_VALUE_OP);
  EXPECT_TRUE(Ops[ValueOneOf + 1].Scope);
  EXPECT_EQ(Ops.at(ValueOneOf + 2).Bytes, (std::vector<UINT8>{EFI_IFR_UINT8_OP, 3, ValueOpcodeValue}));
  EXPECT_EQ(Ops.at(ValueOneOf + 3).Code, EFI_IFR_END_OP);
  EXPECT_EQ(Ops.at(ValueOneOf + 4).Code, EFI_IFR_END_OP);
  // Option values of the wide and the colliding one-ofs, at two bytes.
  const std::size_t Colliding = Question(CollidingOneOfId);
  EXPECT_EQ(Ops.at(Colliding + 1).At16(6), 0x0001);
  EXPECT_EQ(Ops.at(Colliding + 2).At16(6), 0x0101);
  EXPECT_EQ(Ops.at(Question(WideOneOfId) + 3).At16(6), 0x0300);
  EXPECT_EQ(Ops[Question(ReadOnlyOneOfId)].Bytes.at(12) & EFI_IFR_FLAG_READ_ONLY, EFI_IFR_FLAG_READ_ONLY);
  EXPECT_EQ(Ops[Question(NoMaxStringId)].Bytes.at(14), 0) << "MaxSize";
  EXPECT_EQ(Ops[Question(WideNumericId)].At16(16), WideNumericMax);

  std::size_t EfiStores = 0, Texts = 0, Checkboxes = 0, Gotos = 0, ValueLists = 0;
  for (const Op &Each : Ops) {
    if (Each.Code == EFI_IFR_VARSTORE_EFI_OP) {
      ++EfiStores;
      EXPECT_EQ(Each.At16(2), EfiStoreId);
      EXPECT_EQ(Each.At16(20), EfiStoreAttributes);
    }
    if (Each.Code == EFI_IFR_TEXT_OP) Texts += Each.At16(6) != 0;  // with a TextTwo
    Checkboxes += Each.Code == EFI_IFR_CHECKBOX_OP;
    Gotos += Each.Code == EFI_IFR_REF_OP;
    ValueLists += Each.Code == EFI_IFR_EQ_ID_VAL_LIST_OP;
  }
  EXPECT_EQ(EfiStores, 1u);
  EXPECT_EQ(Texts, 1u);
  EXPECT_EQ(Checkboxes, 1u);
  EXPECT_EQ(Gotos, 1u);
  EXPECT_EQ(ValueLists, 1u);
  EXPECT_EQ(Edge.Store(EfiStoreName).Attributes, EfiStoreAttributes);
  EXPECT_TRUE(Edge.Store(EfiStoreName).IsEfi);
}

TEST(CardShapes, SecondModelSharesTheSampleCardsStoreIdAndNothingElse) {
  const CardShape Sample = sim::SampleCardShape();
  const CardShape Second = sim::SecondModelShape();
  ASSERT_EQ(Sample.Stores.size(), 1u);
  ASSERT_EQ(Second.Stores.size(), 1u);
  EXPECT_EQ(Sample.Stores[0].Id, Second.Stores[0].Id);
  EXPECT_NE(Sample.Stores[0].Name, Second.Stores[0].Name);
  EXPECT_NE(std::memcmp(&Sample.Stores[0].Guid, &Second.Stores[0].Guid, sizeof(EFI_GUID)), 0);
  EXPECT_NE(Sample.Stores[0].Size, Second.Stores[0].Size);
  // The same question id means another offset in the other form set.
  EXPECT_EQ(sim::sample_card::LinkSpeedId, sim::second_model::QueueDepthId);
  EXPECT_NE(sim::sample_card::LinkSpeedOffset, sim::second_model::CacheModeOffset);
}

TEST(CardShapes, BigCardHasTheSizeAskedForAndItsPattern) {
  using namespace sim::big_card;
  const CardShape Big = sim::BigCardShape(OverLimitQuestions, OverLimitStrings);
  const sim::hiiview::FormsScan Scan = sim::hiiview::ScanForms(Big.PackageList);
  std::size_t OneOfs = 0, Numerics = 0, Strings = 0;
  for (const sim::hiiview::Question &Q : Scan.Questions) {
    OneOfs += Q.OpCode == EFI_IFR_ONE_OF_OP;
    Numerics += Q.OpCode == EFI_IFR_NUMERIC_OP;
    Strings += Q.OpCode == EFI_IFR_STRING_OP;
  }
  EXPECT_EQ(OneOfs + Numerics, OverLimitQuestions);
  EXPECT_EQ(OneOfs, (OverLimitQuestions + 1u) / 2);
  EXPECT_EQ(Strings, OverLimitStrings);
  const sim::hiiview::Question &Last = Scan.Questions.at(OverLimitQuestions - 1);
  EXPECT_EQ(Last.Id, FirstQuestionId + 1024);
  EXPECT_EQ(Last.VarOffset, 1024);
  const sim::CardStore &Store = Big.Store(StoreName);
  EXPECT_EQ(Store.Size, StoreSize(OverLimitQuestions, OverLimitStrings));
  EXPECT_EQ(Store.Bytes.at(1023), QuestionValue(1023));
  EXPECT_EQ(StoreText(Store, StoreSize(OverLimitQuestions, 50)), "n050");
  EXPECT_THROW(sim::BigCardShape(MaxQuestions + 1, 0), std::invalid_argument);
}

// ---- in the simulated firmware ------------------------------------------------------------

class ShapesInFirmwareTest : public SimTest {};

TEST_F(ShapesInFirmwareTest, EveryShapeIsPublishedAndItsStoresReadThroughTheRouter) {
  std::vector<CardShape> Shapes = sim::FixtureShapes();
  Shapes.push_back(sim::BigCardShape(sim::big_card::OverLimitQuestions, sim::big_card::OverLimitStrings));
  auto *Router = hiitest::Locate<EFI_HII_CONFIG_ROUTING_PROTOCOL>(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID);
  UINTN Device = 0x10;
  for (const CardShape &Shape : Shapes) {
    sim::CardDriver &Card = sim::PublishShape(sim::AddPciFunction(0x1234, 0x11E8, 0, Device++, 0), Shape);
    ASSERT_NE(Card.HiiHandle, nullptr) << Shape.Name;
    for (const sim::CardStore &Store : Shape.Stores) {
      if (Store.IsEfi) {
        const auto Variable =
            sim::FindVariable(std::u16string(Store.Name.begin(), Store.Name.end()), Store.Guid);
        ASSERT_TRUE(Variable.has_value()) << Shape.Name << " " << Store.Name;
        EXPECT_EQ(Variable->Attributes, Store.Attributes);
        EXPECT_EQ(Variable->Data, Store.Bytes);
        continue;
      }
      const std::u16string Request =
          hiitest::Header(Store.Guid, std::u16string(Store.Name.begin(), Store.Name.end()), Card.DevicePath) +
          u"&OFFSET=0&WIDTH=" + sim::cfgtext::HexOfUint(Store.Size);
      CHAR16 *Progress = nullptr;
      CHAR16 *Results = nullptr;
      ASSERT_EQ(Router->ExtractConfig(Router, Request.c_str(), &Progress, &Results), EFI_SUCCESS)
          << Shape.Name << " " << Store.Name;
      const std::u16string Answer = hiitest::Take(Results);
      const std::u16string Current(sim::cfgtext::CurrentConfiguration(Answer));
      std::vector<UINT8> Block(Store.Size, 0xEE);
      UINTN Size = Block.size();
      ASSERT_EQ(Router->ConfigToBlock(Router, Current.c_str(), Block.data(), &Size, &Progress), EFI_SUCCESS);
      EXPECT_EQ(Block, Store.Bytes) << Shape.Name << " " << Store.Name;
    }
  }
  EXPECT_EQ(sim::PackageListHandles().size(), Shapes.size());
}

}  // namespace
