// Simulated PCI functions (see pci.h).
#include "sim/pci.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace {

std::vector<std::unique_ptr<PciFunction>> &Functions() {
  static std::vector<std::unique_ptr<PciFunction>> List;
  return List;
}

// The machine's handles vanish at power-on and reset, and so do its functions.
void DropPciFunctions() { Functions().clear(); }
const ComponentRegistrar PciRegistrar("pci", 0, DropPciFunctions);

constexpr UINT32 PciRootHid = 0x0A0341D0;  // EISA id PNP0A03, a PCI root bridge
constexpr UINTN ConfigSpaceSize = 256;

void AppendNode(std::vector<UINT8> &Path, UINT8 Type, UINT8 SubType, const void *Data, UINT16 DataSize) {
  const UINT16 Length = static_cast<UINT16>(4 + DataSize);
  Path.insert(Path.end(), {Type, SubType, static_cast<UINT8>(Length), static_cast<UINT8>(Length >> 8)});
  const auto *Bytes = static_cast<const UINT8 *>(Data);
  Path.insert(Path.end(), Bytes, Bytes + DataSize);
}

// The root bridge's UID carries the bus, so that functions with the same device
// and function number on different buses still have distinct paths (as the
// bridges above them would make them in a real machine).
std::vector<UINT8> PciPath(UINTN Bus, UINTN Device, UINTN Function) {
  std::vector<UINT8> Path;
  UINT32 Acpi[2] = {PciRootHid, static_cast<UINT32>(Bus)};
  AppendNode(Path, ACPI_DEVICE_PATH, ACPI_DP, Acpi, sizeof(Acpi));
  const UINT8 Pci[2] = {static_cast<UINT8>(Function), static_cast<UINT8>(Device)};
  AppendNode(Path, HARDWARE_DEVICE_PATH, HW_PCI_DP, Pci, sizeof(Pci));
  AppendNode(Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, nullptr, 0);
  return Path;
}

enum class AccessKind { Read, Write };

// One configuration access of Count elements: plain widths step both the
// address and the buffer, FIFO widths keep the address, fill widths keep the
// buffer position.
EFI_STATUS ConfigAccess(AccessKind Kind, EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                        UINT32 Offset, UINTN Count, void *Buffer) {
  PciFunction *Function = FindPciFunction(This);
  if (Function == nullptr || Buffer == nullptr) return EFI_INVALID_PARAMETER;
  if (static_cast<UINT32>(Width) >= EfiPciIoWidthMaximum) return EFI_INVALID_PARAMETER;
  const UINTN Element = UINTN{1} << (Width & 3);
  const bool Fifo = Width >= EfiPciIoWidthFifoUint8 && Width <= EfiPciIoWidthFifoUint64;
  const bool Fill = Width >= EfiPciIoWidthFillUint8;
  if (Offset % Element != 0) return EFI_UNSUPPORTED;
  const UINTN Span = Fifo ? Element : Count * Element;
  if (Count > ConfigSpaceSize || Offset > ConfigSpaceSize || Span > ConfigSpaceSize - Offset)
    return EFI_UNSUPPORTED;

  auto *Bytes = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Count; ++Index) {
    UINT8 *Register = Function->ConfigSpace.data() + Offset + (Fifo ? 0 : Index * Element);
    UINT8 *Memory = Bytes + (Fill ? 0 : Index * Element);
    if (Kind == AccessKind::Read)
      std::memcpy(Memory, Register, Element);
    else
      std::memcpy(Register, Memory, Element);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PciConfigRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                UINTN Count, void *Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("PciIo.Read");
  if (Call.Fails(&Status)) return Status;
  return ConfigAccess(AccessKind::Read, This, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciConfigWrite(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                                 UINTN Count, void *Buffer) {
  EFI_STATUS Status;
  internal::ServiceCall Call("PciIo.Write");
  if (Call.Fails(&Status)) return Status;
  return ConfigAccess(AccessKind::Write, This, Width, Offset, Count, Buffer);
}

EFI_STATUS EFIAPI PciGetLocation(EFI_PCI_IO_PROTOCOL *This, UINTN *Segment, UINTN *Bus, UINTN *Device,
                                 UINTN *Function) {
  EFI_STATUS Status;
  internal::ServiceCall Call("PciIo.GetLocation");
  if (Call.Fails(&Status)) return Status;
  const PciFunction *Pci = FindPciFunction(This);
  if (Pci == nullptr || Segment == nullptr || Bus == nullptr || Device == nullptr || Function == nullptr)
    return EFI_INVALID_PARAMETER;
  *Segment = Pci->Location.Segment;
  *Bus = Pci->Location.Bus;
  *Device = Pci->Location.Device;
  *Function = Pci->Location.Function;
  return EFI_SUCCESS;
}

void PutUint16(std::array<UINT8, 256> &Space, UINTN Offset, UINT16 Value) {
  Space[Offset] = static_cast<UINT8>(Value);
  Space[Offset + 1] = static_cast<UINT8>(Value >> 8);
}

}  // namespace

PciFunction &AddPciFunction(UINT16 VendorId, UINT16 DeviceId, UINTN Bus, UINTN Device, UINTN Function) {
  auto Pci = std::make_unique<PciFunction>();
  PutUint16(Pci->ConfigSpace, 0, VendorId);
  PutUint16(Pci->ConfigSpace, 2, DeviceId);
  Pci->Location = {0, Bus, Device, Function};
  Pci->DevicePath = PciPath(Bus, Device, Function);
  Pci->PciIo.Pci.Read = PciConfigRead;
  Pci->PciIo.Pci.Write = PciConfigWrite;
  Pci->PciIo.GetLocation = PciGetLocation;

  EFI_BOOT_SERVICES *Bs = SystemTable()->BootServices;
  const EFI_STATUS Status = Bs->InstallMultipleProtocolInterfaces(
      &Pci->Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, Pci->DevicePath.data(), &EFI_PCI_IO_PROTOCOL_GUID,
      &Pci->PciIo, nullptr);
  if (EFI_ERROR(Status)) throw std::runtime_error("AddPciFunction: protocol installation failed");
  Functions().push_back(std::move(Pci));
  return *Functions().back();
}

PciFunction *FindPciFunction(const EFI_PCI_IO_PROTOCOL *This) {
  for (auto &Function : Functions())
    if (&Function->PciIo == This) return Function.get();
  return nullptr;
}

std::vector<UINT8> DevicePathBytes(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  std::vector<UINT8> Bytes;
  if (Path == nullptr) return Bytes;
  const auto *Node = reinterpret_cast<const UINT8 *>(Path);
  for (;;) {
    const UINT16 Length = static_cast<UINT16>(Node[2] | (Node[3] << 8));
    if (Length < 4) break;
    Bytes.insert(Bytes.end(), Node, Node + Length);
    if (Node[0] == END_DEVICE_PATH_TYPE && Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) break;
    Node += Length;
  }
  return Bytes;
}

}  // namespace sim
