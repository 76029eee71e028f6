// Facts about the add-on card shapes that host tests and the firmware test
// application share: form-set GUIDs and titles, stores, question ids, store
// offsets and the stores' initial contents. Constants only, with no hosted
// library, so that freestanding code (the firmware test application) can include
// it; the builders live in card_shapes.h and sample_card.cpp.
//
// Every value below is a value of the initial store contents that the shapes
// publish. "Condition" notes give the truth value of a suppress-if or gray-out-if
// over those contents, as a browser evaluates it.
#pragma once
#include "uefi/hii.h"

namespace sim {

// The shapes published as constant arrays (qemu/fixtures/card_fixtures.inc),
// in the order of the generated table. The big card is built at run time.
enum class CardShapeId : UINT8 { SampleCard, SecondModel, CheckboxOnly, Edge, MacTitled, Road, Count };

inline constexpr UINT32 NonVolatileStoreAttributes = 0x7;  // NV | BS | RT

// ---- (a) the sample network card ---------------------------------------------------
// A network card port with the questions card setup pages usually have.
// Buffer store 1 "PortConfig" (0x50 bytes). Forms: 1 "Port Configuration", 2 "Boot
// Configuration" (reached by a goto, question 0x1008, no storage).
namespace sample_card {
inline constexpr UINT16 VendorId = 0x15B3;
inline constexpr UINT16 DeviceId = 0x1021;
inline constexpr UINTN Bus = 0x3B;
inline constexpr const char *Title = "Port 1 - Network Card";
inline constexpr EFI_GUID FormSetGuid = {
    0xF44AB8D3, 0x52DD, 0x4A76, {0x83, 0xF3, 0x94, 0x20, 0xED, 0xE4, 0x79, 0x91}};
inline constexpr EFI_GUID StoreGuid = {
    0x786815AD, 0x1ED9, 0x43F0, {0x8D, 0x9E, 0x86, 0xC8, 0x1F, 0xA4, 0x88, 0x5E}};
inline constexpr EFI_VARSTORE_ID StoreId = 0x1;
inline constexpr const char *StoreName = "PortConfig";
inline constexpr UINT16 StoreSize = 0x50;
inline constexpr EFI_FORM_ID MainFormId = 0x1;
inline constexpr EFI_FORM_ID BootFormId = 0x2;

// Question ids and store offsets; initial values in SampleCardStore() (card_fixture.h):
// Auto speed, wake-on-LAN on, VLAN disabled (id 1), PXE, target "pxe-server-01", LUN 0.
// Texts "Permanent MAC Address" ("02:00:00:3B:00:00") and "Firmware Version" ("1.4.2").
inline constexpr EFI_QUESTION_ID LinkSpeedId = 0x1001;  // one-of, u8: 0 Auto, 1, 2, 3 (10/25/100 Gb/s)
inline constexpr UINT16 LinkSpeedOffset = 0x00;
inline constexpr EFI_QUESTION_ID WakeOnLanId = 0x1002;  // checkbox
inline constexpr UINT16 WakeOnLanOffset = 0x01;
inline constexpr EFI_QUESTION_ID VlanModeId = 0x1003;  // one-of, u8: 0 Disabled, 1 Enabled
inline constexpr UINT16 VlanModeOffset = 0x02;
inline constexpr EFI_QUESTION_ID VlanIdId = 0x1004;  // numeric u16 1..4094, grayed out while VLAN mode is 0
inline constexpr UINT16 VlanIdOffset = 0x04;
inline constexpr EFI_QUESTION_ID BootProtocolId = 0x1005;  // one-of, u8: 0 None, 1 PXE, 2 iSCSI
inline constexpr UINT16 BootProtocolOffset = 0x06;
inline constexpr EFI_QUESTION_ID BootTargetNameId = 0x1006;  // string, at most 32 characters
inline constexpr UINT16 BootTargetNameOffset = 0x08;
inline constexpr EFI_QUESTION_ID IscsiLunId = 0x1007;  // numeric u8, hidden unless the protocol is iSCSI
inline constexpr UINT16 IscsiLunOffset = 0x48;
}  // namespace sample_card

// ---- (b) a second card model ------------------------------------------------------------
// A storage controller. Its buffer store is VarStoreId 1 like the sample card's,
// with another GUID, name and layout, and its question ids repeat the sample
// card's (0x1001...) at other offsets: each form set numbers its own.
// Form 1 "Controller Settings"; no conditions.
namespace second_model {
inline constexpr const char *Title = "Storage Controller";
inline constexpr EFI_GUID FormSetGuid = {
    0xFC627F77, 0xA80F, 0x4640, {0x99, 0x76, 0x1C, 0xDE, 0x72, 0xC9, 0x2B, 0x2B}};
inline constexpr EFI_GUID StoreGuid = {
    0xF3216516, 0x4341, 0x4DFE, {0x86, 0x73, 0xED, 0x2A, 0x14, 0x29, 0x83, 0x52}};
inline constexpr EFI_VARSTORE_ID StoreId = 0x1;
inline constexpr const char *StoreName = "CtrlSettings";
inline constexpr UINT16 StoreSize = 0x30;

// Text "Controller Firmware", TextTwo "7.1.0", first in the form.
inline constexpr EFI_QUESTION_ID QueueDepthId = 0x1001;  // numeric u8 1..64 step 1
inline constexpr UINT16 QueueDepthOffset = 0x00;
inline constexpr UINT8 QueueDepthValue = 32;
inline constexpr EFI_QUESTION_ID CacheModeId =
    0x1002;  // one-of u8: 0 Write-Through, 1 Write-Back (default), 2 Disabled
inline constexpr UINT16 CacheModeOffset = 0x10;
inline constexpr UINT8 CacheModeValue = 1;
inline constexpr EFI_QUESTION_ID ArrayNameId = 0x1003;  // string, MinSize 1, MaxSize 12 (bytes 0x12..0x29)
inline constexpr UINT16 ArrayNameOffset = 0x12;
inline constexpr UINT8 ArrayNameMaxSize = 12;
inline constexpr const char *ArrayNameValue = "array0";
}  // namespace second_model

// ---- (c) a card with only checkboxes ------------------------------------------------------
// Buffer store 1 "Switches" (4 bytes); form 1 "Switches"; three checkboxes and nothing else.
namespace checkbox_card {
inline constexpr const char *Title = "Feature Switches";
inline constexpr EFI_GUID FormSetGuid = {
    0x61C3CA84, 0xD1F8, 0x4084, {0x8E, 0x43, 0x7E, 0x59, 0xEF, 0x5A, 0x56, 0x62}};
inline constexpr EFI_GUID StoreGuid = {
    0x811FD7D4, 0xE177, 0x4191, {0x91, 0x6A, 0x40, 0x93, 0xF2, 0x84, 0x3F, 0xC1}};
inline constexpr EFI_VARSTORE_ID StoreId = 0x1;
inline constexpr const char *StoreName = "Switches";
inline constexpr UINT16 StoreSize = 4;
inline constexpr EFI_QUESTION_ID FirstId = 0x0001;  // offsets 0, 1, 2 for ids 1, 2, 3
inline constexpr UINT8 Values[3] = {1, 0, 1};
}  // namespace checkbox_card

// ---- (d) the edge card ------------------------------------------------------------------------
// Everything a mirror finds hard, over a buffer store and an EFI variable store.
// Form 1 "Edge Settings" holds, in this order:
//   text "Card Revision" (help "Hardware revision of the card", TextTwo "B2");
//   the questions below down to Goto, each with a help string;
//   suppress-if (EfiMode == 0 OR Switch == 0)                              FALSE
//     gray-out-if (EfiMode == 1 AND NOT (ReadOnlyOneOf == 0))              TRUE
//       GrayedNumeric
//       suppress-if (EfiLevel == 3)                                         TRUE
//         HiddenOneOf
//         gray-out-if (FALSE)                                               FALSE
//           HiddenNestedNumeric
//     gray-out-if (NOT (EfiLevel == 3))                                     FALSE
//       VisibleString
//       gray-out-if (WideNumeric == 300)                                    TRUE
//         InnerGrayedOneOf
//       AfterInnerNumeric            (the innermost gray-out is FALSE again)
//   suppress-if (EQ_ID_VAL_LIST EfiMode in {0, 2})                          FALSE
//     ListNumeric        (EQ_ID_VAL_LIST lies outside the subset a mirror evaluates)
// Form 2 "More Settings", the goto's target, holds only a subtitle.
namespace edge_card {
inline constexpr const char *Title = "Edge Case Adapter";
inline constexpr EFI_GUID FormSetGuid = {
    0x67CBDF8C, 0x5FFC, 0x4916, {0x95, 0xA5, 0xDA, 0x63, 0x59, 0x9B, 0xC3, 0xE8}};
inline constexpr EFI_FORM_ID MainFormId = 0x1;
inline constexpr EFI_FORM_ID MoreFormId = 0x2;

inline constexpr EFI_GUID BufferStoreGuid = {
    0xCC9C0E63, 0x8520, 0x44D1, {0xB6, 0xB5, 0x2D, 0x24, 0x72, 0xB1, 0xCC, 0x9F}};
inline constexpr EFI_VARSTORE_ID BufferStoreId = 0x1;
inline constexpr const char *BufferStoreName = "EdgeConfig";
inline constexpr UINT16 BufferStoreSize = 0x40;

// Declared with EFI_IFR_VARSTORE_EFI; the variable exists with these attributes.
inline constexpr EFI_GUID EfiStoreGuid = {
    0x6235EEA6, 0x06C3, 0x4EDD, {0x87, 0x2C, 0x98, 0x03, 0x30, 0x40, 0x67, 0xC8}};
inline constexpr EFI_VARSTORE_ID EfiStoreId = 0x2;
inline constexpr const char *EfiStoreName = "EdgeEfiVar";
inline constexpr UINT16 EfiStoreSize = 4;
inline constexpr UINT32 EfiStoreAttributes = NonVolatileStoreAttributes;

// Buffer store questions.
inline constexpr EFI_QUESTION_ID WideNumericId = 0x2001;  // numeric u16 0..1000 step 1
inline constexpr UINT16 WideNumericOffset = 0x00;
inline constexpr UINT16 WideNumericValue = 300;
inline constexpr UINT16 WideNumericMax = 1000;
inline constexpr EFI_QUESTION_ID WideOneOfId =
    0x2002;  // one-of u16: 0x100 Low, 0x200 Medium (default), 0x300 High
inline constexpr UINT16 WideOneOfOffset = 0x02;
inline constexpr UINT16 WideOneOfValue = 0x200;
inline constexpr EFI_QUESTION_ID CollidingOneOfId = 0x2003;  // one-of u16: 0x0001 "Lane 1", 0x0101 "Lane 257"
inline constexpr UINT16 CollidingOneOfOffset = 0x04;
inline constexpr UINT16 CollidingOneOfValue = 0x0101;
// One-of u8 whose only option comes from an EFI_IFR_VALUE opcode holding UINT8
// ValueOpcodeValue; the store holds ValueOneOfValue (the two differ on purpose).
inline constexpr EFI_QUESTION_ID ValueOneOfId = 0x2004;
inline constexpr UINT16 ValueOneOfOffset = 0x06;
inline constexpr UINT8 ValueOneOfValue = 7;
inline constexpr UINT8 ValueOpcodeValue = 9;
// One-of u8 that the card marks read-only (question flags 0x01): 0 Standard, 1 Extended.
inline constexpr EFI_QUESTION_ID ReadOnlyOneOfId = 0x2005;
inline constexpr UINT16 ReadOnlyOneOfOffset = 0x07;
inline constexpr UINT8 ReadOnlyOneOfValue = 1;
// String with MinSize 0 and MaxSize 0; the store keeps 16 characters for it (0x08..0x27).
inline constexpr EFI_QUESTION_ID NoMaxStringId = 0x2006;
inline constexpr UINT16 NoMaxStringOffset = 0x08;
inline constexpr const char *NoMaxStringValue = "edge";
// Numeric u8 0..100 whose prompt has 45 characters.
inline constexpr EFI_QUESTION_ID LongPromptNumericId = 0x2007;
inline constexpr UINT16 LongPromptNumericOffset = 0x28;
inline constexpr UINT8 LongPromptNumericValue = 42;
inline constexpr char LongPrompt[] = "Maximum Interrupt Rate of Every Receive Queue";
static_assert(sizeof(LongPrompt) - 1 == 45);
inline constexpr EFI_QUESTION_ID SwitchId = 0x2008;  // checkbox "Enable Offload"
inline constexpr UINT16 SwitchOffset = 0x29;
inline constexpr UINT8 SwitchValue = 1;
// Inside the conditions (see the outline above).
inline constexpr EFI_QUESTION_ID GrayedNumericId = 0x200C;  // numeric u8 0..10
inline constexpr UINT16 GrayedNumericOffset = 0x2A;
inline constexpr UINT8 GrayedNumericValue = 4;
inline constexpr EFI_QUESTION_ID HiddenOneOfId = 0x200D;  // one-of u8: 0 A, 1 B, 2 C
inline constexpr UINT16 HiddenOneOfOffset = 0x2B;
inline constexpr UINT8 HiddenOneOfValue = 2;
inline constexpr EFI_QUESTION_ID HiddenNestedNumericId = 0x200E;  // numeric u8 0..99
inline constexpr UINT16 HiddenNestedNumericOffset = 0x2C;
inline constexpr UINT8 HiddenNestedNumericValue = 9;
inline constexpr EFI_QUESTION_ID VisibleStringId = 0x200F;  // string MinSize 1, MaxSize 8 (0x30..0x3F)
inline constexpr UINT16 VisibleStringOffset = 0x30;
inline constexpr const char *VisibleStringValue = "abc";
inline constexpr EFI_QUESTION_ID InnerGrayedOneOfId = 0x2010;  // one-of u8: 0 No, 1 Yes
inline constexpr UINT16 InnerGrayedOneOfOffset = 0x2D;
inline constexpr UINT8 InnerGrayedOneOfValue = 1;
inline constexpr EFI_QUESTION_ID AfterInnerNumericId = 0x2011;  // numeric u8 0..50
inline constexpr UINT16 AfterInnerNumericOffset = 0x2E;
inline constexpr UINT8 AfterInnerNumericValue = 20;
inline constexpr EFI_QUESTION_ID ListNumericId = 0x2012;  // numeric u8 0..9
inline constexpr UINT16 ListNumericOffset = 0x2F;
inline constexpr UINT8 ListNumericValue = 5;

// EFI variable store questions.
inline constexpr EFI_QUESTION_ID EfiModeId = 0x2009;  // one-of u8: 0 Off, 1 On
inline constexpr UINT16 EfiModeOffset = 0x00;
inline constexpr UINT8 EfiModeValue = 1;
inline constexpr EFI_QUESTION_ID EfiLevelId = 0x200A;  // numeric u8 0..15
inline constexpr UINT16 EfiLevelOffset = 0x01;
inline constexpr UINT8 EfiLevelValue = 3;

inline constexpr EFI_QUESTION_ID GotoId = 0x200B;  // goto form 2, no storage
}  // namespace edge_card

// ---- (e) a form set whose title begins "MAC:" --------------------------------------------------
// Buffer store 1 "MacPort" (8 bytes); form 1 "MAC Settings".
namespace mac_card {
inline constexpr const char *Title = "MAC:52:54:00:AB:CD:EF";
inline constexpr EFI_GUID FormSetGuid = {
    0xB67CB314, 0x4E9F, 0x453D, {0x87, 0x01, 0x7B, 0xC8, 0xC7, 0x88, 0xA5, 0xCB}};
inline constexpr EFI_GUID StoreGuid = {
    0xF22B6793, 0xE468, 0x4F16, {0xBE, 0x44, 0x95, 0x1D, 0x6C, 0xA1, 0x22, 0x76}};
inline constexpr EFI_VARSTORE_ID StoreId = 0x1;
inline constexpr const char *StoreName = "MacPort";
inline constexpr UINT16 StoreSize = 8;
inline constexpr EFI_QUESTION_ID ModeId = 0x0001;  // one-of u8: 0 Off, 1 On
inline constexpr UINT16 ModeOffset = 0;
inline constexpr UINT8 ModeValue = 1;
inline constexpr EFI_QUESTION_ID RetriesId = 0x0002;  // numeric u8 0..9
inline constexpr UINT16 RetriesOffset = 1;
inline constexpr UINT8 RetriesValue = 4;
}  // namespace mac_card

// ---- (f) the big card, generated ---------------------------------------------------------------
// Buffer store 1 "BigConfig" of Questions + StringSlotBytes x Strings bytes; form 1
// "Settings". Question i (0-based) has id FirstQuestionId + i, offset i, prompt
// "Setting NNNN" (i in four decimal digits) and the shared empty help: even i a
// one-of u8 with options "Off" 0 and "On" 1, value (i / 2) % 2; odd i a numeric
// u8 0..255, value i % 256. String s has id FirstStringId + s, offset
// Questions + StringSlotBytes x s, MinSize 0, MaxSize StringMaxSize, prompt "Name
// NNN" and value "nNNN" (s in three decimal digits).
namespace big_card {
inline constexpr const char *Title = "Big Card";
inline constexpr EFI_GUID FormSetGuid = {
    0x1A6B04D7, 0xDA2C, 0x4EE4, {0x94, 0x11, 0x78, 0xAD, 0x45, 0x49, 0xB1, 0x31}};
inline constexpr EFI_GUID StoreGuid = {
    0xA9BBACAB, 0x7CAB, 0x4471, {0xA7, 0xAC, 0x08, 0x11, 0x95, 0x24, 0x85, 0x2D}};
inline constexpr EFI_VARSTORE_ID StoreId = 0x1;
inline constexpr const char *StoreName = "BigConfig";
inline constexpr const char *FormTitle = "Settings";
inline constexpr EFI_FORM_ID FormId = 0x1;
inline constexpr EFI_QUESTION_ID FirstQuestionId = 0x1000;
inline constexpr EFI_QUESTION_ID FirstStringId = 0x3000;
inline constexpr UINT16 MaxQuestions = 0x2000;
inline constexpr UINT16 MaxStrings = 1000;
inline constexpr UINT8 StringMaxSize = 8;
inline constexpr UINT16 StringSlotBytes = 2 * StringMaxSize;
// The sizes the issues' limits call for: one over 1024 questions and one over 50 strings.
inline constexpr UINT16 OverLimitQuestions = 1025;
inline constexpr UINT16 OverLimitStrings = 51;
constexpr UINT16 StoreSize(UINT16 Questions, UINT16 Strings) {
  return static_cast<UINT16>(Questions + StringSlotBytes * Strings);
}
constexpr UINT8 QuestionValue(UINT16 Index) {
  return static_cast<UINT8>(Index % 2 == 0 ? (Index / 2) % 2 : Index % 256);
}
static_assert(MaxQuestions + StringSlotBytes * MaxStrings <= 0xFFFF,
              "the largest store fits its UINT16 size");
static_assert(FirstQuestionId + MaxQuestions <= FirstStringId && FirstStringId + MaxStrings <= 0xFFFF);
}  // namespace big_card

// ---- (g) the card of the running-driver road ----------------------------------------------------
// One card with every statement a mirror handles, plainly: one-byte questions,
// a buffer store behind the card's configuration access and an EFI variable store.
// Form 1 "Road Settings", in this order: text "Serial Number" (TextTwo "RC-0001"),
// Mode, Level, Label, Enable, EfiPolicy, EfiRetries, then
//   suppress-if (Enable == 0)     FALSE: Threshold
//   suppress-if (EfiPolicy == 0)  TRUE:  Hidden
//   gray-out-if (Mode == 1)       TRUE:  Locked
namespace road_card {
inline constexpr const char *Title = "Road Test Card";
inline constexpr EFI_GUID FormSetGuid = {
    0x5FBFE451, 0x2724, 0x41DE, {0xA7, 0x64, 0x60, 0xEF, 0xB0, 0x62, 0xA2, 0x49}};
inline constexpr EFI_GUID BufferStoreGuid = {
    0x8011B5E5, 0x6483, 0x4F5C, {0x90, 0x26, 0xC2, 0x0D, 0xBB, 0x19, 0x27, 0xF6}};
inline constexpr EFI_VARSTORE_ID BufferStoreId = 0x1;
inline constexpr const char *BufferStoreName = "RoadConfig";
inline constexpr UINT16 BufferStoreSize = 0x20;
inline constexpr EFI_GUID EfiStoreGuid = {
    0x49373FEA, 0x0053, 0x40AB, {0xAD, 0x53, 0xDE, 0x07, 0x0E, 0xD3, 0xF1, 0x46}};
inline constexpr EFI_VARSTORE_ID EfiStoreId = 0x2;
inline constexpr const char *EfiStoreName = "RoadEfiVar";
inline constexpr UINT16 EfiStoreSize = 4;
inline constexpr UINT32 EfiStoreAttributes = NonVolatileStoreAttributes;

inline constexpr EFI_QUESTION_ID ModeId = 0x3001;  // one-of u8: 0 Off, 1 Auto (default), 2 Manual
inline constexpr UINT16 ModeOffset = 0x00;
inline constexpr UINT8 ModeValue = 1;
inline constexpr EFI_QUESTION_ID LevelId = 0x3002;  // numeric u8 0..100 step 1
inline constexpr UINT16 LevelOffset = 0x01;
inline constexpr UINT8 LevelValue = 40;
inline constexpr EFI_QUESTION_ID LabelId = 0x3003;  // string MinSize 0, MaxSize 8 (0x02..0x11)
inline constexpr UINT16 LabelOffset = 0x02;
inline constexpr const char *LabelValue = "road";
inline constexpr EFI_QUESTION_ID EnableId = 0x3004;  // checkbox
inline constexpr UINT16 EnableOffset = 0x12;
inline constexpr UINT8 EnableValue = 1;
inline constexpr EFI_QUESTION_ID EfiPolicyId = 0x3005;  // EFI store one-of u8: 0 Strict, 1 Relaxed
inline constexpr UINT16 EfiPolicyOffset = 0x00;
inline constexpr UINT8 EfiPolicyValue = 0;
inline constexpr EFI_QUESTION_ID EfiRetriesId = 0x3006;  // EFI store numeric u8 0..9
inline constexpr UINT16 EfiRetriesOffset = 0x01;
inline constexpr UINT8 EfiRetriesValue = 3;
inline constexpr EFI_QUESTION_ID ThresholdId = 0x3007;  // numeric u8 0..255, shown
inline constexpr UINT16 ThresholdOffset = 0x13;
inline constexpr UINT8 ThresholdValue = 128;
inline constexpr EFI_QUESTION_ID HiddenId = 0x3008;  // one-of u8: 0 No, 1 Yes; suppressed
inline constexpr UINT16 HiddenOffset = 0x14;
inline constexpr UINT8 HiddenValue = 0;
inline constexpr EFI_QUESTION_ID LockedId = 0x3009;  // numeric u8 0..15; grayed out
inline constexpr UINT16 LockedOffset = 0x15;
inline constexpr UINT8 LockedValue = 7;
}  // namespace road_card

}  // namespace sim
