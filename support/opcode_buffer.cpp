#include "support/opcode_buffer.h"

#include "support/memory.h"
#include "support/pool.h"

namespace {

constexpr UINTN MAX_UINTN = ~static_cast<UINTN>(0);

bool Usable(const OpCodeBuffer *Buffer) { return Buffer != nullptr && !EFI_ERROR(Buffer->status); }

// Marks the buffer failed (the first reason stays) and gives the null that
// every writer returns then.
UINT8 *Fail(OpCodeBuffer *Buffer, EFI_STATUS Why) {
  if (!EFI_ERROR(Buffer->status)) Buffer->status = Why;
  return nullptr;
}

// Moves the opcodes into a block with room for Count more bytes and the slack.
bool Grow(OpCodeBuffer *Buffer, UINTN Count) {
  if (Count > MAX_UINTN - OPCODE_BUFFER_GROWTH_SLACK ||
      Buffer->capacity > MAX_UINTN - OPCODE_BUFFER_GROWTH_SLACK - Count) {
    Fail(Buffer, EFI_BAD_BUFFER_SIZE);
    return false;
  }
  // At least doubled, so that a page of many opcodes is copied a bounded number
  // of times in all rather than once every few hundred bytes.
  UINTN NewCapacity = Buffer->capacity + Count + OPCODE_BUFFER_GROWTH_SLACK;
  if (Buffer->capacity <= MAX_UINTN / 2 && NewCapacity < 2 * Buffer->capacity)
    NewCapacity = 2 * Buffer->capacity;
  auto *Grown = static_cast<UINT8 *>(PoolRealloc(Buffer->used, NewCapacity, Buffer->data));
  if (Grown == nullptr) {
    Fail(Buffer, EFI_OUT_OF_RESOURCES);
    return false;
  }
  Buffer->data = Grown;
  Buffer->capacity = NewCapacity;
  return true;
}

// Appends the one opcode an encoder wrote at the start of Template.
UINT8 *EmitEncoded(OpCodeBuffer *Buffer, UINT8 *Template, const ByteWriter &Encoded) {
  if (!Usable(Buffer)) return nullptr;
  if (Encoded.Failed() || Encoded.Size() < sizeof(EFI_IFR_OP_HEADER))
    return Fail(Buffer, EFI_INVALID_PARAMETER);
  return EmitOpCode(Buffer, Template, Template[0], Encoded.Size(), 0, (Template[1] & IFR_SCOPE_BIT) != 0);
}

// Room for the longest opcode there can be. Left unset: only the bytes the
// encoder wrote are copied out, and clearing 127 bytes at every opcode of a
// page cost more than encoding it.
struct OPCODE_TEMPLATE {
  UINT8 Bytes[IFR_LENGTH_MASK];
  ByteWriter Out{Bytes, sizeof(Bytes)};
};

}  // namespace

OpCodeBuffer *OpCodeBufferNew() {
  auto *Buffer = static_cast<OpCodeBuffer *>(PoolAllocZero(sizeof(OpCodeBuffer)));
  if (Buffer == nullptr) return nullptr;
  Buffer->data = static_cast<UINT8 *>(PoolAllocZero(OPCODE_BUFFER_INITIAL_CAPACITY));
  if (Buffer->data == nullptr) {
    PoolFree(Buffer);
    return nullptr;
  }
  Buffer->capacity = OPCODE_BUFFER_INITIAL_CAPACITY;
  Buffer->used = 0;
  Buffer->status = EFI_SUCCESS;
  return Buffer;
}

void OpCodeBufferFree(OpCodeBuffer *Buffer) {
  if (Buffer == nullptr) return;
  PoolFree(Buffer->data);
  PoolFree(Buffer);
}

void OpCodeBufferClear(OpCodeBuffer *Buffer) {
  if (Usable(Buffer)) Buffer->used = 0;
}

EFI_STATUS OpCodeBufferStatus(const OpCodeBuffer *Buffer) {
  return Buffer == nullptr ? EFI_INVALID_PARAMETER : Buffer->status;
}

ByteView OpCodeBufferBytes(const OpCodeBuffer *Buffer) {
  return Buffer == nullptr ? ByteView() : ByteView(Buffer->data, Buffer->used);
}

bool OpCodeBufferExpect(OpCodeBuffer *Buffer, UINTN Count) {
  return Usable(Buffer) && (Count <= Buffer->capacity - Buffer->used || Grow(Buffer, Count));
}

UINT8 *OpCodeBufferReserve(OpCodeBuffer *Buffer, UINTN Count) {
  if (!Usable(Buffer)) return nullptr;
  if (Count > Buffer->capacity - Buffer->used && !Grow(Buffer, Count)) return nullptr;
  UINT8 *At = Buffer->data + Buffer->used;
  Buffer->used += Count;
  return At;
}

