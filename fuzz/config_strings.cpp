// Configuration strings: requests into the driver's ExtractConfig, configurations
// into its RouteConfig, and the router's answers coming back into the reads
// (and writes) of a card's buffer store. The first byte picks the road; text
// is the rest of the input, one byte per code unit.
//
//   0  ExtractConfig(Request)            Request null when the text is empty
//   1  RouteConfig(Configuration)
//   2  ReadVarStoreBlock and WriteVarStoreBlock of the sample card's store:
//      five bytes (the block size: 0 the store's, else 1..255; the statuses of
//      the router's ExtractConfig and RouteConfig; a null answer when 1; where
//      Progress points, in characters), then the router's ExtractConfig answer
//   3  Callback, with an open form browser's edit buffers of the OOB and PCI
//      stores answering the text (one byte first: the status of the read)
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "driver/globals.h"
#include "forms/config_access.h"
#include "fuzz/harness.h"
#include "hii/foreign_varstore.h"
#include "sim/card_fixture.h"
#include "sim/sim.h"

namespace {

constexpr EFI_STATUS STATUSES[] = {EFI_SUCCESS, EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES,
                                   EFI_BUFFER_TOO_SMALL, EFI_DEVICE_ERROR};

// The input, read from the front.
struct Reader {
  const uint8_t *Data;
  size_t Size;
  uint8_t Byte() {
    if (Size == 0) return 0;
    --Size;
    return *Data++;
  }
  std::u16string Rest() {
    std::u16string Text(Data, Data + Size);
    Size = 0;
    return Text;
  }
};

void CheckProgress(const CHAR16 *Text, std::size_t Length, const CHAR16 *Progress, const char *Where) {
  if (Text != nullptr && (Progress < Text || Progress > Text + Length))
    fuzz::Fail(std::string(Where) + ": Progress points outside the string");
}

void Extract(Reader &Input) {
  const std::u16string Request = Input.Rest();
  const CHAR16 *Given = Request.empty() ? nullptr : Request.c_str();
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  CHAR16 *Progress = nullptr, *Results = nullptr;
  const EFI_STATUS Status = ExtractConfig(&AddOnCardConfigAccess, Given, &Progress, &Results);
  CheckProgress(Given, Request.size(), Progress, "ExtractConfig");
  if (EFI_ERROR(Status) && Results != nullptr) fuzz::Fail("ExtractConfig failed with results");
  if (!EFI_ERROR(Status) && Results == nullptr) fuzz::Fail("ExtractConfig succeeded without results");
  if (Results != nullptr) sim::SystemTable()->BootServices->FreePool(Results);
  fuzz::CheckPool(Mark, "ExtractConfig");
}

void Route(Reader &Input) {
  const std::u16string Configuration = Input.Rest();
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  CHAR16 *Progress = nullptr;
  RouteConfig(&AddOnCardConfigAccess, Configuration.c_str(), &Progress);
  CheckProgress(Configuration.c_str(), Configuration.size(), Progress, "RouteConfig");
  fuzz::CheckPool(Mark, "RouteConfig");
}

// ---- a router whose answers come from the input ---------------------------------------

struct RouterAnswer {
  std::u16string Results;
  EFI_STATUS ExtractStatus;
  EFI_STATUS RouteStatus;
  bool NullResults;
  size_t ProgressAt;  // characters into the request
};
RouterAnswer Answer;
EFI_HII_CONFIG_ROUTING_PROTOCOL *RealRouter = nullptr;
EFI_HII_CONFIG_ROUTING_PROTOCOL FakeRouter{};

CHAR16 *ProgressInto(const CHAR16 *Text) {
  size_t Length = 0;
  while (Text[Length] != 0) ++Length;
  return const_cast<CHAR16 *>(Text) + (Answer.ProgressAt < Length ? Answer.ProgressAt : Length);
}

EFI_STATUS EFIAPI FakeExtract(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Request, CHAR16 **Progress,
                              CHAR16 **Results) {
  if (Request == nullptr || Progress == nullptr || Results == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = ProgressInto(Request);
  *Results = nullptr;
  // A router that fails hands out no string.
  if (Answer.NullResults || EFI_ERROR(Answer.ExtractStatus)) return Answer.ExtractStatus;
  void *Block = nullptr;
  const UINTN Bytes = (Answer.Results.size() + 1) * sizeof(CHAR16);
  if (EFI_ERROR(sim::SystemTable()->BootServices->AllocatePool(EfiBootServicesData, Bytes, &Block)))
    return EFI_OUT_OF_RESOURCES;
  __builtin_memcpy(Block, Answer.Results.c_str(), Bytes);
  *Results = static_cast<CHAR16 *>(Block);
  return Answer.ExtractStatus;
}

EFI_STATUS EFIAPI FakeRoute(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Configuration,
                            CHAR16 **Progress) {
  if (Configuration == nullptr || Progress == nullptr) return EFI_INVALID_PARAMETER;
  *Progress = ProgressInto(Configuration);
  return Answer.RouteStatus;
}

void ReadAndWriteCardStore(Reader &Input) {
  sim::CardDriver &Card = sim::PublishSampleCard();
  const sim::CardStore &Store = Card.Stores.front();
  const std::u16string Name(Store.Name.begin(), Store.Name.end());
  RegisterVarStore(Card.HiiHandle, Name.c_str(), Store.Guid, Store.Id, Store.Size, 0, 0);
  const uint8_t SizeByte = Input.Byte();
  const size_t Size = SizeByte == 0 ? Store.Size : SizeByte;
  Answer.ExtractStatus = STATUSES[Input.Byte() % std::size(STATUSES)];
  Answer.RouteStatus = STATUSES[Input.Byte() % std::size(STATUSES)];
  Answer.NullResults = Input.Byte() == 1;
  Answer.ProgressAt = Input.Byte();
  Answer.Results = Input.Rest();

  RealRouter = ConfigRouting;
  FakeRouter = *RealRouter;
  FakeRouter.ExtractConfig = FakeExtract;
  FakeRouter.RouteConfig = FakeRoute;
  ConfigRouting = &FakeRouter;
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  std::vector<UINT8> Block(Size, 0xA5);
  const EFI_STATUS Read = ReadVarStoreBlock(Card.HiiHandle, Name.c_str(), &Store.Guid, Block.data(), Size);
  if (EFI_ERROR(Read) && VarStoreReadCache.Block != nullptr) fuzz::Fail("a failed read filled the read cache");
  if (EFI_ERROR(Read) && Block != std::vector<UINT8>(Size, 0xA5)) fuzz::Fail("a failed read changed the block");
  // A second read of the same store is served from the cache, whatever the router says now.
  if (!EFI_ERROR(Read)) {
    std::vector<UINT8> Again(Size);
    Answer.ExtractStatus = EFI_DEVICE_ERROR;
    if (EFI_ERROR(ReadVarStoreBlock(Card.HiiHandle, Name.c_str(), &Store.Guid, Again.data(), Size)) || Again != Block)
      fuzz::Fail("a cached read differs from the read it keeps");
  }
  WriteVarStoreBlock(Card.HiiHandle, Name.c_str(), &Store.Guid, Block.data(), Size);
  if (VarStoreReadCache.Block != nullptr) fuzz::Fail("a write kept the read cache");
  ConfigRouting = RealRouter;
  fuzz::CheckPool(Mark, "ReadVarStoreBlock");
}

// ---- a form browser whose edit buffers come from the input ------------------------------

std::u16string BrowserText;
EFI_STATUS BrowserStatus = EFI_SUCCESS;

EFI_STATUS EFIAPI FakeBrowserCallback(const EFI_FORM_BROWSER2_PROTOCOL *, UINTN *Size, CHAR16 *Data,
                                      BOOLEAN Retrieve, const EFI_GUID *, const CHAR16 *) {
  if (Size == nullptr) return EFI_INVALID_PARAMETER;
  if (!Retrieve) {
    // What the driver hands back is a whole string within the size it gives.
    const std::u16string_view Given(Data, *Size / sizeof(CHAR16));
    if (Given.find(u'\0') == std::u16string_view::npos) fuzz::Fail("browser data handed back without its NUL");
    return EFI_SUCCESS;
  }
  if (EFI_ERROR(BrowserStatus)) return BrowserStatus;
  const UINTN Bytes = (BrowserText.size() + 1) * sizeof(CHAR16);
  if (*Size < Bytes) {
    *Size = Bytes;
    return EFI_BUFFER_TOO_SMALL;
  }
  __builtin_memcpy(Data, BrowserText.c_str(), Bytes);
  *Size = Bytes;
  return EFI_SUCCESS;
}

void BrowserCallback(Reader &Input) {
  BrowserStatus = STATUSES[Input.Byte() % std::size(STATUSES)];
  BrowserText = Input.Rest();
  EFI_FORM_BROWSER2_PROTOCOL Browser = {nullptr, FakeBrowserCallback};
  FormBrowser2 = &Browser;
  const fuzz::PoolMark Mark = fuzz::MarkPool();
  EFI_BROWSER_ACTION_REQUEST Request = 0;
  EFI_IFR_TYPE_VALUE Value = {};
  Callback(&AddOnCardConfigAccess, EFI_BROWSER_ACTION_CHANGED, 0x100, EFI_IFR_TYPE_NUM_SIZE_8, &Value, &Request);
  fuzz::CheckPool(Mark, "Callback");
  FormBrowser2 = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Reader Input{Data, Size};
  fuzz::LoadDriver();
  switch (Input.Byte() % 4) {
    case 0:
      Extract(Input);
      break;
    case 1:
      Route(Input);
      break;
    case 2:
      ReadAndWriteCardStore(Input);
      break;
    default:
      BrowserCallback(Input);
      break;
  }
  fuzz::CheckVariables("configuration strings");
  return 0;
}
