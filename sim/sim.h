// The host firmware simulator: a hosted implementation of the UEFI services the
// driver calls, behaving as the reference firmware does, with controls for tests.
//
// The simulated machine is global, like real firmware: PowerOn() gives a fresh
// machine, Reset() a platform reset. Components (HII database, string, router,
// keyword handler, form browser, ...) register an installer that runs at every
// PowerOn() and Reset() once the core boot and runtime services exist.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "uefi/protocols.h"

namespace sim {

// ---- lifecycle --------------------------------------------------------------
EFI_SYSTEM_TABLE *SystemTable();
// A fresh machine: no variables, no handles, empty HII database, no events,
// no faults, empty pool; then every registered component is installed.
void PowerOn();
// A platform reset: like PowerOn(), but non-volatile variables survive.
void Reset();

struct ComponentRegistrar {
  // Order: components run in ascending Order, then by name.
  ComponentRegistrar(const char *Name, int Order, void (*Install)());
};

// ---- pool accounting ----------------------------------------------------------
// Blocks handed out by AllocatePool (to the code under test or returned to it by
// a service, as LocateHandleBuffer does) and not yet freed.
std::size_t HeldBlocks();
std::size_t HeldBytes();
// Frees of unknown or already freed pointers since the last call; each is a
// fault of the code under test.
std::vector<std::string> TakePoolErrors();

// ---- fault injection ------------------------------------------------------------
// The N-th AllocatePool from now (1 = the next one) fails with EFI_OUT_OF_RESOURCES.
// Only calls of AllocatePool count, not blocks a service hands out itself (the
// buffer of LocateHandleBuffer). 0 disarms it.
void FailNthAllocation(std::size_t N);
// True while the allocation FailNthAllocation armed has not been reached: the
// code run since made fewer allocations, so a sweep over N can stop.
bool AllocationFailurePending();
// The named service returns Status instead of running, Times times (-1: always).
// Names are "<Table>.<Member>": BootServices.LocateProtocol,
// RuntimeServices.SetVariable, HiiDatabase.NewPackageList, HiiString.NewString,
// ConfigRouting.ExtractConfig, KeywordHandler.GetData, FormBrowser2.BrowserCallback,
// PciIo.Read, ...
void FailService(const std::string &Service, EFI_STATUS Status, int Times = 1);
// Disarms every fault: FailService, FailNthAllocation and FailNthServiceCall.
void ClearFaults();
// Used by every service implementation on entry: true (and *Status set) when a
// fault is armed for it. Services that return nothing (RaiseTPL, RestoreTPL,
// CopyMem, SetMem) cannot fail and do not consult it.
bool TakeInjectedFault(const char *Service, EFI_STATUS *Status);

// ---- calls of platform services, counted and failed in turn ---------------------
// Every service that consults TakeInjectedFault is counted per call, but only
// for calls made from outside the simulator: by the code under test, or by a
// test. What a simulated component calls while it serves another call (the
// router reading a variable, the keyword handler asking the router) is the
// firmware's own and is not counted; code the simulator calls back (a notify
// function, a driver's configuration access) counts again. Inside a
// PlatformScope the test's own calls are the firmware's too, so a test can
// install a trigger or call the keyword handler and count only what the code
// under test does in response.
class PlatformScope {
 public:
  PlatformScope();
  ~PlatformScope();
  PlatformScope(const PlatformScope &) = delete;
  PlatformScope &operator=(const PlatformScope &) = delete;
};
// Counted calls per service ("BootServices.AllocatePool", ...) since the last reset.
std::map<std::string, std::size_t> ServiceCallCounts();
// The same calls in the order they were made.
std::vector<std::string> ServiceCallLog();
void ResetServiceCallCounts();
// Services that fail only on invalid arguments (FreePool of a held block,
// CloseEvent of an open event): counted, but never failed by FailNthServiceCall.
bool ServiceCanFail(const std::string &Service);
// The status a failing call of the service plausibly gives: EFI_OUT_OF_RESOURCES
// for what allocates or creates, EFI_NOT_FOUND for look-ups, EFI_DEVICE_ERROR
// for the rest.
EFI_STATUS PlausibleError(const std::string &Service);
// The N-th counted call from now (1 = the next) of any service that can fail
// returns its PlausibleError instead of running. 0 disarms it.
void FailNthServiceCall(std::size_t N);
// True while the call FailNthServiceCall armed has not been reached.
bool ServiceCallFailurePending();
// The service whose call FailNthServiceCall failed; empty while none was.
std::string FailedServiceCall();

// ---- lifecycle details ------------------------------------------------------------
// PowerOn() and Reset() release every pool block still held (memory does not
// survive a reset), so pointers kept by the code under test dangle afterwards:
// call ResetDriverState() next, as a fresh image load would start. PowerOn()
// also forgets pool errors not yet taken; Reset() keeps them. Both disarm every
// fault and empty the console.

// ---- variables (test controls; they bypass the runtime services' checks) ----------
struct VariableRecord {
  std::u16string Name;
  EFI_GUID Guid;
  UINT32 Attributes;
  std::vector<UINT8> Data;
};
std::optional<VariableRecord> FindVariable(const std::u16string &Name, const EFI_GUID &Guid);
// Creates or replaces the variable as given (any attributes, any size, even 0).
void WriteVariable(const std::u16string &Name, const EFI_GUID &Guid, UINT32 Attributes,
                   const std::vector<UINT8> &Data);
bool DeleteVariable(const std::u16string &Name, const EFI_GUID &Guid);
// In the order GetNextVariableName walks them.
std::vector<VariableRecord> ListVariables();
std::size_t VariableCount();

// ---- boot-services state, for tests -------------------------------------------------
EFI_TPL CurrentTpl();
// Events created and not yet closed.
std::size_t OpenEventCount();
// Live RegisterProtocolNotify registrations for Protocol (a closed event drops its own).
std::size_t NotifyRegistrationCount(const EFI_GUID &Protocol);
// Handles that carry at least one protocol.
std::size_t HandleCount();

// ---- HII database, for tests ---------------------------------------------------------
// Registered package lists, in registration order.
std::vector<EFI_HII_HANDLE> PackageListHandles();

// ---- console ------------------------------------------------------------------------
// Text written through SystemTable()->ConOut and StdErr since the last call.
std::u16string TakeConsoleOutput();

}  // namespace sim
