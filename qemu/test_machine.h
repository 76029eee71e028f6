// The PCI functions that the card tests publish their cards on. run-firmware-test.sh
// gives QEMU these devices at these addresses, and the simulator run of the
// checks (qemu/host/simulator_checks.cpp) adds the same functions, so bus,
// device and function never change between runs or between the two machines.
#pragma once
#include "uefi/base.h"

struct TEST_PCI_FUNCTION {
  UINT16 VendorId;
  UINT16 DeviceId;
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
};

// QEMU's "edu" device: two functions of one card model.
inline constexpr UINT16 EDU_VENDOR_ID = 0x1234;
inline constexpr UINT16 EDU_DEVICE_ID = 0x11E8;
// QEMU's "pci-testdev": a function of a second card model.
inline constexpr UINT16 PCI_TESTDEV_VENDOR_ID = 0x1B36;
inline constexpr UINT16 PCI_TESTDEV_DEVICE_ID = 0x0005;

// In the order of their addresses, which is the order in which the firmware
// enumerates them. Keep in step with the -device options of run-firmware-test.sh.
inline constexpr TEST_PCI_FUNCTION TEST_PCI_FUNCTIONS[] = {
    {EDU_VENDOR_ID, EDU_DEVICE_ID, 0, 0x10, 0},
    {EDU_VENDOR_ID, EDU_DEVICE_ID, 0, 0x11, 0},
    {PCI_TESTDEV_VENDOR_ID, PCI_TESTDEV_DEVICE_ID, 0, 0x12, 0},
};
inline constexpr UINTN FIRST_EDU_FUNCTION = 0;
inline constexpr UINTN SECOND_EDU_FUNCTION = 1;
inline constexpr UINTN PCI_TESTDEV_FUNCTION = 2;
inline constexpr UINTN TEST_PCI_FUNCTION_COUNT = sizeof(TEST_PCI_FUNCTIONS) / sizeof(TEST_PCI_FUNCTIONS[0]);
