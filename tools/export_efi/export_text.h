// The text files the export writes beside each package list: the sidecar
// card-NN.pci and the lines of index.txt. The host tools read them, so their
// layout is fixed:
//
//   vendor: 15b3
//   device: 1021
//   location: 0000:3b:00.0        segment:bus:device.function, lower-case hex
//   title: Port 1 Config          only when the list has a form set; UTF-8
//   guid: c3870f7e-595e-4f50-b37f-c1d5b7cbeb3e
//
// Every writer here appends to a ByteWriter, whose failure is sticky: a caller
// checks Failed() once after a whole file.
#pragma once
#include "support/bytes.h"

// The PCI function a package list belongs to.
struct PCI_FUNCTION_IDENTITY {
  UINT16 VendorId;
  UINT16 DeviceId;
  UINTN Segment;
  UINTN Bus;
  UINTN Device;
  UINTN Function;
};

// ASCII text of the image's own constants, without its NUL.
void PutText(ByteWriter &Out, const CHAR8 *Text);
// Lower-case hex of Value, at least Digits digits (zero-filled), more when needed.
void PutLowerHex(ByteWriter &Out, UINT64 Value, UINTN Digits);
// The canonical text form, lower case: 8-4-4-4-12 digits.
void PutGuidText(ByteWriter &Out, const EFI_GUID &Guid);
// Text of another driver as UTF-8, kept on one line: control characters become
// spaces, and a surrogate without its partner becomes U+FFFD.
void PutUtf8OneLine(ByteWriter &Out, const CHAR16 *Text, UINTN Chars);

// "ssss:bb:dd.f" as lspci prints it: lower-case hex, wider fields when the
// numbers need them.
void PutLocation(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci);
// "vvvv:dddd".
void PutPciIds(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci);

// Bytes that always hold the sidecar of a list whose title has TitleChars characters.
UINTN SidecarCapacity(UINTN TitleChars);
// The sidecar. Title may be null (no form set, or its title could not be read).
void PutSidecar(ByteWriter &Out, const PCI_FUNCTION_IDENTITY &Pci, const EFI_GUID &ListGuid,
                const CHAR16 *Title, UINTN TitleChars);
// One line of index.txt: "card-NN.hpk card-NN.pci".
void PutIndexLine(ByteWriter &Out, UINTN Number);
inline constexpr UINTN INDEX_LINE_CAPACITY = 64;

// "card-NN.<Extension>" (two digits at least) into Name; false when it does not fit.
inline constexpr UINTN CARD_FILE_NAME_CHARS = 32;
inline constexpr CHAR8 CARD_LIST_EXTENSION[] = "hpk";
inline constexpr CHAR8 CARD_SIDECAR_EXTENSION[] = "pci";
inline constexpr const CHAR8 *CARD_FILE_EXTENSIONS[] = {CARD_LIST_EXTENSION, CARD_SIDECAR_EXTENSION};
bool CardFileName(CHAR16 (&Name)[CARD_FILE_NAME_CHARS], UINTN Number, const CHAR8 *Extension);
