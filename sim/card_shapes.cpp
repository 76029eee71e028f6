// The add-on card shapes (see card_shapes.h and card_shape_ids.h).
#include "sim/card_shapes.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {
namespace {

constexpr UINT8 DefaultOption = EFI_IFR_OPTION_DEFAULT | EFI_IFR_OPTION_DEFAULT_MFG;

void PutValue(std::vector<UINT8> &Bytes, UINT16 Offset, UINT64 Value, UINT8 Width) {
  if (Offset + Width > Bytes.size()) throw std::out_of_range("value beyond its store");
  for (UINT8 Index = 0; Index < Width; ++Index)
    Bytes[Offset + Index] = static_cast<UINT8>(Value >> (8 * Index));
}

// ASCII text as the UTF-16 characters a string question stores, without a terminator.
void PutText(std::vector<UINT8> &Bytes, UINT16 Offset, std::string_view Text) {
  for (std::size_t Index = 0; Index < Text.size(); ++Index)
    PutValue(Bytes, static_cast<UINT16>(Offset + 2 * Index), static_cast<unsigned char>(Text[Index]), 2);
}

// The shape of a finished builder: its list, and its stores with the contents given.
CardShape ShapeOf(std::string Name, const CardFormSet &Set, const std::vector<StoreContents> &Initial) {
  CardShape Shape{std::move(Name), Set.Build(), Set.Stores()};
  for (const StoreContents &Given : Initial) {
    auto Store = std::find_if(Shape.Stores.begin(), Shape.Stores.end(),
                              [&](const CardStore &Each) { return Each.Name == Given.Name; });
    if (Store == Shape.Stores.end() || Given.Bytes.size() > Store->Bytes.size())
      throw std::logic_error("initial contents for a store the shape does not declare: " + Given.Name);
    std::copy(Given.Bytes.begin(), Given.Bytes.end(), Store->Bytes.begin());
  }
  return Shape;
}

std::string Numbered(const char *Format, unsigned Number) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), Format, Number);
  return Text;
}

}  // namespace

const CardStore &CardShape::Store(std::string_view StoreName) const {
  for (const CardStore &Each : Stores)
    if (Each.Name == StoreName) return Each;
  throw std::out_of_range("no store named " + std::string(StoreName));
}

std::vector<StoreContents> CardShape::InitialContents() const {
  std::vector<StoreContents> Contents;
  for (const CardStore &Each : Stores) Contents.push_back({Each.Name, Each.Bytes});
  return Contents;
}

CardShape SampleCardShape() {
  return ShapeOf("SampleCard", SampleCardFormSet(), {{sample_card::StoreName, SampleCardStore()}});
}

CardShape SecondModelShape() {
  using namespace second_model;
  CardFormSet Set(Title, FormSetGuid);
  Set.Help("Configure the storage controller")
      .BufferStore(StoreId, StoreName, StoreGuid, StoreSize)
      .Form(0x1, "Controller Settings")
      .Text("Controller Firmware", "Version of the controller firmware", "7.1.0")
      .Numeric({QueueDepthId, StoreId, QueueDepthOffset, "Queue Depth", "Commands outstanding per device"}, 1,
               1, 64, 1)
      .OneOf({CacheModeId, StoreId, CacheModeOffset, "Cache Mode", "How writes reach the disks"})
      .Options({{"Write-Through", 0}, {"Write-Back", 1, DefaultOption}, {"Disabled", 2}})
      .String({ArrayNameId, StoreId, ArrayNameOffset, "Array Name", "Name of the disk array"}, 1,
              ArrayNameMaxSize);
  std::vector<UINT8> Store(StoreSize, 0);
  PutValue(Store, QueueDepthOffset, QueueDepthValue, 1);
  PutValue(Store, CacheModeOffset, CacheModeValue, 1);
  PutText(Store, ArrayNameOffset, ArrayNameValue);
  return ShapeOf("SecondModel", Set, {{StoreName, Store}});
}

CardShape CheckboxCardShape() {
  using namespace checkbox_card;
  CardFormSet Set(Title, FormSetGuid);
  Set.BufferStore(StoreId, StoreName, StoreGuid, StoreSize)
      .Form(0x1, "Switches")
      .Checkbox({FirstId, StoreId, 0, "Fan Boost", "Run the fan at full speed"})
      .Checkbox({static_cast<EFI_QUESTION_ID>(FirstId + 1), StoreId, 1, "Status LED", "Light the status LED"})
      .Checkbox(
          {static_cast<EFI_QUESTION_ID>(FirstId + 2), StoreId, 2, "Watchdog", "Reset the card when it hangs"},
          EFI_IFR_CHECKBOX_DEFAULT);
  return ShapeOf("CheckboxOnly", Set, {{StoreName, {Values[0], Values[1], Values[2]}}});
}

