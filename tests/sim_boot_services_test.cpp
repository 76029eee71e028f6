// The simulator's boot services: pool accounting, fault injection, the protocol
// database with its locate services, and events with protocol notification.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sim_fixture.h"
#include "uefi/guids.h"

namespace {

constexpr EFI_GUID ProtocolA = {0xA0A0A0A0, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EFI_GUID ProtocolB = {0xB0B0B0B0, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};

int InterfaceA = 1;
int InterfaceB = 2;
int InterfaceC = 3;

// A device path built from nodes of the given lengths (4 bytes and up), each
// filled with its index, then the end node.
std::vector<UINT8> MakePath(const std::vector<UINT8> &NodeLengths) {
  std::vector<UINT8> Path;
  for (std::size_t I = 0; I < NodeLengths.size(); ++I) {
    Path.insert(Path.end(), {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, NodeLengths[I], 0});
    Path.insert(Path.end(), NodeLengths[I] - 4, static_cast<UINT8>(I + 1));
  }
  Path.insert(Path.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  return Path;
}

EFI_DEVICE_PATH_PROTOCOL *AsPath(std::vector<UINT8> &Bytes) {
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data());
}

// ---- pool -------------------------------------------------------------------------

using SimPool = SimTest;

TEST_F(SimPool, AccountsEveryBlockUntilFreed) {
  std::size_t Blocks = sim::HeldBlocks(), Bytes = sim::HeldBytes();
  void *A = nullptr, *B = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 100, &A), EFI_SUCCESS);
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 28, &B), EFI_SUCCESS);
  EXPECT_EQ(sim::HeldBlocks(), Blocks + 2);
  EXPECT_EQ(sim::HeldBytes(), Bytes + 128);
  EXPECT_EQ(Bs()->FreePool(A), EFI_SUCCESS);
  EXPECT_EQ(sim::HeldBlocks(), Blocks + 1);
  EXPECT_EQ(sim::HeldBytes(), Bytes + 28);
  EXPECT_EQ(Bs()->FreePool(B), EFI_SUCCESS);
  EXPECT_EQ(sim::HeldBytes(), Bytes);
}

TEST_F(SimPool, BadFreesFailAndAreRecorded) {
  void *Block = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, &Block), EFI_SUCCESS);
  ASSERT_EQ(Bs()->FreePool(Block), EFI_SUCCESS);
  int NotPool = 0;
  EXPECT_EQ(Bs()->FreePool(Block), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->FreePool(&NotPool), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->FreePool(nullptr), EFI_INVALID_PARAMETER);
  std::vector<std::string> Errors = sim::TakePoolErrors();
  ASSERT_EQ(Errors.size(), 3u);
  EXPECT_NE(Errors[0].find("already freed"), std::string::npos);
  EXPECT_NE(Errors[1].find("not a pool block"), std::string::npos);
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

TEST_F(SimPool, RefusesBadArgumentsAndGivesUsableZeroSizedBlocks) {
  void *Block = nullptr;
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 8, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(EfiConventionalMemory, 8, &Block), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->AllocatePool(EfiMaxMemoryType, 8, &Block), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 0, &Block), EFI_SUCCESS);
  EXPECT_NE(Block, nullptr);
  EXPECT_EQ(Bs()->FreePool(Block), EFI_SUCCESS);
}

TEST_F(SimPool, FreshBlocksAreNotZeroed) {
  UINT8 *Block = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 16, reinterpret_cast<void **>(&Block)), EFI_SUCCESS);
  EXPECT_NE(Block[0], 0);
  EXPECT_NE(Block[15], 0);
  Bs()->FreePool(Block);
}

TEST_F(SimPool, PowerOnReleasesEverythingAndForgetsErrors) {
  void *Block = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 64, &Block), EFI_SUCCESS);
  Bs()->FreePool(nullptr);
  sim::PowerOn();
  EXPECT_EQ(sim::HeldBlocks(), 0u);
  EXPECT_EQ(sim::HeldBytes(), 0u);
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

