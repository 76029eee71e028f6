#include "forms/variables.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "hii/registration.h"
#include "support/memory.h"

constinit ADDONCARD_PCI_ID_LIST PciIdListCopy = {};
constinit ADDONCARD_OOB_SLOTS OobVarCopy = {};
constinit ADDONCARD_STRING_SLOTS StringVarCopy = {};

namespace {

// What a read of a stored variable found.
enum class StoredRecord { Usable, Unusable, Unreadable };

// Missing, too large (the read refused the buffer) or of another size than the
// record: the variable is rewritten. Any other read error says nothing about the
// stored variable, which may be perfectly good (a device or security error), so
// it is not overwritten; the caller still gets zeros or the defaults to work with.
// *Attributes are the stored variable's, 0 when the firmware does not tell them.
StoredRecord ReadExactRecord(const CHAR16 *Name, const EFI_GUID &Guid, UINTN Size, void *Buffer,
                             EFI_STATUS *Status, UINT32 *Attributes) {
  ZeroBytes(Buffer, Size);
  *Attributes = 0;
  if (RuntimeServices == nullptr) {
    *Status = EFI_NOT_READY;
    return StoredRecord::Unreadable;
  }
  UINTN DataSize = Size;
  *Status = RuntimeServices->GetVariable(Name, &Guid, Attributes, &DataSize, Buffer);
  if (!EFI_ERROR(*Status) && DataSize == Size) return StoredRecord::Usable;
  if (!EFI_ERROR(*Status) || *Status == EFI_NOT_FOUND || *Status == EFI_BUFFER_TOO_SMALL)
    return StoredRecord::Unusable;
  return StoredRecord::Unreadable;
}

// Writes Record with Attributes. The firmware refuses to change the attributes
// of a stored variable, so one stored with others (StoredAttributes, 0 when
// unknown) is deleted first: left in place it could never be written again.
EFI_STATUS WriteRecord(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, UINTN Size,
                       const void *Record, UINT32 StoredAttributes) {
  if (StoredAttributes != 0 && StoredAttributes != Attributes)
    RuntimeServices->SetVariable(Name, &Guid, 0, 0, nullptr);
  return RuntimeServices->SetVariable(Name, &Guid, Attributes, Size, const_cast<void *>(Record));
}

// The OOB and STRING variables: the stored record of exactly Size bytes, or zeros.
// A record of the right size stored with other attributes is kept and stored
// again with the variable's own.
EFI_STATUS LoadVolatileRecord(const CHAR16 *Name, UINTN Size, void *Buffer) {
  EFI_STATUS Status;
  UINT32 Stored = 0;
  const StoredRecord Found = ReadExactRecord(Name, ADDONCARD_FORMSET_GUID, Size, Buffer, &Status, &Stored);
  if (Found == StoredRecord::Usable && Stored == ADDONCARD_VOLATILE_VAR_ATTRIBUTES) return Status;
  if (Found != StoredRecord::Usable) ZeroBytes(Buffer, Size);
  if (Found == StoredRecord::Unreadable) return Status;
  return WriteRecord(Name, ADDONCARD_FORMSET_GUID, ADDONCARD_VOLATILE_VAR_ATTRIBUTES, Size, Buffer, Stored);
}

// A record whose count and first pair are all zero cannot have been edited on the
// form (the count is at least 1 there); it is taken for an erased list.
bool PciRecordIsBlank(const ADDONCARD_PCI_ID_LIST &Record) {
  return Record.PairCount == 0 && Record.VendorId[0] == 0 && Record.DeviceId[0] == 0;
}

}  // namespace

EFI_STATUS LoadOobVar(ADDONCARD_OOB_SLOTS *Buffer) {
  return LoadVolatileRecord(TLX_ADDONCARD_OOB_VAR, sizeof(*Buffer), Buffer);
}

EFI_STATUS LoadStringVar(ADDONCARD_STRING_SLOTS *Buffer) {
  return LoadVolatileRecord(TLX_ADDONCARD_STRING_VAR, sizeof(*Buffer), Buffer);
}

EFI_STATUS LoadPciVar(ADDONCARD_PCI_ID_LIST *Buffer) {
  EFI_STATUS Status;
  UINT32 Stored = 0;
  const StoredRecord Found =
      ReadExactRecord(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, sizeof(*Buffer), Buffer, &Status, &Stored);
  const bool Kept = Found == StoredRecord::Usable && !PciRecordIsBlank(*Buffer);
  if (Kept && Stored == ADDONCARD_PCI_VAR_ATTRIBUTES) return Status;
  if (!Kept) *Buffer = ADDONCARD_PCI_DEFAULTS;
  if (Found == StoredRecord::Unreadable) return Status;
  return WriteRecord(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                     sizeof(*Buffer), Buffer, Stored);
}

namespace {

BOOLEAN PublishRecord(const CHAR16 *Name, void *Copy, const void *Record, UINTN Size) {
  if (Record != Copy) CopyBytes(Copy, Record, Size);
  return WriteBrowserData(Name, Size, static_cast<const UINT8 *>(Copy));
}

}  // namespace

BOOLEAN PublishOobVar(const ADDONCARD_OOB_SLOTS *Record) {
  return PublishRecord(TLX_ADDONCARD_OOB_VAR, &OobVarCopy, Record, sizeof(OobVarCopy));
}

BOOLEAN PublishStringVar(const ADDONCARD_STRING_SLOTS *Record) {
  return PublishRecord(TLX_ADDONCARD_STRING_VAR, &StringVarCopy, Record, sizeof(StringVarCopy));
}

BOOLEAN PublishPciVar(const ADDONCARD_PCI_ID_LIST *Record) {
  return PublishRecord(TLX_ADDONCARD_PCI_VAR, &PciIdListCopy, Record, sizeof(PciIdListCopy));
}

void ResetVariableState() {
  ZeroBytes(&PciIdListCopy, sizeof(PciIdListCopy));
  ZeroBytes(&OobVarCopy, sizeof(OobVarCopy));
  ZeroBytes(&StringVarCopy, sizeof(StringVarCopy));
}