CardShape EdgeCardShape() {
  using namespace edge_card;
  namespace c = cond;
  constexpr EFI_VARSTORE_ID Buffer = BufferStoreId;
  constexpr EFI_VARSTORE_ID Efi = EfiStoreId;
  CardFormSet Set(Title, FormSetGuid);
  Set.Help("Adapter settings at the edges of what setup pages hold")
      .DefaultStore(EFI_HII_DEFAULT_CLASS_STANDARD, "Standard Default")
      .BufferStore(Buffer, BufferStoreName, BufferStoreGuid, BufferStoreSize)
      .EfiStore(Efi, EfiStoreName, EfiStoreGuid, EfiStoreSize, EfiStoreAttributes)
      .Form(MainFormId, "Edge Settings")
      .Text("Card Revision", "Hardware revision of the card", "B2")
      .Numeric({WideNumericId, Buffer, WideNumericOffset, "Moderation Interval", "Microseconds (0-1000)"}, 2,
               0, WideNumericMax, 1)
      .OneOf({WideOneOfId, Buffer, WideOneOfOffset, "Transmit Power", "Power level of the transmitter"}, 2)
      .Options({{"Low", 0x100}, {"Medium", 0x200, DefaultOption}, {"High", 0x300}})
      .OneOf({CollidingOneOfId, Buffer, CollidingOneOfOffset, "Lane Map", "Lanes the port uses"}, 2)
      .Options({{"Lane 1", 0x0001}, {"Lane 257", 0x0101}})
      .OneOf({ValueOneOfId, Buffer, ValueOneOfOffset, "Ring Size", "Descriptors per ring"})
      .Value(ValueOpcodeValue)
      .OneOf({ReadOnlyOneOfId, Buffer, ReadOnlyOneOfOffset, "Board Variant", "Set at the factory",
              EFI_IFR_FLAG_READ_ONLY})
      .Options({{"Standard", 0}, {"Extended", 1}})
      .String({NoMaxStringId, Buffer, NoMaxStringOffset, "Port Alias", "Free name of the port"}, 0, 0)
      .Numeric(
          {LongPromptNumericId, Buffer, LongPromptNumericOffset, LongPrompt, "Interrupts per millisecond"}, 1,
          0, 100, 1)
      .Checkbox({SwitchId, Buffer, SwitchOffset, "Enable Offload", "Offload checksums to the card"})
      .OneOf({EfiModeId, Efi, EfiModeOffset, "Power Saving", "Lower the power when idle"})
      .Options({{"Off", 0}, {"On", 1, DefaultOption}})
      .Numeric({EfiLevelId, Efi, EfiLevelOffset, "Power Saving Level", "Depth of power saving (0-15)"}, 1, 0,
               15, 1)
      .Goto(MoreFormId, {GotoId, 0, 0, "More Settings", "Further settings of the adapter"})
      .SuppressIf(c::Or(c::EqIdVal(EfiModeId, 0), c::EqIdVal(SwitchId, 0)))
      .GrayOutIf(c::And(c::EqIdVal(EfiModeId, 1), c::Not(c::EqIdVal(ReadOnlyOneOfId, 0))))
      .Numeric({GrayedNumericId, Buffer, GrayedNumericOffset, "Offload Queues", "Queues used for offload"}, 1,
               0, 10, 1)
      .SuppressIf(c::EqIdVal(EfiLevelId, EfiLevelValue))
      .OneOf({HiddenOneOfId, Buffer, HiddenOneOfOffset, "Deep Sleep Profile", "Profile of the deepest level"})
      .Options({{"A", 0}, {"B", 1}, {"C", 2}})
      .GrayOutIf(c::False())
      .Numeric(
          {HiddenNestedNumericId, Buffer, HiddenNestedNumericOffset, "Wake Delay", "Milliseconds to wake"}, 1,
          0, 99, 1)
      .EndIf()
      .EndIf()
      .EndIf()
      .GrayOutIf(c::Not(c::EqIdVal(EfiLevelId, EfiLevelValue)))
      .String({VisibleStringId, Buffer, VisibleStringOffset, "Offload Tag", "Tag of offloaded frames"}, 1, 8)
      .GrayOutIf(c::EqIdVal(WideNumericId, WideNumericValue))
      .OneOf({InnerGrayedOneOfId, Buffer, InnerGrayedOneOfOffset, "Strict Ordering", "Keep frames in order"})
      .Options({{"No", 0}, {"Yes", 1}})
      .EndIf()
      .Numeric({AfterInnerNumericId, Buffer, AfterInnerNumericOffset, "Offload Budget", "Frames per poll"}, 1,
               0, 50, 1)
      .EndIf()
      .EndIf()
      .SuppressIf(c::EqIdValList(EfiModeId, {0, 2}))
      .Numeric({ListNumericId, Buffer, ListNumericOffset, "Idle Timeout", "Seconds before power saving"}, 1,
               0, 9, 1)
      .EndIf()
      .Form(MoreFormId, "More Settings")
      .Subtitle("Nothing further to set");

  std::vector<UINT8> Store(BufferStoreSize, 0);
  PutValue(Store, WideNumericOffset, WideNumericValue, 2);
  PutValue(Store, WideOneOfOffset, WideOneOfValue, 2);
  PutValue(Store, CollidingOneOfOffset, CollidingOneOfValue, 2);
  PutValue(Store, ValueOneOfOffset, ValueOneOfValue, 1);
  PutValue(Store, ReadOnlyOneOfOffset, ReadOnlyOneOfValue, 1);
  PutText(Store, NoMaxStringOffset, NoMaxStringValue);
  PutValue(Store, LongPromptNumericOffset, LongPromptNumericValue, 1);
  PutValue(Store, SwitchOffset, SwitchValue, 1);
  PutValue(Store, GrayedNumericOffset, GrayedNumericValue, 1);
  PutValue(Store, HiddenOneOfOffset, HiddenOneOfValue, 1);
  PutValue(Store, HiddenNestedNumericOffset, HiddenNestedNumericValue, 1);
  PutText(Store, VisibleStringOffset, VisibleStringValue);
  PutValue(Store, InnerGrayedOneOfOffset, InnerGrayedOneOfValue, 1);
  PutValue(Store, AfterInnerNumericOffset, AfterInnerNumericValue, 1);
  PutValue(Store, ListNumericOffset, ListNumericValue, 1);
  std::vector<UINT8> Variable(EfiStoreSize, 0);
  PutValue(Variable, EfiModeOffset, EfiModeValue, 1);
  PutValue(Variable, EfiLevelOffset, EfiLevelValue, 1);
  return ShapeOf("Edge", Set, {{BufferStoreName, Store}, {EfiStoreName, Variable}});
}

