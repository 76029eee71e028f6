// New strings of a page, gathered while it is built and written into the
// driver's list with the page's forms in one update, instead of one string
// service call (each of which walks the whole package in the firmware) per
// string and language.
//
// The strings reach the list exactly as NewString, one per text in the display
// languages, followed by SetString of a keyword in the keyword language, would
// leave them: every string package gets every new id, in order from the id that
// follows the packages' last one; the display-language packages hold the text,
// the package of the keyword language holds the keyword or the empty string,
// other keyword namespaces the empty string. Each is one UCS-2 string block.
#pragma once
#include "support/bytes.h"
#include "support/opcode_buffer.h"
#include "uefi/hii.h"

struct STRING_BATCH {
  EFI_STRING_ID FirstId;  // the id of the first new string
  UINT16 Count;
  OpCodeBuffer *Display;  // a block per string: its text (grown as opcode buffers grow)
  OpCodeBuffer *Keyword;  // a block per string: its keyword, or the empty string
};

// An empty batch whose strings take ids from FirstId on.
//   EFI_SUCCESS, EFI_INVALID_PARAMETER (Batch null, FirstId 0), EFI_OUT_OF_RESOURCES
EFI_STATUS StartStringBatch(STRING_BATCH *Batch, EFI_STRING_ID FirstId);
void FreeStringBatch(STRING_BATCH *Batch);

// Adds Text (NUL-terminated) and gives the id it will have; 0 when the ids run
// out or a buffer failed (the batch then stays failed: see StringBatchStatus).
EFI_STRING_ID BatchNewString(STRING_BATCH *Batch, const CHAR16 *Text);
// Makes Keyword the text of Id in the keyword language; only the string added
// last can be given one. False otherwise, or when a buffer failed.
bool BatchSetKeyword(STRING_BATCH *Batch, EFI_STRING_ID Id, const CHAR16 *Keyword);
// EFI_SUCCESS, or why strings were lost (the status of a failed buffer).
EFI_STATUS StringBatchStatus(const STRING_BATCH &Batch);

// The id NewString would give next in List: the one after the last id of its
// string packages, which must all agree.
//   EFI_SUCCESS
//   EFI_NOT_FOUND          the list has no string package
//   EFI_UNSUPPORTED        a string package with blocks not read here
//   EFI_VOLUME_CORRUPTED   a malformed list or string package
//   EFI_INVALID_PARAMETER  the packages disagree, or no id is left
EFI_STATUS NextStringId(ByteView List, EFI_STRING_ID *NextId);

// Writes to Output the string package Package with the batch's blocks put in
// before its END block for the language KeywordLanguage names (see above), and
// its length fixed. The statuses of NextStringId for that package, and
// EFI_BUFFER_TOO_SMALL (Output has no room) or EFI_BAD_BUFFER_SIZE (the package
// would be too long for its header).
EFI_STATUS AppendBatchToPackage(ByteView Package, const STRING_BATCH &Batch, const CHAR8 *KeywordLanguage,
                                ByteWriter &Output);
// Bytes a string package grows by at most.
UINTN StringBatchGrowth(const STRING_BATCH &Batch);

// Writes the batch's strings one by one through the string protocol into the
// current HII handle's list, as the calls the batch stands for: NewString in
// the display languages, then SetString of the keyword. For tests that compare
// the two ways.
//   EFI_SUCCESS; EFI_DEVICE_ERROR when a string got another id than the batch
//   gave it; EFI_OUT_OF_RESOURCES; the failure of a failed batch
EFI_STATUS WriteStringBatchOneByOne(const STRING_BATCH &Batch, const CHAR8 *KeywordLanguage);
