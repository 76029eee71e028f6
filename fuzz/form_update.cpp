// The driver's own package list as the HII database could hand it back: the
// input stands for the database's export of the driver's list. It goes through
// the pure splice (SpliceFormPackageList) for a card page and for the main
// page, and through UpdateFormSections with a database whose export answers
// the input. A list that was whole must stay whole; a refused update leaves the
// database as it was.
#include <cstring>
#include <string>
#include <vector>

#include "driver/card_pages.h"
#include "driver/globals.h"
#include "fuzz/harness.h"
#include "qemu/page_check.h"
#include "sim/sim.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/opcode_buffer.h"

namespace {

const uint8_t *Export = nullptr;
size_t ExportSize = 0;
EFI_HII_DATABASE_PROTOCOL *Real = nullptr;
EFI_HII_DATABASE_PROTOCOL Fake{};

// The fuzzed export for the driver's list, with the protocol's size rules.
EFI_STATUS EFIAPI FakeExport(const EFI_HII_DATABASE_PROTOCOL *, EFI_HII_HANDLE Handle, UINTN *BufferSize,
                             EFI_HII_PACKAGE_LIST_HEADER *Buffer) {
  if (Handle != DriverHiiHandle) return Real->ExportPackageLists(Real, Handle, BufferSize, Buffer);
  if (BufferSize == nullptr) return EFI_INVALID_PARAMETER;
  if (*BufferSize < ExportSize) {
    *BufferSize = ExportSize;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  std::memcpy(Buffer, Export, ExportSize);
  *BufferSize = ExportSize;
  return EFI_SUCCESS;
}

std::vector<UINT8> RealExport() {
  UINTN Size = 0;
  if (Real->ExportPackageLists(Real, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
  std::vector<UINT8> List(Size);
  Real->ExportPackageLists(Real, DriverHiiHandle, &Size, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()));
  return List;
}

// Why the last list Whole refused does not walk back.
PAGE_CHECK_RESULT LastCheck = {};

bool Whole(const UINT8 *List, size_t Size) {
  LastCheck = {};
  return CheckPackageList(List, Size, &LastCheck);
}

// A card page's content as a page build makes it: its start label, a text,
// a one-of with an option, a numeric; and a goto region.
struct Section {
  OpCodeBuffer *Start = nullptr;
  OpCodeBuffer *End = nullptr;
};

Section CardPage(UINTN Slot) {
  Section Page;
  CreateLabelBuffers(&Page.Start, &Page.End, CardPageTable[Slot].LabelStart, CardPageTable[Slot].LabelEnd);
  EmitText(Page.Start, 41, 41, 0);
  OpCodeBuffer *Options = OpCodeBufferNew();
  EmitOneOfOption(Options, 41, EFI_IFR_OPTION_DEFAULT, 1);
  EmitOneOf(Page.Start, {41, 41, 0x100, 0x1000, 0, 0x14}, Options);
  OpCodeBufferFree(Options);
  EmitNumeric(Page.Start, {41, 41, 0x101, 0x1000, 1, 0x14}, {0, 0, 255, 1});
  return Page;
}

Section GotoRegion(UINTN Slot) {
  Section Region;
  CreateLabelBuffers(&Region.Start, &Region.End, MainFormLabelTable[Slot].LabelStart,
                     MainFormLabelTable[Slot].LabelEnd);
  const CARD_PAGE_SLOT &Page = CardPageTable[Slot];
  EmitRef(Region.Start, {Page.TitleStringId, Page.TitleStringId, Page.FormId, 0, 0, EFI_IFR_FLAG_CALLBACK},
          Page.FormId);
  return Region;
}

void Free(Section &S) {
  OpCodeBufferFree(S.Start);
  OpCodeBufferFree(S.End);
}

void SpliceOne(EFI_FORM_ID FormId, const Section &S, bool InputWhole) {
  const ByteView Start = OpCodeBufferBytes(S.Start), End = OpCodeBufferBytes(S.End);
  std::vector<UINT8> Output(ExportSize + Start.Size() + 64);
  ByteWriter Writer(Output.data(), Output.size());
  const EFI_STATUS Status = SpliceFormPackageList(FormId, ByteView(Export, ExportSize), Start, End, Writer);
  if (EFI_ERROR(Status)) return;
  if (Writer.Failed() || Writer.Size() > Output.size()) fuzz::Fail("a splice succeeded with a failed writer");
  if (InputWhole && !Whole(Output.data(), Writer.Size()))
    fuzz::Fail(std::string("a whole list spliced into a list that does not walk back: ") + LastCheck.Message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  fuzz::LoadDriver();
  Export = Data;
  ExportSize = Size;
  Real = HiiDatabase;
  Fake = *Real;
  Fake.ExportPackageLists = FakeExport;
  const bool InputWhole = Whole(Data, Size);
  const UINTN Slot = Size % CARD_PAGE_SLOTS;

  const fuzz::PoolMark Mark = fuzz::MarkPool();
  Section Page = CardPage(Slot), Goto = GotoRegion(Slot);
  SpliceOne(CardPageTable[Slot].FormId, Page, InputWhole);
  SpliceOne(ADDONCARD_MAIN_FORM_ID, Goto, InputWhole);

  // The update through a database that hands back the input.
  const std::vector<UINT8> Before = RealExport();
  HiiDatabase = &Fake;
  SetCurrentHiiHandle(DriverHiiHandle);
  const FORM_SECTION_UPDATE Sections[] = {{CardPageTable[Slot].FormId, Page.Start, Page.End},
                                          {ADDONCARD_MAIN_FORM_ID, Goto.Start, Goto.End}};
  const EFI_STATUS Status = UpdateFormSections(Sections, 2);
  HiiDatabase = Real;
  Free(Page);
  Free(Goto);
  fuzz::CheckPool(Mark, "UpdateFormSections");
  const std::vector<UINT8> After = RealExport();
  if (EFI_ERROR(Status) && After != Before)
    fuzz::Fail("a refused update changed the database");
  if (!EFI_ERROR(Status) && InputWhole && !Whole(After.data(), After.size()))
    fuzz::Fail(std::string("an update of a whole list left a list that does not walk back: ") + LastCheck.Message);
  return 0;
}