TEST_F(SimPool, ResetReleasesBlocksButKeepsErrors) {
  void *Block = nullptr;
  ASSERT_EQ(Bs()->AllocatePool(EfiBootServicesData, 64, &Block), EFI_SUCCESS);
  Bs()->FreePool(nullptr);
  sim::Reset();
  EXPECT_EQ(sim::HeldBlocks(), 0u);
  EXPECT_EQ(sim::TakePoolErrors().size(), 1u);
}

TEST_F(SimPool, CopyMemHandlesOverlapAndSetMemFills) {
  UINT8 Bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bs()->CopyMem(Bytes + 2, Bytes, 5);
  EXPECT_EQ(std::vector<UINT8>(Bytes, Bytes + 8), (std::vector<UINT8>{1, 2, 1, 2, 3, 4, 5, 8}));
  Bs()->SetMem(Bytes + 1, 3, 0xEE);
  EXPECT_EQ(std::vector<UINT8>(Bytes, Bytes + 8), (std::vector<UINT8>{1, 0xEE, 0xEE, 0xEE, 3, 4, 5, 8}));
}

// ---- fault injection ------------------------------------------------------------

using SimFaults = SimTest;

TEST_F(SimFaults, NthAllocationFailsOnceAndOnlyThatOne) {
  sim::FailNthAllocation(2);
  void *First = nullptr, *Second = nullptr, *Third = nullptr;
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 4, &First), EFI_SUCCESS);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 4, &Second), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Second, nullptr);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 4, &Third), EFI_SUCCESS);
  Bs()->FreePool(First);
  Bs()->FreePool(Third);

  // A block a service hands out itself is not an allocation of the code under test.
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_SUCCESS);
  sim::FailNthAllocation(1);
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  ASSERT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &ProtocolA, nullptr, &Count, &Handles), EFI_SUCCESS);
  Bs()->FreePool(Handles);
  EXPECT_EQ(Bs()->AllocatePool(EfiBootServicesData, 4, &First), EFI_OUT_OF_RESOURCES);
}

TEST_F(SimFaults, ServiceFaultsCountDownAndClear) {
  struct Case {
    int Times;
    int Calls;
    int ExpectedFailures;
  } Cases[] = {{1, 3, 1}, {2, 3, 2}, {-1, 5, 5}, {0, 2, 0}};
  for (const Case &C : Cases) {
    sim::ClearFaults();
    sim::FailService("BootServices.LocateProtocol", EFI_DEVICE_ERROR, C.Times);
    int Failures = 0;
    for (int I = 0; I < C.Calls; ++I) {
      void *Interface = nullptr;
      if (Bs()->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Interface) == EFI_DEVICE_ERROR)
        ++Failures;
    }
    EXPECT_EQ(Failures, C.ExpectedFailures) << "Times " << C.Times;
  }
  sim::FailService("RuntimeServices.GetVariable", EFI_DEVICE_ERROR, -1);
  sim::ClearFaults();
  UINTN Size = 0;
  EXPECT_EQ(Rt()->GetVariable(u"X", &ProtocolA, nullptr, &Size, nullptr), EFI_NOT_FOUND);
}