UINT8 *EmitOpCode(OpCodeBuffer *Buffer, UINT8 *Template, UINT8 OpCode, UINTN Size, UINTN ExtraSize,
                  bool Scope) {
  if (!Usable(Buffer)) return nullptr;
  const bool TemplateFits = Size == 0 || (Size >= sizeof(EFI_IFR_OP_HEADER) && Template != nullptr);
  if (!TemplateFits || ExtraSize > IFR_LENGTH_MASK || Size > IFR_LENGTH_MASK - ExtraSize ||
      Size + ExtraSize < sizeof(EFI_IFR_OP_HEADER))
    return Fail(Buffer, EFI_INVALID_PARAMETER);
  const UINT8 Length = static_cast<UINT8>(Size + ExtraSize);
  const UINT8 Header[sizeof(EFI_IFR_OP_HEADER)] = {OpCode, IfrLengthByte(Length, Scope)};
  if (Size != 0) {
    Template[0] = Header[0];
    Template[1] = Header[1];
  }

  UINT8 *At = OpCodeBufferReserve(Buffer, Length);
  if (At == nullptr) return nullptr;
  // The extra bytes are zeroed: what the caller leaves unwritten never carries
  // stale pool bytes into a form.
  const UINTN Copied = Size != 0 ? Size : sizeof(Header);
  CopyBytes(At, Size != 0 ? Template : Header, Copied);
  ZeroBytes(At + Copied, Length - Copied);
  return At;
}

UINT8 *AppendOpCodes(OpCodeBuffer *Buffer, const OpCodeBuffer *Source) {
  if (!Usable(Buffer)) return nullptr;
  if (!Usable(Source)) return Fail(Buffer, Source == nullptr ? EFI_INVALID_PARAMETER : Source->status);
  const UINTN Count = Source->used;
  UINT8 *At = OpCodeBufferReserve(Buffer, Count);
  if (At == nullptr) return nullptr;
  // Source->data is read only now: when Source is Buffer, the reserve may have moved it.
  if (Count != 0) CopyBytes(At, Source->data, Count);
  return At;
}

UINT8 *EmitEnd(OpCodeBuffer *Buffer) {
  OPCODE_TEMPLATE Template;
  EncodeEnd(Template.Out);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitOneOfOption(OpCodeBuffer *Buffer, EFI_STRING_ID Option, UINT8 Flags, UINT8 Value) {
  constexpr UINT8 DEFAULT_FLAGS = EFI_IFR_OPTION_DEFAULT | EFI_IFR_OPTION_DEFAULT_MFG;
  OPCODE_TEMPLATE Template;
  EncodeOneOfOption(Template.Out, Option, Flags & DEFAULT_FLAGS, EFI_IFR_TYPE_NUM_SIZE_8, Value);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitLabel(OpCodeBuffer *Buffer, UINT16 Number) {
  OPCODE_TEMPLATE Template;
  EncodeLabel(Template.Out, Number);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitNumeric(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question,
                   const IFR_NUMERIC_RANGE &Range) {
  OPCODE_TEMPLATE Template;
  EncodeNumeric(Template.Out, Question, Range, false);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitOneOf(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, const OpCodeBuffer *Options) {
  if (!Usable(Buffer)) return nullptr;
  const UINTN Start = Buffer->used;
  OPCODE_TEMPLATE Template;
  EncodeOneOf(Template.Out, Question, {EFI_IFR_NUMERIC_SIZE_1, 0, 0, 0});
  if (EmitEncoded(Buffer, Template.Bytes, Template.Out) == nullptr ||
      AppendOpCodes(Buffer, Options) == nullptr || EmitEnd(Buffer) == nullptr)
    return nullptr;
  // Taken only now: appending may have moved the storage.
  return Buffer->data + Start;
}

UINT8 *EmitText(OpCodeBuffer *Buffer, EFI_STRING_ID Prompt, EFI_STRING_ID Help, EFI_STRING_ID TextTwo) {
  OPCODE_TEMPLATE Template;
  EncodeText(Template.Out, Prompt, Help, TextTwo);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitString(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, UINT8 MinSize, UINT8 MaxSize,
                  UINT8 Flags) {
  OPCODE_TEMPLATE Template;
  EncodeString(Template.Out, Question, MinSize, MaxSize, Flags);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}

UINT8 *EmitRef(OpCodeBuffer *Buffer, const IFR_QUESTION_FIELDS &Question, EFI_FORM_ID FormId) {
  OPCODE_TEMPLATE Template;
  EncodeRef(Template.Out, Question, FormId);
  return EmitEncoded(Buffer, Template.Bytes, Template.Out);
}
