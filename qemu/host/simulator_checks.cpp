// The firmware test's check groups run against the simulator instead of OVMF:
// two boots of one simulated machine (power-on, then a platform reset that
// keeps the non-volatile variables), each with a freshly loaded driver image.
// Every check states what OVMF answers, so a failure here is a place where the
// simulator and the real firmware disagree. Exit status 0 when both boots pass.
#include <cstdio>
#include <string>

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "qemu/check_groups.h"
#include "qemu/test_machine.h"
#include "sim/pci.h"
#include "sim/sim.h"

namespace {

// The PCI functions QEMU gives the firmware test, at the locations it gives them.
void AddTestPciFunctions() {
  for (const TEST_PCI_FUNCTION &Function : TEST_PCI_FUNCTIONS)
    sim::AddPciFunction(Function.VendorId, Function.DeviceId, Function.Bus, Function.Device,
                        Function.Function);
}

}  // namespace

int main() {
  bool Success = true;
  for (int Boot = 1; Boot <= 2; ++Boot) {
    if (Boot == 1) {
      sim::PowerOn();
    } else {
      sim::Reset();
    }
    AddTestPciFunctions();
    ResetDriverState();
    InitializeServiceTables(nullptr, sim::SystemTable());
    std::printf("AddOnCard firmware test: start (simulator, boot %d)\n", Boot);
    CheckLog Log;
    RunAllGroups(Log);
    if (!EmitSummary(Log)) Success = false;
    for (const std::string &Error : sim::TakePoolErrors()) {
      std::printf("FAIL pool: %s\n", Error.c_str());
      Success = false;
    }
  }
  return Success ? 0 : 1;
}
