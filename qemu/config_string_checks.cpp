// The driver's configuration header for its PCI list, built from the device
// path the firmware keeps on the driver handle, fed to the firmware's own router
// as the configuration-access handlers feed it: BlockToConfig over the default
// record, the header matching of the answer, the decoding of its VALUE, and
// ConfigToBlock back.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/config_string.h"
#include "qemu/check_groups.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"

namespace {

constexpr CHAR16 EXPECTED_PCI_HEADER[] =
    u"GUID=e9ddc9c604d48044929cecf3fbdaf7dd"
    u"&NAME=0054004c0058005f004100440044004f004e0043004100520044005f005000430049005f005600410052"
    u"&PATH=010414007e0f87c35e59504fb37fc1d5b7cbeb3e7fff0400";
constexpr CHAR16 WHOLE_RECORD_BLOCK[] = u"&OFFSET=0&WIDTH=0000000000000029";
// The default record as one number, last byte first, in the router's lowercase.
constexpr CHAR16 EXPECTED_DEFAULT_VALUE[] =
    u"01"
    u"000000000000000000000000000000000000"
    u"1021"
    u"000000000000000000000000000000000000"
    u"15b3";
static_assert(ArrayCount(EXPECTED_DEFAULT_VALUE) - 1 == 2 * ADDONCARD_PCI_VARSTORE_SIZE);
constexpr CHAR16 VALUE_KEY[] = u"&VALUE=";
constexpr UINTN ANSWER_NOTE_CHARS = 512;

// Header and block, as the handlers build their BlockToConfig request.
CHAR16 *BuildWholeRecordRequest(const CHAR16 *Header) {
  const UINTN Chars = Utf16Length(Header) + ArrayCount(WHOLE_RECORD_BLOCK);
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(Chars * sizeof(CHAR16)));
  if (Request == nullptr) return nullptr;
  if (EFI_ERROR(Utf16CopyChecked(Request, Chars, Header)) ||
      EFI_ERROR(Utf16AppendChecked(Request, Chars, WHOLE_RECORD_BLOCK))) {
    PoolFree(Request);
    return nullptr;
  }
  return Request;
}

struct MatchCase {
  const CHAR8 *Check;
  const EFI_GUID *Guid;
  const CHAR16 *Name;
  BOOLEAN Expected;
};

constexpr MatchCase ANSWER_MATCH_CASES[] = {
    {"config/MatchConfigHeader accepts the answer for the PCI variable's GUID and name",
     &ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR, TRUE},
    {"config/MatchConfigHeader rejects the answer for the form-set GUID with the same name",
     &ADDONCARD_FORMSET_GUID, TLX_ADDONCARD_PCI_VAR, FALSE},
    {"config/MatchConfigHeader rejects the answer for the PCI GUID with the OOB name",
     &ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_OOB_VAR, FALSE},
};

void CheckAnswerValue(CheckLog &Log, const CHAR16 *Answer, const CHAR16 *Request) {
  const UINTN RequestChars = Utf16Length(Request);
  const UINTN ValueKeyChars = ArrayCount(VALUE_KEY) - 1;
  const UINTN ValueChars = ArrayCount(EXPECTED_DEFAULT_VALUE) - 1;
  const bool EchoesRequest = Utf16CompareN(Answer, Request, RequestChars) == 0;
  const CHAR16 *Value = Answer + RequestChars + ValueKeyChars;
  const bool Shaped = EchoesRequest && Utf16Length(Answer) == RequestChars + ValueKeyChars + ValueChars &&
                      Utf16CompareN(Answer + RequestChars, VALUE_KEY, ValueKeyChars) == 0;
  ReportLine Details;
  Log.Record(
      "config/the answer is the request, then &VALUE= and the 82 lowercase digits, last byte first",
      Shaped && Utf16CompareN(Value, EXPECTED_DEFAULT_VALUE, ValueChars) == 0,
      Details.Text(EchoesRequest ? "the VALUE differs" : "the answer does not begin with the request"));
  if (!Shaped) return;

  UINT8 Decoded[ADDONCARD_PCI_VARSTORE_SIZE + 1];
  FillBytes(Decoded, sizeof(Decoded), 0xA5);
  const EFI_STATUS Status = HexDecodeNumber(Decoded, ADDONCARD_PCI_VARSTORE_SIZE, Value);
  ReportLine DecodeDetails;
  Log.Record("config/HexDecodeNumber of the router's VALUE gives the record and nothing beyond",
             Status == EFI_SUCCESS &&
                 CompareBytes(Decoded, &ADDONCARD_PCI_DEFAULTS, ADDONCARD_PCI_VARSTORE_SIZE) == 0 &&
                 Decoded[ADDONCARD_PCI_VARSTORE_SIZE] == 0xA5,
             DecodeDetails.Text("gave ").Status(Status));
}