TEST_F(SimFaults, EveryBootServiceConsultsItsFault) {
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_SUCCESS);
  std::size_t Handles = sim::HandleCount();
  void *Out = nullptr;
  UINTN Size = 0;
  EFI_EVENT Event = nullptr;
  EFI_HANDLE *Buffer = nullptr;
  struct Case {
    const char *Name;
    std::function<EFI_STATUS()> Call;
  } Cases[] = {
      {"AllocatePool", [&] { return Bs()->AllocatePool(EfiBootServicesData, 1, &Out); }},
      {"FreePool", [&] { return Bs()->FreePool(&Out); }},
      {"CreateEvent", [&] { return Bs()->CreateEvent(0, 0, nullptr, nullptr, &Event); }},
      {"HandleProtocol", [&] { return Bs()->HandleProtocol(Handle, &ProtocolA, &Out); }},
      {"LocateHandle", [&] { return Bs()->LocateHandle(AllHandles, nullptr, nullptr, &Size, nullptr); }},
      {"LocateHandleBuffer",
       [&] { return Bs()->LocateHandleBuffer(AllHandles, nullptr, nullptr, &Size, &Buffer); }},
      {"InstallProtocolInterface",
       [&] {
         return Bs()->InstallProtocolInterface(&Handle, &ProtocolB, EFI_NATIVE_INTERFACE, &InterfaceB);
       }},
      {"InstallMultipleProtocolInterfaces",
       [&] { return Bs()->InstallMultipleProtocolInterfaces(&Handle, &ProtocolB, &InterfaceB, nullptr); }},
      {"UninstallProtocolInterface",
       [&] { return Bs()->UninstallProtocolInterface(Handle, &ProtocolA, &InterfaceA); }},
  };
  for (const Case &C : Cases) {
    sim::FailService(std::string("BootServices.") + C.Name, EFI_ACCESS_DENIED);
    EXPECT_EQ(C.Call(), EFI_ACCESS_DENIED) << C.Name;
  }
  EXPECT_EQ(sim::HandleCount(), Handles);  // nothing installed or removed
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &ProtocolB, &Out), EFI_UNSUPPORTED);
}

// ---- protocol database ----------------------------------------------------------

using SimProtocols = SimTest;

TEST_F(SimProtocols, InstallCreatesHandlesAndHandleProtocolFindsInterfaces) {
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_SUCCESS);
  ASSERT_NE(Handle, nullptr);
  EFI_HANDLE Same = Handle;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Same, &ProtocolB, EFI_NATIVE_INTERFACE, &InterfaceB),
            EFI_SUCCESS);
  EXPECT_EQ(Same, Handle);
  EXPECT_EQ(Bs()->InstallProtocolInterface(&Same, &ProtocolB, EFI_NATIVE_INTERFACE, &InterfaceC),
            EFI_INVALID_PARAMETER);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &ProtocolB, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &InterfaceB);
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &EFI_PCI_IO_PROTOCOL_GUID, &Interface), EFI_UNSUPPORTED);
  EXPECT_EQ(Interface, nullptr);
}

TEST_F(SimProtocols, UninstallingTheLastProtocolRetiresTheHandle) {
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(Handle, &ProtocolA, &InterfaceB), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->UninstallProtocolInterface(Handle, &ProtocolA, &InterfaceA), EFI_SUCCESS);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &ProtocolA, &Interface), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_INVALID_PARAMETER);
}

TEST_F(SimProtocols, ReinstallReplacesTheInterface) {
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(Handle, &ProtocolA, &InterfaceB, &InterfaceC), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->ReinstallProtocolInterface(Handle, &ProtocolA, &InterfaceA, &InterfaceC), EFI_SUCCESS);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolA, nullptr, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &InterfaceC);
}

TEST_F(SimProtocols, LocateHandleReportsSizesAndOrder) {
  EFI_HANDLE First = nullptr, Second = nullptr;
  Bs()->InstallProtocolInterface(&First, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA);
  Bs()->InstallProtocolInterface(&Second, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceB);
  UINTN Size = 0;
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, &ProtocolA, nullptr, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 2 * sizeof(EFI_HANDLE));
  EFI_HANDLE Found[2] = {};
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, &ProtocolA, nullptr, &Size, Found), EFI_SUCCESS);
  EXPECT_EQ(Found[0], First);
  EXPECT_EQ(Found[1], Second);
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, &ProtocolB, nullptr, &Size, Found), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateHandle(ByProtocol, nullptr, nullptr, &Size, Found), EFI_INVALID_PARAMETER);
}

