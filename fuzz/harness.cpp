#include "fuzz/harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/card_inventory.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "driver/startup.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/foreign_varstore.h"
#include "hii/registration.h"
#include "qemu/page_check.h"
#include "sim/sim.h"
#include "uefi/guids.h"

namespace fuzz {
namespace {

constexpr UINT8 OP_FORM = 0x01, OP_REF = 0x0F, OP_END = 0x29, OP_GUID = 0x5F;
constexpr UINT8 PACKAGE_FORMS = 0x02, PACKAGE_END = 0xDF;
constexpr UINT8 LABEL_OPCODE = 0x00;  // the extended opcode of a label
// 0F0B1735-87A0-4193-B266-538C38AF48CE in the byte order of an EFI_GUID.
constexpr UINT8 LABEL_GUID_BYTES[16] = {0x35, 0x17, 0x0B, 0x0F, 0xA0, 0x87, 0x93, 0x41,
                                        0xB2, 0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE};

EFI_HII_DATABASE_PROTOCOL *RealDatabase() {
  void *Interface = nullptr;
  sim::SystemTable()->BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Interface);
  return static_cast<EFI_HII_DATABASE_PROTOCOL *>(Interface);
}

// The driver's list as the database exports it; empty when it has none.
std::vector<UINT8> ExportDriverList() {
  EFI_HII_DATABASE_PROTOCOL *Database = RealDatabase();
  if (Database == nullptr || DriverHiiHandle == nullptr) return {};
  UINTN Size = 0;
  if (Database->ExportPackageLists(Database, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  std::vector<UINT8> List(Size);
  if (EFI_ERROR(Database->ExportPackageLists(Database, DriverHiiHandle, &Size,
                                             reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()))))
    Fail("the driver's package list cannot be exported");
  return List;
}

UINT16 Le16(const UINT8 *Bytes) { return static_cast<UINT16>(Bytes[0] | Bytes[1] << 8); }

// The label number of an opcode, or -1 when it is no label.
long LabelNumber(const UINT8 *Op, UINTN Length) {
  if (Op[0] != OP_GUID || Length < 21 || std::memcmp(Op + 2, LABEL_GUID_BYTES, 16) != 0 ||
      Op[18] != LABEL_OPCODE)
    return -1;
  return Le16(Op + 19);
}

// Opcodes between the labels Start and End of form FormId (both in the same
// form); Found false when either is missing. Refs counts the gotos among them.
struct Region {
  bool Found = false;
  std::size_t Opcodes = 0;
  std::size_t Refs = 0;
};

// Walks a checked export (CheckPackageList passed): every length holds.
Region FindRegion(const std::vector<UINT8> &List, UINT16 FormId, UINT16 Start, UINT16 End) {
  Region Result;
  for (std::size_t Package = sizeof(EFI_HII_PACKAGE_LIST_HEADER); Package + 4 <= List.size();) {
    const UINT8 *Header = List.data() + Package;
    const std::size_t Length = Header[0] | Header[1] << 8 | Header[2] << 16;
    if (Header[3] == PACKAGE_END || Length < 4) break;
    if (Header[3] == PACKAGE_FORMS) {
      int Depth = 0;
      int FormDepth = -1;
      bool InForm = false, Inside = false;
      for (std::size_t At = 4; At + 2 <= Length;) {
        const UINT8 *Op = Header + At;
        const UINTN OpLength = Op[1] & 0x7F;
        if (OpLength < 2) break;
        if (Op[0] == OP_FORM && OpLength >= 4) {
          InForm = Le16(Op + 2) == FormId;
          FormDepth = Depth;
        }
        const long Label = LabelNumber(Op, OpLength);
        if (InForm && Label == Start) {
          Inside = true;
        } else if (InForm && Inside && Label == End) {
          Result.Found = true;
          return Result;
        } else if (Inside) {
          ++Result.Opcodes;
          if (Op[0] == OP_REF) ++Result.Refs;
        }
        if (Op[1] & 0x80) ++Depth;
        if (Op[0] == OP_END && Depth > 0 && --Depth == FormDepth) {
          InForm = Inside = false;
          FormDepth = -1;
        }
        At += OpLength;
      }
    }
    Package += Length;
  }
  return Result;
}

bool ValidRecord(const char16_t *Name, UINTN Size, UINT32 Attributes, const EFI_GUID &Guid = ADDONCARD_FORMSET_GUID) {
  auto Found = sim::FindVariable(Name, Guid);
  return !Found || (Found->Data.size() == Size && Found->Attributes == Attributes);
}

}  // namespace

void Fail(const std::string &Message) {
  std::fprintf(stderr, "\nINVARIANT BROKEN: %s\n", Message.c_str());
  std::abort();
}

void BareMachine() {
  sim::PowerOn();
  ResetDriverState();
  InitializeServiceTables(nullptr, sim::SystemTable());
}

void StartDriver() {
  ResetDriverState();
  if (EFI_ERROR(AddOnCardEntry(nullptr, sim::SystemTable()))) Fail("the driver does not start");
}

void LoadDriver() {
  sim::PowerOn();
  StartDriver();
}

PoolMark MarkPool() {
  return {sim::HeldBlocks(), CachedLanguageList != nullptr, MirroredQuestionTable != nullptr};
}

void CheckPool(const PoolMark &Mark, const char *Where) {
  std::string Errors;
  for (const std::string &Error : sim::TakePoolErrors()) Errors += Error + "; ";
  if (!Errors.empty()) Fail(std::string(Where) + ": pool errors: " + Errors);
  if (VarStoreReadCache.Block != nullptr) Fail(std::string(Where) + ": the read cache is still held");
  // Blocks the driver keeps beyond one call: the language list, for the life
  // of the image, and the mirrored question table while it holds records.
  const long Kept = long{CachedLanguageList != nullptr} - long{Mark.LanguageListCached} +
                    long{MirroredQuestionTable != nullptr} - long{Mark.MirroredTableHeld};
  const std::size_t Held = sim::HeldBlocks();
  if (static_cast<long>(Held) != static_cast<long>(Mark.Held) + Kept)
    Fail(std::string(Where) + ": " + std::to_string(Held) + " pool blocks held, " + std::to_string(Mark.Held) +
         " before and " + std::to_string(Kept) + " kept by the driver");
}

SlotState InspectSlotIn(const std::vector<UINT8> &List, UINTN Slot) {
  const CARD_PAGE_SLOT &Page = CardPageTable[Slot];
  const MAIN_FORM_LABELS &Main = MainFormLabelTable[Slot];
  const Region Card = FindRegion(List, Page.FormId, Page.LabelStart, Page.LabelEnd);
  const Region Goto = FindRegion(List, ADDONCARD_MAIN_FORM_ID, Main.LabelStart, Main.LabelEnd);
  return {Card.Found && Goto.Found, Card.Opcodes > 0, Goto.Refs > 0};
}

SlotState InspectSlot(UINTN Slot) { return InspectSlotIn(ExportDriverList(), Slot); }

void CheckDriverList(const char *Where) {
  if (DriverHiiHandle == nullptr) return;
  const std::vector<UINT8> List = ExportDriverList();
  PAGE_CHECK_RESULT Result = {};
  if (!CheckPackageList(List.data(), List.size(), &Result))
    Fail(std::string(Where) + ": the driver's list does not walk back: " + Result.Message);
  for (UINTN Slot = 0; Slot < CARD_PAGE_SLOTS; ++Slot) {
    const SlotState State = InspectSlotIn(List, Slot);
    if (!State.Found) Fail(std::string(Where) + ": the labels of slot " + std::to_string(Slot) + " are gone");
    if (State.PageHasContent && !State.HasGoto)
      Fail(std::string(Where) + ": card page " + std::to_string(Slot) + " has content but no goto");
    if (Slot >= NextCardPage && (State.PageHasContent || State.HasGoto))
      Fail(std::string(Where) + ": slot " + std::to_string(Slot) + " is filled but was never used");
  }
}

void CheckVariables(const char *Where) {
  if (!ValidRecord(TLX_ADDONCARD_OOB_VAR, ADDONCARD_OOB_VARSTORE_SIZE, ADDONCARD_VOLATILE_VAR_ATTRIBUTES) ||
      !ValidRecord(TLX_ADDONCARD_STRING_VAR, ADDONCARD_STRING_VARSTORE_SIZE, ADDONCARD_VOLATILE_VAR_ATTRIBUTES) ||
      !ValidRecord(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VARSTORE_SIZE, ADDONCARD_PCI_VAR_ATTRIBUTES,
                   ADDONCARD_PCI_VAR_GUID))
    Fail(std::string(Where) + ": a variable has another size or other attributes than its record");
  if (MirroredQuestionCount > MIRRORED_QUESTION_LIMIT || OobSlotCount > OOB_SLOT_LIMIT ||
      StringSlotCount > STRING_SLOT_LIMIT || NextCardPage > CARD_PAGE_SLOTS || KeywordCount < MirroredQuestionCount)
    Fail(std::string(Where) + ": mirror counters out of range");
  // The table is a pool block of MirroredQuestionCapacity records, or none.
  if (MirroredQuestionCount > MirroredQuestionCapacity || (MirroredQuestionCapacity != 0) != (MirroredQuestionTable != nullptr))
    Fail(std::string(Where) + ": the mirrored question table disagrees with its capacity");
  for (UINTN Index = 0; Index < MirroredQuestionCapacity; ++Index) {
    const MIRRORED_QUESTION &Record = MirroredQuestionTable[Index];
    const bool Used = Index < MirroredQuestionCount;
    if (Used != (Record.CardHiiHandle != nullptr))
      Fail(std::string(Where) + ": mirrored question " + std::to_string(Index) + " disagrees with the count");
    if (!Used) continue;
    const UINT8 Width = Record.CardWidth;
    if (Record.OobSlot >= OobSlotCount || (Width != 1 && Width != 2 && Width != 4 && Width != 8) ||
        Record.Keyword[MIRRORED_KEYWORD_CHARS - 1] != 0)
      Fail(std::string(Where) + ": mirrored question " + std::to_string(Index) + " is malformed");
  }
  // The string slots the pages use hold NUL-terminated texts of at most 255 characters.
  auto Strings = sim::FindVariable(TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID);
  if (Strings && Strings->Data.size() == ADDONCARD_STRING_VARSTORE_SIZE && NextCardPage > 0) {
    for (UINTN Slot = 0; Slot < StringSlotCount; ++Slot) {
      const UINT8 *Text = Strings->Data.data() + Slot * ADDONCARD_STRING_SLOT_BYTES;
      bool Ended = false;
      for (UINTN Unit = 0; Unit <= QUESTION_STRING_CHARS && !Ended; ++Unit)
        Ended = Text[2 * Unit] == 0 && Text[2 * Unit + 1] == 0;
      if (!Ended) Fail(std::string(Where) + ": string slot " + std::to_string(Slot) + " is not ended");
    }
  }
}

void CheckAll(const PoolMark &Mark, const char *Where) {
  CheckPool(Mark, Where);
  CheckDriverList(Where);
  CheckVariables(Where);
}

std::u16string Widen(const uint8_t *Data, std::size_t Size) {
  std::u16string Text(Data, Data + Size);
  return Text;
}

}  // namespace fuzz
