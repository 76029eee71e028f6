// Putting run-time opcodes into the driver's registered form set: the section
// of a form between two labels is replaced by the opcodes of a buffer, and the
// changed package list goes back to the HII database.
//
// The splicing itself is pure (views in, a bounded writer out), so it can be
// tested and fuzzed without firmware; UpdateFormSection adds the export and
// the update around it.
#pragma once
#include "support/bytes.h"
#include "support/opcode_buffer.h"
#include "support/string_batch.h"
#include "uefi/hii.h"

// Replaces, in the package list of the current HII handle (CurrentHiiHandle),
// whatever lies between the start label and the end label of form FormId of
// the form set ADDONCARD_FORMSET_GUID with the opcodes that follow the start
// label in Start. Start's first opcode is the start label; End's first opcode
// is the end label (anything after it is ignored). Neither buffer is changed.
// Every forms package holding that form and both labels is changed; a label
// pair in another form, or in a form of another form set, is not touched.
//   EFI_SUCCESS            the database took the changed list
//   EFI_INVALID_PARAMETER  Start or End missing (the end label is not optional),
//                          a buffer that does not begin with a whole opcode
//                          without scope (a label),
//                          a Start whose opcodes are not whole or leave a scope
//                          open, or no current HII handle
//   the status of a failed buffer (EFI_OUT_OF_RESOURCES when it could not
//                          grow): a page with missing opcodes is never sent
//   EFI_NOT_FOUND          no HII database; or no forms package holds the form
//                          with the start label and, after it inside the same
//                          scope, the end label
//   EFI_OUT_OF_RESOURCES   a pool block could not be obtained
//   EFI_VOLUME_CORRUPTED   the exported list is malformed (nothing is sent)
//   EFI_BAD_BUFFER_SIZE    the changed list would be too long for its headers
//   the status of the first export when it is not EFI_BUFFER_TOO_SMALL (an
//   EFI_SUCCESS there is returned too and changes nothing), of the second
//   export, or of UpdatePackageList
// On every status but the last, the database is left as it was.
EFI_STATUS UpdateFormSection(EFI_FORM_ID FormId, const OpCodeBuffer *Start, const OpCodeBuffer *End);

// One section to replace: the opcodes after Start's label go between the labels
// Start and End begin with, in form FormId.
struct FORM_SECTION_UPDATE {
  EFI_FORM_ID FormId;
  const OpCodeBuffer *Start;
  const OpCodeBuffer *End;
};

// UpdateFormSection for several sections at once: the list is exported once,
// every section is spliced in turn (each in the result of the one before), and
// the database gets one update, so that either all sections change or none
// does (a card page and the goto that leads to it). The statuses of
// UpdateFormSection; EFI_NOT_FOUND when any one section is not found, and
// EFI_INVALID_PARAMETER also for a Count of 0.
EFI_STATUS UpdateFormSections(const FORM_SECTION_UPDATE *Sections, UINTN Count);

// UpdateFormSections on a list the caller exported from the current HII handle
// (Exported; nothing may have changed the list since), with the strings of
// Strings added to its string packages (AppendBatchToPackage, the keywords in
// KeywordLanguage), all in one update: the page's forms and its strings reach
// the database together or not at all. The statuses of UpdateFormSections, and
// those of AppendBatchToPackage for a string package that cannot take them.
EFI_STATUS UpdateFormSectionsAndStrings(ByteView Exported, const FORM_SECTION_UPDATE *Sections, UINTN Count,
                                        const STRING_BATCH &Strings, const CHAR8 *KeywordLanguage);

// Writes to Output a copy of the forms package Package (header included) in
// which the section of form FormId between the labels is replaced by Start's
// opcodes after its first, and fixes the copy's 24-bit length. Package is read
// only up to the smaller of its stated length and its size.
//   EFI_SUCCESS            the copy is written
//   EFI_NOT_FOUND          the form set, the form, the start label in it, or
//                          the end label after it in the same scope is missing
//   EFI_INVALID_PARAMETER  Start or End does not begin with a whole opcode
//                          without scope, or Start's opcodes are not whole or
//                          leave a scope open
//   EFI_BUFFER_TOO_SMALL   Output has no room for the copy
//   EFI_BAD_BUFFER_SIZE    the copy would be too long for a package header
// Nothing is written to Output unless the result is EFI_SUCCESS.
EFI_STATUS SpliceFormPackage(EFI_FORM_ID FormId, ByteView Package, ByteView Start, ByteView End,
                             ByteWriter &Output);

// Writes to Output a copy of the package list List in which every forms
// package is passed through SpliceFormPackage where it applies, and fixes the
// copy's PackageLength. The statuses of SpliceFormPackage, except that
// EFI_NOT_FOUND means that no package changed, and:
//   EFI_VOLUME_CORRUPTED   List is malformed (a header or a length out of bounds)
// Output holds a whole list only when the result is EFI_SUCCESS.
EFI_STATUS SpliceFormPackageList(EFI_FORM_ID FormId, ByteView List, ByteView Start, ByteView End,
                                 ByteWriter &Output);