TEST_F(SimProtocols, LocateHandleBufferHandsOverAPoolBlock) {
  EFI_HANDLE Handle = nullptr;
  Bs()->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE, &InterfaceA);
  std::size_t Held = sim::HeldBlocks();
  UINTN Count = 0;
  EFI_HANDLE *Buffer = nullptr;
  ASSERT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &ProtocolA, nullptr, &Count, &Buffer), EFI_SUCCESS);
  ASSERT_EQ(Count, 1u);
  EXPECT_EQ(Buffer[0], Handle);
  EXPECT_EQ(sim::HeldBlocks(), Held + 1);
  EXPECT_EQ(Bs()->FreePool(Buffer), EFI_SUCCESS);
  EXPECT_EQ(Bs()->LocateHandleBuffer(ByProtocol, &ProtocolB, nullptr, &Count, &Buffer), EFI_NOT_FOUND);
  EXPECT_EQ(Buffer, nullptr);
}

TEST_F(SimProtocols, InstallMultipleRefusesADevicePathInstalledElsewhere) {
  std::vector<UINT8> Path = MakePath({20});
  std::vector<UINT8> Copy = Path;  // same bytes, other memory
  EFI_HANDLE First = nullptr;
  ASSERT_EQ(Bs()->InstallMultipleProtocolInterfaces(&First, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Path),
                                                    &ProtocolA, &InterfaceA, nullptr),
            EFI_SUCCESS);
  std::size_t Handles = sim::HandleCount();
  EFI_HANDLE Second = nullptr;
  EXPECT_EQ(Bs()->InstallMultipleProtocolInterfaces(&Second, &ProtocolB, &InterfaceB,
                                                    &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Copy), nullptr),
            EFI_ALREADY_STARTED);
  // All or nothing: ProtocolB, installed first, is gone again with its new handle.
  EXPECT_EQ(Second, nullptr);
  EXPECT_EQ(sim::HandleCount(), Handles);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolB, nullptr, &Interface), EFI_NOT_FOUND);
  // A longer path below the installed one is a different device.
  std::vector<UINT8> Child = MakePath({20, 6});
  EXPECT_EQ(Bs()->InstallMultipleProtocolInterfaces(&Second, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Child),
                                                    nullptr),
            EFI_SUCCESS);
}

TEST_F(SimProtocols, UninstallMultipleIsAllOrNothing) {
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(Bs()->InstallMultipleProtocolInterfaces(&Handle, &ProtocolA, &InterfaceA, &ProtocolB, &InterfaceB,
                                                    nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->UninstallMultipleProtocolInterfaces(Handle, &ProtocolA, &InterfaceA, &ProtocolB,
                                                      &InterfaceC, nullptr),
            EFI_INVALID_PARAMETER);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &ProtocolA, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Bs()->UninstallMultipleProtocolInterfaces(Handle, &ProtocolA, &InterfaceA, &ProtocolB,
                                                      &InterfaceB, nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(Bs()->HandleProtocol(Handle, &ProtocolA, &Interface), EFI_INVALID_PARAMETER);
}

// ---- LocateDevicePath --------------------------------------------------------------

using SimLocateDevicePath = SimTest;

TEST_F(SimLocateDevicePath, FindsTheLongestPrefixAndAdvancesPastIt) {
  std::vector<UINT8> Root = MakePath({8});
  std::vector<UINT8> Bridge = MakePath({8, 6});
  std::vector<UINT8> Unrelated = MakePath({12});
  EFI_HANDLE RootHandle = nullptr, BridgeHandle = nullptr, UnrelatedHandle = nullptr, NoProtocol = nullptr;
  Bs()->InstallMultipleProtocolInterfaces(&RootHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Root),
                                          &ProtocolA, &InterfaceA, nullptr);
  Bs()->InstallMultipleProtocolInterfaces(&BridgeHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Bridge),
                                          &ProtocolA, &InterfaceB, nullptr);
  Bs()->InstallMultipleProtocolInterfaces(&UnrelatedHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Unrelated),
                                          &ProtocolA, &InterfaceC, nullptr);
  std::vector<UINT8> Deeper = MakePath({8, 6, 4});
  Bs()->InstallMultipleProtocolInterfaces(&NoProtocol, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Deeper),
                                          nullptr);

  struct Case {
    std::vector<UINT8> Nodes;
    EFI_HANDLE Expected;
    std::size_t RemainingOffset;
  } Cases[] = {
      {{8, 6, 4, 10}, BridgeHandle, 14},  // the deeper handle lacks ProtocolA
      {{8, 6}, BridgeHandle, 14},         // exact match leaves the end node
      {{8, 10}, RootHandle, 8},
      {{8}, RootHandle, 8},
  };
  for (Case &C : Cases) {
    std::vector<UINT8> Source = MakePath(C.Nodes);
    EFI_DEVICE_PATH_PROTOCOL *Remaining = AsPath(Source);
    EFI_HANDLE Device = nullptr;
    ASSERT_EQ(Bs()->LocateDevicePath(&ProtocolA, &Remaining, &Device), EFI_SUCCESS);
    EXPECT_EQ(Device, C.Expected);
    EXPECT_EQ(reinterpret_cast<UINT8 *>(Remaining) - Source.data(),
              static_cast<std::ptrdiff_t>(C.RemainingOffset));
  }
}

