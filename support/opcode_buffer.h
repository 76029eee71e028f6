// Growable buffers of IFR opcodes and one writer per opcode the driver emits at
// run time. The writers encode through support/ifr_encode.h, the same encoding
// the static form set is built with.
//
// A buffer whose enlargement fails (or that is handed an opcode it cannot
// hold) turns failed for good: nothing more is written to it, every writer
// gives null, and the status tells why. Callers need not test each writer's
// result; UpdateFormSection refuses a failed buffer, so a page with missing
// opcodes never reaches the HII database.
#pragma once
#include "support/bytes.h"
#include "support/ifr_encode.h"

inline constexpr UINTN OPCODE_BUFFER_INITIAL_CAPACITY = 512;
// Added beyond each request when the buffer grows (which at least doubles it),
// so that growing is rare.
inline constexpr UINTN OPCODE_BUFFER_GROWTH_SLACK = 512;

struct OpCodeBuffer {
  UINT8 *data;        // pool block of capacity bytes: the opcodes, back to back
  UINT64 capacity;    // bytes in data
  UINT64 used;        // bytes holding opcodes; never above capacity
  EFI_STATUS status;  // EFI_SUCCESS until a write could not be made, then why, for good:
                      //   EFI_OUT_OF_RESOURCES   the storage could not be enlarged
                      //   EFI_BAD_BUFFER_SIZE    the size asked for cannot be counted
                      //   EFI_INVALID_PARAMETER  an opcode no writer can encode, or a missing
                      //                          source buffer was appended
                      // or the status of a failed buffer that was appended to it.
};

// A new empty buffer (capacity 512, used 0), or null when either pool block
// cannot be obtained (nothing is left allocated then).
OpCodeBuffer *OpCodeBufferNew();
// Releases the storage and the record; null is ignored.
void OpCodeBufferFree(OpCodeBuffer *Buffer);

// Empties a usable buffer for reuse, its storage kept; a failed one stays failed.
void OpCodeBufferClear(OpCodeBuffer *Buffer);

// EFI_SUCCESS for a usable buffer, the sticky failure otherwise; a null buffer
// gives EFI_INVALID_PARAMETER.
EFI_STATUS OpCodeBufferStatus(const OpCodeBuffer *Buffer);
// The opcodes written so far; empty for a null buffer.
ByteView OpCodeBufferBytes(const OpCodeBuffer *Buffer);

// Grows a usable buffer, when it has less room, to hold Count more bytes without
// growing again: for a caller that knows roughly how much it will write. False
// when the buffer failed or cannot grow (it is then failed).
bool OpCodeBufferExpect(OpCodeBuffer *Buffer, UINTN Count);

// Count bytes at the end of the buffer, which now count as used; the caller
// fills them. When they do not fit, the storage first grows to capacity +
// Count + 512 bytes, or to twice its capacity when that is more (new bytes
// zeroed, the opcodes kept). Null, and the buffer
// failed, when it cannot grow; null on a failed or null buffer.
UINT8 *OpCodeBufferReserve(OpCodeBuffer *Buffer, UINTN Count);

// Writes the opcode header into Template (byte 0 OpCode, byte 1 the length
// Size + ExtraSize and the scope bit), then appends Size bytes of Template and
// ExtraSize zero bytes for the caller to fill through the returned pointer,
// which points at the new opcode. Size is 0 (the header is then written into
// the buffer alone) or at least 2; Size + ExtraSize is 2 to 127. Anything else
// fails the buffer with EFI_INVALID_PARAMETER and writes nothing.
UINT8 *EmitOpCode(OpCodeBuffer *Buffer, UINT8 *Template, UINT8 OpCode, UINTN Size, UINTN ExtraSize,
                  bool Scope);

// Appends all of Source's opcodes (Source is unchanged; it may be Buffer
// itself) and points at the first of them. A failed Source fails Buffer with
// Source's status (a null Source with EFI_INVALID_PARAMETER), so a page that
// lost part of itself is never taken for whole.
UINT8 *AppendOpCodes(OpCodeBuffer *Buffer, const OpCodeBuffer *Source);

// The writers: each appends one opcode and points at it, or gives null.
UINT8 *EmitEnd(OpCodeBuffer *Buffer);
// Flags keep only EFI_IFR_OPTION_DEFAULT and EFI_IFR_OPTION_DEFAULT_MFG; the
// value is one byte (EFI_IFR_TYPE_NUM_SIZE_8).
UINT8 *EmitOneOfOption(OpCodeBuffer *Buffer, EFI_STRING_ID Option, UINT8 Flags, UINT8 Value);
// A label: the GUID opcode of IFR_EXTENSION_GUID, extended opcode 0, Number.
UINT8 *EmitLabel(OpCodeBuffer *Buffer, UINT16 Number);
// A numeric without scope; its bounds are cut to the width the flags give.
UINT8 *EmitNumeric(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, const IFR_NUMERIC_RANGE &Range);
// A one-of of one-byte values (flags 0, bounds 0) with scope, then all the
// opcodes of Options (which stays the caller's), then an END.
UINT8 *EmitOneOf(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, const OpCodeBuffer *Options);
UINT8 *EmitText(OpCodeBuffer *Buffer, EFI_STRING_ID Prompt, EFI_STRING_ID Help, EFI_STRING_ID TextTwo);
UINT8 *EmitString(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, UINT8 MinSize, UINT8 MaxSize,
                  UINT8 Flags);
// A goto to FormId of the driver's own form set.
UINT8 *EmitRef(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, EFI_FORM_ID FormId);
