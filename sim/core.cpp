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
};

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
}

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

bool TakeAllocationFault() {
  std::size_t &Countdown = Faults().AllocationsUntilFailure;
  if (Countdown == 0) return false;
  return --Countdown == 0;
}

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConsoleOutput() { return &Console; }

}  // namespace internal
}  // namespace sim
