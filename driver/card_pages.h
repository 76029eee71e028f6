// The card page builder: for each add-on card the scan finds, the next of the
// ten card pages of the driver's form set is filled with the card's visible
// one-of, numeric, string and text statements (flattened from all its forms),
// and a goto to the page is put on the main page. Mirrored one-of and numeric
// questions keep one byte each in TLX_ADDONCARD_OOB_VAR and carry a keyword
// "CSPAC%03X"; mirrored strings keep a 512-byte slot of TLX_ADDONCARD_STRING_VAR.
// The card's current values seed both variables.
//
// A page is built whole or not at all: the card page and its goto reach the HII
// database in one update, after both variables have been written, and a build
// that fails on the way leaves the mirrored question table and its counters as
// they were (the page slot stays used).
#pragma once
#include "driver/card_inventory.h"
#include "support/opcode_buffer.h"

// Question numbering of the mirrored questions.
inline constexpr EFI_QUESTION_ID MIRRORED_QUESTION_ID_BASE = 0x100;  // + n, one-of and numeric
inline constexpr EFI_QUESTION_ID MIRRORED_STRING_ID_BASE = 0x800;    // + s, strings
// Question flags of every mirrored question: changes reach the driver and ask for a reset.
inline constexpr UINT8 MIRRORED_QUESTION_FLAGS = EFI_IFR_FLAG_CALLBACK | EFI_IFR_FLAG_RESET_REQUIRED;
// Bytes of the text buffers, formatting cuts to fit: prompts and option texts
// hold 49 characters, keywords "CSPAC%03X".
inline constexpr UINTN MIRRORED_PROMPT_BYTES = 100;
inline constexpr UINTN MIRRORED_OPTION_BYTES = 100;
inline constexpr UINTN MIRRORED_KEYWORD_BYTES = 40;
// Scopes one forms package may have open while it is walked.
inline constexpr UINTN MIRROR_SCOPE_LIMIT = 16;

// Builds the page of slot NextCardPage for the card whose package list is
// CardHiiHandle: the driver's own list becomes the current HII handle, the
// page's title becomes Title, and MirrorCardForms does the rest. PackageList is
// the card's exported list (PackageListSize bytes, the caller's); DeviceId is
// not used. The slot is used up whatever the outcome; with every slot used,
// nothing is done. When slot 0 is built, the mirrored question table and its
// counters start again.
//   EFI_SUCCESS            page built, or no slot left
//   EFI_OUT_OF_RESOURCES   the pool refused an allocation during the build, or a
//                          platform call failed (PlatformFailures): a string or
//                          a card's value would be missing from the page
//   EFI_DEVICE_ERROR       the string protocol did not take the page's title
//                          (nothing is built: the page would have no title)
//   the statuses of MirrorCardForms
EFI_STATUS BuildCardPage(EFI_HII_HANDLE CardHiiHandle, UINT16 DeviceId, const CHAR16 *Title,
                         const void *PackageList, UINTN PackageListSize);

// Fills the page of slot NextCardPage from the card's package list (read only
// within its PackageListSize bytes) and links it from the main page.
//   EFI_SUCCESS
//   EFI_INVALID_PARAMETER  no handle or list, no slot left, or the label
//                          buffers could not be created
//   EFI_OUT_OF_RESOURCES   the pool refused an allocation during the build
//   the status of a variable that could not be loaded or written, of a failed
//   opcode buffer, or of UpdateFormSections
// On any error the HII database, the mirrored question table, its counters and
// the driver's copies of the variables are as they were.
EFI_STATUS MirrorCardForms(EFI_HII_HANDLE CardHiiHandle, const void *PackageList, UINTN PackageListSize);

// Evaluates the condition that starts at the cursor (the expression opcodes
// after a suppress-if or gray-out-if, in their postfix order) over the values
// of Snapshot, and leaves the cursor on the first opcode after the expression.
// Understood: EQ_ID_VAL (a question the snapshot lacks has the value 0), TRUE,
// FALSE, NOT, AND, OR. A condition that holds anything else, lacks operands,
// overflows the 16-entry stack or does not come to exactly one value is TRUE:
// what it guards is hidden or grayed rather than shown on a guess.
bool EvaluateCondition(IfrCursor &Cursor, const QUESTION_SNAPSHOT *Snapshot);

// Consumes the opcode at the cursor with its whole scope (through the END
// that closes it); one without scope alone. False when the opcodes end or turn
// malformed first: the cursor then stays stopped.
bool SkipScope(IfrCursor &Cursor);

// Two new opcode buffers, *Start holding the label LabelStart and *End the
// label LabelEnd. On failure both are null (nothing is left allocated) and the
// result is EFI_INVALID_PARAMETER.
EFI_STATUS CreateLabelBuffers(OpCodeBuffer **Start, OpCodeBuffer **End, UINT16 LabelStart, UINT16 LabelEnd);