TEST_F(SimLocateDevicePath, ReportsNoMatchAndBadArguments) {
  std::vector<UINT8> Root = MakePath({8});
  EFI_HANDLE Handle = nullptr;
  Bs()->InstallMultipleProtocolInterfaces(&Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Root), &ProtocolA,
                                          &InterfaceA, nullptr);
  std::vector<UINT8> Other = MakePath({10});
  EFI_DEVICE_PATH_PROTOCOL *Remaining = AsPath(Other);
  EFI_HANDLE Device = nullptr;
  EXPECT_EQ(Bs()->LocateDevicePath(&ProtocolA, &Remaining, &Device), EFI_NOT_FOUND);
  EXPECT_EQ(Remaining, AsPath(Other));
  EXPECT_EQ(Bs()->LocateDevicePath(&ProtocolB, &Remaining, &Device), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateDevicePath(&ProtocolA, nullptr, &Device), EFI_INVALID_PARAMETER);
  std::vector<UINT8> Broken = {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 2, 0};  // node shorter than its header
  Remaining = AsPath(Broken);
  EXPECT_EQ(Bs()->LocateDevicePath(&ProtocolA, &Remaining, &Device), EFI_INVALID_PARAMETER);
}

// ---- events and notification --------------------------------------------------------

struct NotifyLog {
  int Runs = 0;
  std::vector<void *> Located;
  std::vector<EFI_TPL> Levels;
  void *Registration = nullptr;
  const EFI_GUID *Protocol = &ProtocolA;
  bool CloseOnRun = false;
};

void EFIAPI RecordNotify(EFI_EVENT Event, void *Context) {
  auto *Log = static_cast<NotifyLog *>(Context);
  ++Log->Runs;
  Log->Levels.push_back(sim::CurrentTpl());
  void *Interface = nullptr;
  while (sim::SystemTable()->BootServices->LocateProtocol(Log->Protocol, Log->Registration, &Interface) ==
         EFI_SUCCESS) {
    Log->Located.push_back(Interface);
    if (Log->Registration == nullptr) break;
  }
  if (Log->CloseOnRun) sim::SystemTable()->BootServices->CloseEvent(Event);
}

class SimEvents : public SimTest {
 protected:
  EFI_EVENT Watch(NotifyLog *Log, const EFI_GUID &Protocol = ProtocolA) {
    EFI_EVENT Event = nullptr;
    EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, RecordNotify, Log, &Event), EFI_SUCCESS);
    EXPECT_EQ(Bs()->RegisterProtocolNotify(&Protocol, Event, &Log->Registration), EFI_SUCCESS);
    Log->Protocol = &Protocol;
    return Event;
  }
  EFI_HANDLE Install(const EFI_GUID &Protocol, void *Interface) {
    EFI_HANDLE Handle = nullptr;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&Handle, &Protocol, EFI_NATIVE_INTERFACE, Interface),
              EFI_SUCCESS);
    return Handle;
  }
};

