// Language lists and strings as the string protocol hands them out: a string
// protocol whose GetLanguages and GetString answer what the input says
// (lists and texts without their NUL, odd sizes, sizes that change between the
// two calls of a read, errors), and a PlatformLang variable from the input.
// Through GetStringInBestLanguage, SetStringInLanguages (its own list and the
// package's), GetPackageLanguages and PickBestLanguage.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "driver/globals.h"
#include "fuzz/harness.h"
#include "sim/sim.h"
#include "support/language.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

enum class Kind : uint8_t { Honest, Grows, InvalidLanguage, NotFound, SuccessAtOnce, DeviceError };

struct Reply {
  Kind How;
  std::vector<uint8_t> Bytes;
};

// Replies to GetLanguages and GetString in the order the calls come; when they
// run out, the last one repeats.
std::deque<Reply> LanguageReplies, StringReplies;
EFI_STATUS WriteStatus = EFI_SUCCESS;
EFI_HII_STRING_PROTOCOL Fake{};
UINTN Growth = 0;

Reply Next(std::deque<Reply> &Replies) {
  if (Replies.empty()) return {Kind::NotFound, {}};
  Reply Current = Replies.front();
  if (Replies.size() > 1) Replies.pop_front();
  return Current;
}

// The protocol's size rules over Bytes; Grows reports one byte more each call.
EFI_STATUS Answer(const Reply &R, void *Buffer, UINTN *Size) {
  if (Size == nullptr) return EFI_INVALID_PARAMETER;
  switch (R.How) {
    case Kind::InvalidLanguage:
      return EFI_INVALID_LANGUAGE;
    case Kind::NotFound:
      return EFI_NOT_FOUND;
    case Kind::DeviceError:
      return EFI_DEVICE_ERROR;
    case Kind::SuccessAtOnce:
      *Size = 0;
      return EFI_SUCCESS;
    case Kind::Grows:
      *Size = R.Bytes.size() + ++Growth;
      return EFI_BUFFER_TOO_SMALL;
    case Kind::Honest:
      break;
  }
  if (*Size < R.Bytes.size()) {
    *Size = R.Bytes.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (!R.Bytes.empty()) std::memcpy(Buffer, R.Bytes.data(), R.Bytes.size());
  *Size = R.Bytes.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE, CHAR8 *Languages, UINTN *Size) {
  return Answer(Next(LanguageReplies), Languages, Size);
}

EFI_STATUS EFIAPI GetString(const EFI_HII_STRING_PROTOCOL *, const CHAR8 *Language, EFI_HII_HANDLE, EFI_STRING_ID,
                            EFI_STRING String, UINTN *Size, EFI_FONT_INFO **) {
  if (Language == nullptr) return EFI_INVALID_PARAMETER;
  return Answer(Next(StringReplies), String, Size);
}

bool Terminated(const CHAR8 *Text) {
  // Every language the driver names is a NUL-terminated entry without ';'.
  for (std::size_t Index = 0; Index < 4096; ++Index) {
    if (Text[Index] == 0) return true;
    if (Text[Index] == ';') return false;
  }
  return false;
}

EFI_STATUS EFIAPI NewString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE, EFI_STRING_ID *StringId,
                            const CHAR8 *Language, const CHAR16 *, const CHAR16 *Text, const EFI_FONT_INFO *) {
  if (StringId == nullptr || Language == nullptr || Text == nullptr || !Terminated(Language))
    fuzz::Fail("NewString got a malformed argument");
  if (!EFI_ERROR(WriteStatus)) *StringId = 42;
  return WriteStatus;
}

EFI_STATUS EFIAPI SetString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE, EFI_STRING_ID StringId,
                            const CHAR8 *Language, const CHAR16 *Text, const EFI_FONT_INFO *) {
  if (StringId == 0 || Language == nullptr || Text == nullptr || !Terminated(Language))
    fuzz::Fail("SetString got a malformed argument");
  return WriteStatus;
}

Reply TakeReply(FuzzedDataProvider &Input) {
  Reply R;
  R.How = static_cast<Kind>(Input.ConsumeIntegralInRange<int>(0, 5));
  if (R.How != Kind::Honest && Input.ConsumeBool()) R.How = Kind::Honest;
  const std::string Bytes = Input.ConsumeRandomLengthString(256);
  R.Bytes.assign(Bytes.begin(), Bytes.end());
  return R;
}

std::string Text(FuzzedDataProvider &Input) { return Input.ConsumeRandomLengthString(64); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider Input(Data, Size);
  fuzz::BareMachine();
  Growth = 0;
  LanguageReplies.clear();
  StringReplies.clear();
  for (int Count = Input.ConsumeIntegralInRange<int>(1, 4); Count > 0; --Count)
    LanguageReplies.push_back(TakeReply(Input));
  for (int Count = Input.ConsumeIntegralInRange<int>(1, 6); Count > 0; --Count)
    StringReplies.push_back(TakeReply(Input));
  WriteStatus = Input.ConsumeIntegralInRange<int>(0, 7) == 0 ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  if (Input.ConsumeBool()) {
    const std::string Platform = Text(Input);
    sim::WriteVariable(u"PlatformLang", EFI_GLOBAL_VARIABLE, 0x7, std::vector<UINT8>(Platform.begin(), Platform.end()));
  }
  const std::string Supported = Text(Input), First = Text(Input), Second = Text(Input), Own = Text(Input);
  const std::u16string Written(Supported.begin(), Supported.end());

  Fake = *HiiString;
  Fake.GetLanguages = GetLanguages;
  Fake.GetString = GetString;
  Fake.NewString = NewString;
  Fake.SetString = SetString;
  HiiString = &Fake;
  static UINT8 Token;
  SetCurrentHiiHandle(reinterpret_cast<EFI_HII_HANDLE>(&Token));

  const fuzz::PoolMark Mark = fuzz::MarkPool();
  // A text handed out ends within its block (the sanitizer watches the walk).
  CHAR16 *Best = GetStringInBestLanguage(reinterpret_cast<EFI_HII_HANDLE>(&Token), 7);
  for (const CHAR16 *Unit = Best; Unit != nullptr && *Unit != 0; ++Unit) {
  }
  PoolFree(Best);
  PoolFree(GetPackageLanguages(reinterpret_cast<EFI_HII_HANDLE>(&Token)));
  SetStringInLanguages(Input.ConsumeBool() ? 0 : 9, Written.c_str(), nullptr);
  SetStringInLanguages(Input.ConsumeBool() ? 0 : 9, Written.c_str(), reinterpret_cast<const CHAR8 *>(Own.c_str()));
  PoolFree(PickBestLanguage(reinterpret_cast<const CHAR8 *>(Supported.c_str()),
                            reinterpret_cast<const CHAR8 *>(First.c_str()),
                            reinterpret_cast<const CHAR8 *>(Second.c_str()), nullptr));
  fuzz::CheckPool(Mark, "languages");
  return 0;
}
