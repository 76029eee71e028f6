// The formatter over its formats and arguments: FormatUtf16 with a format from
// the input into a buffer of a size from the input, and FormatHexValue.
//
// Conversions read their arguments by kind, and the harness cannot know which
// kinds a fuzzed format asks for. So every argument is one and the same
// pointer to a block that is valid for each kind at once: a NUL-terminated
// narrow and wide text, a GUID and an EFI_TIME (its bytes from the input); as
// a number or a "*" width it is the pointer's value, a large one.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "support/print.h"

namespace {

constexpr std::size_t ARGUMENTS = 24;

struct alignas(8) UniversalArgument {
  UINT8 Bytes[48];
  UINT8 Terminator[8];  // zeros: ends the text in either width
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider Input(Data, Size);
  UniversalArgument Argument = {};
  const std::vector<UINT8> Bytes = Input.ConsumeBytes<UINT8>(sizeof(Argument.Bytes));
  if (!Bytes.empty()) std::memcpy(Argument.Bytes, Bytes.data(), Bytes.size());

  const UINT64 HexValue = Input.ConsumeIntegral<UINT64>();
  const UINTN HexWidth = Input.ConsumeIntegralInRange<UINTN>(0, 40);
  const UINTN HexBufferSize = Input.ConsumeIntegralInRange<UINTN>(0, 80);
  const UINTN BufferSize = Input.ConsumeIntegralInRange<UINTN>(0, 1024);
  const bool WideUnits = Input.ConsumeBool();

  // The rest is the format: one code unit per byte, or per two bytes.
  std::u16string Format;
  const std::vector<UINT8> Rest = Input.ConsumeRemainingBytes<UINT8>();
  if (WideUnits) {
    for (std::size_t Index = 0; Index + 1 < Rest.size(); Index += 2)
      Format.push_back(static_cast<char16_t>(Rest[Index] | Rest[Index + 1] << 8));
  } else {
    Format.assign(Rest.begin(), Rest.end());
  }
  // Each argument read starts at a "%" or a "*": the format is cut where it
  // could read more arguments than the call passes.
  std::size_t Reads = 0;
  for (std::size_t Index = 0; Index < Format.size(); ++Index) {
    if ((Format[Index] == u'%' || Format[Index] == u'*') && ++Reads > ARGUMENTS) {
      Format.resize(Index);
      break;
    }
  }

  // Exactly the bytes asked for, so that the sanitizer sees any write past them.
  std::vector<CHAR16> Output(BufferSize / 2);
  const void *A = &Argument;
  const UINTN Count = FormatUtf16(Output.empty() ? nullptr : Output.data(), BufferSize, Format.c_str(), A, A, A, A,
                                  A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A, A);
  if (BufferSize / 2 == 0 ? Count != 0 : (Count >= BufferSize / 2 || Output[Count] != 0))
    fuzz::Fail("FormatUtf16 wrote past its room or left its text unended");

  std::vector<CHAR16> Hex(HexBufferSize / 2);
  const EFI_STATUS Status = FormatHexValue(Hex.empty() ? nullptr : Hex.data(), HexBufferSize, HexValue, HexWidth);
  if (!EFI_ERROR(Status)) {
    const UINTN Digits = HexWidth != 0 ? HexWidth : std::u16string(Hex.data()).size();
    if ((Digits + 1) * sizeof(CHAR16) > HexBufferSize || Hex[Digits] != 0)
      fuzz::Fail("FormatHexValue wrote more than its buffer holds");
  }
  return 0;
}