TEST_F(SimEvents, NotifyRunsOncePerLaterInstallationInsideTheCall) {
  Install(ProtocolA, &InterfaceA);  // before registration: never reported
  NotifyLog Log;
  Watch(&Log);
  EXPECT_EQ(Log.Runs, 0);
  EFI_HANDLE Handle = Install(ProtocolA, &InterfaceB);
  EXPECT_EQ(Log.Runs, 1);
  EXPECT_EQ(Log.Located, std::vector<void *>{&InterfaceB});
  EXPECT_EQ(Log.Levels, std::vector<EFI_TPL>{TPL_NOTIFY});
  Install(ProtocolB, &InterfaceC);
  EXPECT_EQ(Log.Runs, 1);
  ASSERT_EQ(Bs()->ReinstallProtocolInterface(Handle, &ProtocolA, &InterfaceB, &InterfaceC), EFI_SUCCESS);
  EXPECT_EQ(Log.Runs, 2);
  EXPECT_EQ(Log.Located, (std::vector<void *>{&InterfaceB, &InterfaceC}));
  EXPECT_EQ(sim::CurrentTpl(), TPL_APPLICATION);
}

TEST_F(SimEvents, ClosedEventNeverRunsAgainAndDropsItsRegistration) {
  NotifyLog Log;
  Log.CloseOnRun = true;
  EFI_EVENT Event = Watch(&Log);
  EXPECT_EQ(sim::NotifyRegistrationCount(ProtocolA), 1u);
  Install(ProtocolA, &InterfaceA);
  Install(ProtocolA, &InterfaceB);
  EXPECT_EQ(Log.Runs, 1);
  EXPECT_EQ(sim::NotifyRegistrationCount(ProtocolA), 0u);
  EXPECT_EQ(Bs()->SignalEvent(Event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CloseEvent(Event), EFI_INVALID_PARAMETER);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolA, Log.Registration, &Interface), EFI_NOT_FOUND);

  // Closed while its notify waits for the level to drop: it never runs.
  NotifyLog Pending;
  EFI_EVENT Waiting = Watch(&Pending);
  EFI_TPL Old = Bs()->RaiseTPL(TPL_NOTIFY);
  Install(ProtocolA, &InterfaceC);
  EXPECT_EQ(Bs()->CloseEvent(Waiting), EFI_SUCCESS);
  Bs()->RestoreTPL(Old);
  EXPECT_EQ(Pending.Runs, 0);
}

// A notify function that installs the protocol it watches.
struct Reentrant {
  int Runs = 0;
  int DepthAtEntry = 0;
  int Depth = 0;
};

void EFIAPI InstallAgainNotify(EFI_EVENT, void *Context) {
  auto *State = static_cast<Reentrant *>(Context);
  ++State->Runs;
  State->DepthAtEntry = std::max(State->DepthAtEntry, ++State->Depth);
  if (State->Runs == 1) {
    EFI_HANDLE Handle = nullptr;
    sim::SystemTable()->BootServices->InstallProtocolInterface(&Handle, &ProtocolA, EFI_NATIVE_INTERFACE,
                                                               &InterfaceC);
  }
  --State->Depth;
}

TEST_F(SimEvents, InstallFromANotifyRunsTheNextNotifyAfterItReturns) {
  Reentrant State;
  EFI_EVENT Event = nullptr;
  void *Registration = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, InstallAgainNotify, &State, &Event),
            EFI_SUCCESS);
  ASSERT_EQ(Bs()->RegisterProtocolNotify(&ProtocolA, Event, &Registration), EFI_SUCCESS);
  Install(ProtocolA, &InterfaceA);
  EXPECT_EQ(State.Runs, 2);
  EXPECT_EQ(State.DepthAtEntry, 1);  // never nested
}