CardShape MacTitledCardShape() {
  using namespace mac_card;
  CardFormSet Set(Title, FormSetGuid);
  Set.BufferStore(StoreId, StoreName, StoreGuid, StoreSize)
      .Form(0x1, "MAC Settings")
      .OneOf({ModeId, StoreId, ModeOffset, "Port Mode", "Use of the port"})
      .Options({{"Off", 0}, {"On", 1, DefaultOption}})
      .Numeric({RetriesId, StoreId, RetriesOffset, "Retries", "Attempts before giving up"}, 1, 0, 9, 1);
  std::vector<UINT8> Store(StoreSize, 0);
  PutValue(Store, ModeOffset, ModeValue, 1);
  PutValue(Store, RetriesOffset, RetriesValue, 1);
  return ShapeOf("MacTitled", Set, {{StoreName, Store}});
}

CardShape BigCardShape(UINT16 Questions, UINT16 Strings) {
  using namespace big_card;
  if (Questions > MaxQuestions || Strings > MaxStrings)
    throw std::invalid_argument("the big card holds at most 0x2000 questions and 1000 strings");
  CardFormSet Set(Title, FormSetGuid);
  Set.BufferStore(StoreId, StoreName, StoreGuid, StoreSize(Questions, Strings)).Form(FormId, FormTitle);
  const IfrString Off = IfrString::Id(Set.NewString("Off"));
  const IfrString On = IfrString::Id(Set.NewString("On"));
  std::vector<UINT8> Store(StoreSize(Questions, Strings), 0);
  for (UINT16 Index = 0; Index < Questions; ++Index) {
    const Question Q{static_cast<EFI_QUESTION_ID>(FirstQuestionId + Index), StoreId, Index,
                     Numbered("Setting %04u", Index)};
    if (Index % 2 == 0) {
      Set.OneOf(Q).Option(Off, 0).Option(On, 1);
    } else {
      Set.Numeric(Q, 1, 0, 255, 1);
    }
    Store[Index] = QuestionValue(Index);
  }
  for (UINT16 Index = 0; Index < Strings; ++Index) {
    const auto Offset = static_cast<UINT16>(Questions + StringSlotBytes * Index);
    Set.String(
        {static_cast<EFI_QUESTION_ID>(FirstStringId + Index), StoreId, Offset, Numbered("Name %03u", Index)},
        0, StringMaxSize);
    PutText(Store, Offset, Numbered("n%03u", Index));
  }
  return ShapeOf("BigCard", Set, {{StoreName, Store}});
}

