// The simulated machine: the System Table, the start of a machine (power-on or
// reset) with its registered components, fault injection and the console.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/sim_internal.h"

namespace sim {
namespace {

struct Component {
  std::string Name;
  int Order;
  void (*Install)();
};

// Function-local so that registrars in other files may run first.
std::vector<Component> &Components() {
  static std::vector<Component> Registry;
  return Registry;
}

struct ArmedFault {
  EFI_STATUS Status;
  int Remaining;  // -1: always
};

struct FaultState {
  std::map<std::string, ArmedFault> Services;
  std::size_t AllocationsUntilFailure = 0;  // 0: none armed
  std::size_t CallsUntilFailure = 0;        // 0: none armed
  std::string FailedCall;
};

// How many services are running, counted from the last call out to code
// outside the simulator; 0 while that code runs.
struct CallState {
  int Depth = 0;
  // Service names are the literals each service passes: one pointer per service.
  std::vector<const char *> Log;
};

CallState &Calls() {
  static CallState State;
  return State;
}

// The plausible error of a service by the last part of its name.
struct PlausibleFailure {
  const char *Member;
  EFI_STATUS Status;
};
constexpr PlausibleFailure PlausibleFailures[] = {
    {"AllocatePool", EFI_OUT_OF_RESOURCES},
    {"CreateEvent", EFI_OUT_OF_RESOURCES},
    {"RegisterProtocolNotify", EFI_OUT_OF_RESOURCES},
    {"InstallProtocolInterface", EFI_OUT_OF_RESOURCES},
    {"InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES},
    {"NewPackageList", EFI_OUT_OF_RESOURCES},
    {"UpdatePackageList", EFI_OUT_OF_RESOURCES},
    {"NewString", EFI_OUT_OF_RESOURCES},
    {"SetString", EFI_OUT_OF_RESOURCES},
    {"BlockToConfig", EFI_OUT_OF_RESOURCES},
    {"ConfigToBlock", EFI_OUT_OF_RESOURCES},
    {"ExportPackageLists", EFI_OUT_OF_RESOURCES},
    {"SetVariable", EFI_OUT_OF_RESOURCES},
    {"LocateProtocol", EFI_NOT_FOUND},
    {"LocateHandle", EFI_NOT_FOUND},
    {"LocateHandleBuffer", EFI_NOT_FOUND},
    {"LocateDevicePath", EFI_NOT_FOUND},
    {"HandleProtocol", EFI_UNSUPPORTED},
    {"GetPackageListHandle", EFI_NOT_FOUND},
    {"ListPackageLists", EFI_NOT_FOUND},
    {"RemovePackageList", EFI_NOT_FOUND},
    // Strings that are there: failing to copy them out is running out of room.
    {"GetString", EFI_OUT_OF_RESOURCES},
    {"GetLanguages", EFI_OUT_OF_RESOURCES},
    {"BrowserCallback", EFI_NOT_FOUND},
};

// Fail only with invalid arguments, which a sweep does not make up.
constexpr const char *ServicesThatCannotFail[] = {"BootServices.FreePool", "BootServices.CloseEvent"};

FaultState &Faults() {
  static FaultState State;
  return State;
}

internal::StartKind LastStart = internal::StartKind::PowerOn;

std::u16string &ConsoleText() {
  static std::u16string Text;
  return Text;
}

EFI_STATUS EFIAPI ConsoleOutputString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, CHAR16 *String) {
  if (String == nullptr) return EFI_INVALID_PARAMETER;
  ConsoleText() += String;
  return EFI_SUCCESS;
}

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Console = {
    nullptr, ConsoleOutputString, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

char16_t FirmwareVendorName[] = u"AddOnCard host simulator";

constexpr UINT64 SystemTableSignature = 0x5453595320494249ULL;  // "IBI SYST"
constexpr UINT32 SystemTableRevision = (2U << 16) | 70U;

EFI_SYSTEM_TABLE &Table() {
  static EFI_SYSTEM_TABLE Value = {};
  return Value;
}

void BuildSystemTable() {
  EFI_SYSTEM_TABLE &T = Table();
  T = {};
  T.Hdr.Signature = SystemTableSignature;
  T.Hdr.Revision = SystemTableRevision;
  T.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  T.FirmwareVendor = FirmwareVendorName;
  T.FirmwareRevision = 1;
  T.ConOut = &Console;
  T.StdErr = &Console;
  T.BootServices = internal::BootServicesTable();
  T.RuntimeServices = internal::RuntimeServicesTable();
}

void StartMachine(internal::StartKind Kind) {
  LastStart = Kind;
  internal::ReleaseAllPool(Kind == internal::StartKind::PowerOn);
  ClearFaults();
  Calls().Log.clear();
  ConsoleText().clear();
  BuildSystemTable();
  std::vector<Component> Ordered = Components();
  std::stable_sort(Ordered.begin(), Ordered.end(), [](const Component &A, const Component &B) {
    return A.Order != B.Order ? A.Order < B.Order : A.Name < B.Name;
  });
  for (const Component &C : Ordered) C.Install();
}

}  // namespace

EFI_SYSTEM_TABLE *SystemTable() { return &Table(); }

void PowerOn() { StartMachine(internal::StartKind::PowerOn); }
void Reset() { StartMachine(internal::StartKind::Reset); }

ComponentRegistrar::ComponentRegistrar(const char *Name, int Order, void (*Install)()) {
  Components().push_back({Name, Order, Install});
}

void FailNthAllocation(std::size_t N) { Faults().AllocationsUntilFailure = N; }
bool AllocationFailurePending() { return Faults().AllocationsUntilFailure != 0; }

void FailService(const std::string &Service, EFI_STATUS Status, int Times) {
  if (Times == 0) {
    Faults().Services.erase(Service);
    return;
  }
  Faults().Services[Service] = {Status, Times < 0 ? -1 : Times};
}

void ClearFaults() {
  Faults().Services.clear();
  Faults().AllocationsUntilFailure = 0;
  Faults().CallsUntilFailure = 0;
}

PlatformScope::PlatformScope() { ++Calls().Depth; }
PlatformScope::~PlatformScope() { --Calls().Depth; }

std::map<std::string, std::size_t> ServiceCallCounts() {
  std::map<std::string, std::size_t> Counts;
  for (const char *Service : Calls().Log) ++Counts[Service];
  return Counts;
}
std::vector<std::string> ServiceCallLog() { return {Calls().Log.begin(), Calls().Log.end()}; }
void ResetServiceCallCounts() { Calls().Log.clear(); }

bool ServiceCanFail(const std::string &Service) {
  for (const char *Name : ServicesThatCannotFail)
    if (Service == Name) return false;
  return true;
}

EFI_STATUS PlausibleError(const std::string &Service) {
  const std::size_t Dot = Service.rfind('.');
  const std::string Member = Dot == std::string::npos ? Service : Service.substr(Dot + 1);
  for (const PlausibleFailure &Each : PlausibleFailures)
    if (Member == Each.Member) return Each.Status;
  return EFI_DEVICE_ERROR;
}

void FailNthServiceCall(std::size_t N) {
  Faults().CallsUntilFailure = N;
  Faults().FailedCall.clear();
}
bool ServiceCallFailurePending() { return Faults().CallsUntilFailure != 0; }
std::string FailedServiceCall() { return Faults().FailedCall; }

bool TakeInjectedFault(const char *Service, EFI_STATUS *Status) {
  auto Found = Faults().Services.find(Service);
  if (Found == Faults().Services.end()) return false;
  if (Status != nullptr) *Status = Found->second.Status;
  if (Found->second.Remaining > 0 && --Found->second.Remaining == 0) Faults().Services.erase(Found);
  return true;
}

std::u16string TakeConsoleOutput() {
  std::u16string Text;
  Text.swap(ConsoleText());
  return Text;
}

namespace internal {

StartKind CurrentStart() { return LastStart; }

ServiceCall::ServiceCall(const char *Service) : Name(Service) {
  CallState &State = Calls();
  if (State.Depth++ != 0) return;
  State.Log.push_back(Service);
  std::size_t &Countdown = Faults().CallsUntilFailure;
  if (Countdown != 0 && ServiceCanFail(Service) && --Countdown == 0) {
    FailsByCount = true;
    Faults().FailedCall = Service;
  }
}

ServiceCall::~ServiceCall() { --Calls().Depth; }

bool ServiceCall::Fails(EFI_STATUS *Status) {
  if (TakeInjectedFault(Name, Status)) return true;
  if (!FailsByCount) return false;
  *Status = PlausibleError(Name);
  return true;
}

ForeignCode::ForeignCode() : SavedDepth(Calls().Depth) { Calls().Depth = 0; }
ForeignCode::~ForeignCode() { Calls().Depth = SavedDepth; }

bool TakeAllocationFault() {
  std::size_t &Countdown = Faults().AllocationsUntilFailure;
  if (Countdown == 0) return false;
  return --Countdown == 0;
}

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConsoleOutput() { return &Console; }

}  // namespace internal
}  // namespace sim