void CheckConfigToBlock(CheckLog &Log, const CHAR16 *Answer) {
  // A guard byte after the record shows any write past the size given.
  UINT8 Block[ADDONCARD_PCI_VARSTORE_SIZE + 1];
  FillBytes(Block, sizeof(Block), 0xA5);
  UINTN BlockSize = ADDONCARD_PCI_VARSTORE_SIZE;
  CHAR16 *Progress = nullptr;
  EFI_STATUS Status = ConfigRouting->ConfigToBlock(ConfigRouting, Answer, Block, &BlockSize, &Progress);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", size ").Decimal(BlockSize);
  Log.Record("config/ConfigToBlock of the answer restores the 41-byte record",
             Status == EFI_SUCCESS &&
                 CompareBytes(Block, &ADDONCARD_PCI_DEFAULTS, ADDONCARD_PCI_VARSTORE_SIZE) == 0 &&
                 Block[ADDONCARD_PCI_VARSTORE_SIZE] == 0xA5,
             Details);

  // The browser-data read hands the router a block of the caller's size; a
  // text wider than that must not be written past it.
  FillBytes(Block, sizeof(Block), 0xA5);
  BlockSize = ADDONCARD_PCI_VARSTORE_SIZE - 1;
  Progress = nullptr;
  Status = ConfigRouting->ConfigToBlock(ConfigRouting, Answer, Block, &BlockSize, &Progress);
  ReportLine Note;
  Note.Text("NOTE ConfigToBlock into 40 bytes gave ")
      .Status(Status)
      .Text(", size ")
      .Decimal(BlockSize)
      .Emit();
  ReportLine ShortDetails;
  Log.Record("config/ConfigToBlock of the 41-byte answer into 40 bytes fails and writes nothing past them",
             EFI_ERROR(Status) && Block[ADDONCARD_PCI_VARSTORE_SIZE - 1] == 0xA5 &&
                 Block[ADDONCARD_PCI_VARSTORE_SIZE] == 0xA5,
             ShortDetails.Text("gave ").Status(Status).Text(", size ").Decimal(BlockSize));
}

void CheckRouterAnswer(CheckLog &Log, const CHAR16 *Request) {
  CHAR16 *Answer = nullptr;
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = ConfigRouting->BlockToConfig(
      ConfigRouting, Request, reinterpret_cast<const UINT8 *>(&ADDONCARD_PCI_DEFAULTS),
      ADDONCARD_PCI_VARSTORE_SIZE, &Answer, &Progress);
  ReportLine Details;
  Log.Record("config/BlockToConfig of the driver's request over the default record succeeds",
             Status == EFI_SUCCESS && Answer != nullptr, Details.Text("gave ").Status(Status));
  if (EFI_ERROR(Status) || Answer == nullptr) return;
  ReportLine Note;
  Note.Text("NOTE BlockToConfig answered ").Utf16(Answer, ANSWER_NOTE_CHARS).Emit();

  for (const MatchCase &Case : ANSWER_MATCH_CASES) {
    ReportLine MatchDetails;
    Log.Record(Case.Check, MatchConfigHeader(Answer, Case.Guid, Case.Name) == Case.Expected,
               MatchDetails.Text("answered ").Decimal(!Case.Expected));
  }
  CheckAnswerValue(Log, Answer, Request);
  CheckConfigToBlock(Log, Answer);
  PoolFree(Answer);
}

}  // namespace

void RunConfigStringChecks(CheckLog &Log) {
  CHAR16 *Header = BuildConfigHeader(&ADDONCARD_PCI_VAR_GUID, TLX_ADDONCARD_PCI_VAR, DriverHandle);
  ReportLine Details;
  Log.Record(
      "config/BuildConfigHeader on the driver handle gives GUID, NAME and the vendor PATH in lowercase",
      Header != nullptr && SameText(Header, EXPECTED_PCI_HEADER),
      Details.Text("got ").Quoted(Header, ANSWER_NOTE_CHARS));
  if (Header == nullptr) return;
  CHAR16 *Request = BuildWholeRecordRequest(Header);
  PoolFree(Header);
  if (Request == nullptr) {
    ReportLine NoPool;
    Log.Fail("config/the request is built", NoPool.Text("no pool"));
    return;
  }
  CheckRouterAnswer(Log, Request);
  PoolFree(Request);
}