CardShape RoadCardShape() {
  using namespace road_card;
  namespace c = cond;
  constexpr EFI_VARSTORE_ID Buffer = BufferStoreId;
  constexpr EFI_VARSTORE_ID Efi = EfiStoreId;
  CardFormSet Set(Title, FormSetGuid);
  Set.Help("Settings of the road test card")
      .DefaultStore(EFI_HII_DEFAULT_CLASS_STANDARD, "Standard Default")
      .BufferStore(Buffer, BufferStoreName, BufferStoreGuid, BufferStoreSize)
      .EfiStore(Efi, EfiStoreName, EfiStoreGuid, EfiStoreSize, EfiStoreAttributes)
      .Form(0x1, "Road Settings")
      .Text("Serial Number", "Serial number of the card", "RC-0001")
      .OneOf({ModeId, Buffer, ModeOffset, "Operating Mode", "How the card runs"})
      .Options({{"Off", 0}, {"Auto", 1, DefaultOption}, {"Manual", 2}})
      .Numeric({LevelId, Buffer, LevelOffset, "Signal Level", "Percent of full level"}, 1, 5, 100, 1)
      .String({LabelId, Buffer, LabelOffset, "Card Label", "Name shown for the card"}, 0, 8)
      .Checkbox({EnableId, Buffer, EnableOffset, "Enable Card", "Use the card at boot"})
      .OneOf({EfiPolicyId, Efi, EfiPolicyOffset, "Update Policy", "Which updates the card takes"})
      .Options({{"Strict", 0, DefaultOption}, {"Relaxed", 1}})
      .Numeric({EfiRetriesId, Efi, EfiRetriesOffset, "Link Retries", "Attempts to bring the link up"}, 1, 0,
               9, 1)
      .SuppressIf(c::EqIdVal(EnableId, 0))
      .Numeric({ThresholdId, Buffer, ThresholdOffset, "Alarm Threshold", "Level that raises the alarm"}, 1, 0,
               255, 1)
      .EndIf()
      .SuppressIf(c::EqIdVal(EfiPolicyId, 0))
      .OneOf({HiddenId, Buffer, HiddenOffset, "Relaxed Extras", "Only with the relaxed policy"})
      .Options({{"No", 0}, {"Yes", 1}})
      .EndIf()
      .GrayOutIf(c::EqIdVal(ModeId, 1))
      .Numeric({LockedId, Buffer, LockedOffset, "Manual Gain", "Gain in manual mode"}, 1, 0, 15, 1)
      .EndIf();

  std::vector<UINT8> Store(BufferStoreSize, 0);
  PutValue(Store, ModeOffset, ModeValue, 1);
  PutValue(Store, LevelOffset, LevelValue, 1);
  PutText(Store, LabelOffset, LabelValue);
  PutValue(Store, EnableOffset, EnableValue, 1);
  PutValue(Store, ThresholdOffset, ThresholdValue, 1);
  PutValue(Store, HiddenOffset, HiddenValue, 1);
  PutValue(Store, LockedOffset, LockedValue, 1);
  std::vector<UINT8> Variable(EfiStoreSize, 0);
  PutValue(Variable, EfiPolicyOffset, EfiPolicyValue, 1);
  PutValue(Variable, EfiRetriesOffset, EfiRetriesValue, 1);
  return ShapeOf("Road", Set, {{BufferStoreName, Store}, {EfiStoreName, Variable}});
}

CardShape FixtureShape(CardShapeId Id) {
  switch (Id) {
    case CardShapeId::SampleCard:
      return SampleCardShape();
    case CardShapeId::SecondModel:
      return SecondModelShape();
    case CardShapeId::CheckboxOnly:
      return CheckboxCardShape();
    case CardShapeId::Edge:
      return EdgeCardShape();
    case CardShapeId::MacTitled:
      return MacTitledCardShape();
    case CardShapeId::Road:
      return RoadCardShape();
    case CardShapeId::Count:
      break;
  }
  throw std::invalid_argument("no such fixture shape");
}

std::vector<CardShape> FixtureShapes() {
  std::vector<CardShape> Shapes;
  for (UINT8 Id = 0; Id < static_cast<UINT8>(CardShapeId::Count); ++Id)
    Shapes.push_back(FixtureShape(static_cast<CardShapeId>(Id)));
  return Shapes;
}

CardDriver &PublishShape(PciFunction &Pci, const CardShape &Shape) {
  return PublishCard(Pci, Shape.PackageList, Shape.InitialContents());
}

}  // namespace sim