TEST_F(SimEvents, InstallMultipleNotifiesOnceEverythingIsInstalled) {
  NotifyLog Log;
  Watch(&Log, ProtocolA);
  EFI_HANDLE Handle = nullptr;
  std::vector<UINT8> Path = MakePath({20});
  // The notify for ProtocolA looks for the device path installed after it.
  struct Probe {
    EFI_HANDLE *Handle;
    bool SawPath = false;
  } P{&Handle};
  EFI_EVENT Event = nullptr;
  void *Registration = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(
                EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                [](EFI_EVENT, void *Context) EFIAPI {
                  auto *Pr = static_cast<Probe *>(Context);
                  void *Interface = nullptr;
                  Pr->SawPath = sim::SystemTable()->BootServices->HandleProtocol(
                                    *Pr->Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface) == EFI_SUCCESS;
                },
                &P, &Event),
            EFI_SUCCESS);
  ASSERT_EQ(Bs()->RegisterProtocolNotify(&ProtocolA, Event, &Registration), EFI_SUCCESS);
  ASSERT_EQ(Bs()->InstallMultipleProtocolInterfaces(&Handle, &ProtocolA, &InterfaceA,
                                                    &EFI_DEVICE_PATH_PROTOCOL_GUID, AsPath(Path), nullptr),
            EFI_SUCCESS);
  EXPECT_EQ(Log.Runs, 1);
  EXPECT_TRUE(P.SawPath);
}

TEST_F(SimEvents, RegistrationKeyWalksNewInstallationsOnce) {
  NotifyLog Log;
  EFI_EVENT Event = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_WAIT, TPL_CALLBACK, RecordNotify, &Log, &Event), EFI_SUCCESS);
  void *Registration = nullptr;
  ASSERT_EQ(Bs()->RegisterProtocolNotify(&ProtocolA, Event, &Registration), EFI_SUCCESS);
  Install(ProtocolA, &InterfaceA);
  Install(ProtocolA, &InterfaceB);
  void *Interface = nullptr;
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolA, Registration, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &InterfaceA);
  UINTN Size = sizeof(EFI_HANDLE);
  EFI_HANDLE Next = nullptr;
  EXPECT_EQ(Bs()->LocateHandle(ByRegisterNotify, nullptr, Registration, &Size, &Next), EFI_SUCCESS);
  EXPECT_NE(Next, nullptr);
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolA, Registration, &Interface), EFI_NOT_FOUND);
  EXPECT_EQ(Bs()->LocateProtocol(&ProtocolA, nullptr, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &InterfaceA);
}

TEST_F(SimEvents, SignalCheckAndCreateArguments) {
  NotifyLog Log;
  EFI_EVENT Signal = nullptr, Plain = nullptr;
  ASSERT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordNotify, &Log, &Signal), EFI_SUCCESS);
  EXPECT_EQ(Bs()->SignalEvent(Signal), EFI_SUCCESS);
  EXPECT_EQ(Log.Runs, 1);
  EXPECT_EQ(Bs()->CheckEvent(Signal), EFI_INVALID_PARAMETER);
  // Raised above the notify level, a signal waits for the level to drop.
  EFI_TPL Old = Bs()->RaiseTPL(TPL_NOTIFY);
  Bs()->SignalEvent(Signal);
  Bs()->SignalEvent(Signal);
  EXPECT_EQ(Log.Runs, 1);
  Bs()->RestoreTPL(Old);
  EXPECT_EQ(Log.Runs, 2);

  ASSERT_EQ(Bs()->CreateEvent(0, 0, nullptr, nullptr, &Plain), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CheckEvent(Plain), EFI_NOT_READY);
  Bs()->SignalEvent(Plain);
  EXPECT_EQ(Bs()->CheckEvent(Plain), EFI_SUCCESS);
  EXPECT_EQ(Bs()->CheckEvent(Plain), EFI_NOT_READY);

  EFI_EVENT Bad = nullptr;
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, nullptr, nullptr, &Bad), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_NOTIFY, RecordNotify, &Log, &Bad),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Bs()->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL, RecordNotify, &Log, &Bad),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(sim::OpenEventCount(), 2u);
}

TEST_F(SimEvents, PowerOnForgetsEventsAndRegistrations) {
  NotifyLog Log;
  Watch(&Log);
  sim::PowerOn();
  EXPECT_EQ(sim::OpenEventCount(), 0u);
  EXPECT_EQ(sim::NotifyRegistrationCount(ProtocolA), 0u);
  Install(ProtocolA, &InterfaceA);
  EXPECT_EQ(Log.Runs, 0);
}

}  // namespace
