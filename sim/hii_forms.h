// What the simulated router, keyword handler and browser need to know about the
// registered package lists: their handles, exports, device paths, string-package
// languages, and the variable stores and questions their form sets declare.
//
// Package lists come from other drivers, so every walk is bounded by the real
// size of the export; a forms package whose opcodes do not fit is skipped whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "uefi/protocols.h"

namespace sim::hiiview {

// IFR opcodes the walks look at.
inline constexpr UINT8 IfrFormSetOp = 0x0E;
inline constexpr UINT8 IfrOneOfOp = 0x05;
inline constexpr UINT8 IfrCheckBoxOp = 0x06;
inline constexpr UINT8 IfrNumericOp = 0x07;
inline constexpr UINT8 IfrStringOp = 0x1C;
inline constexpr UINT8 IfrVarStoreOp = 0x24;
inline constexpr UINT8 IfrVarStoreEfiOp = 0x26;
inline constexpr UINT8 IfrOneOfOptionOp = 0x09;
inline constexpr UINT8 IfrEndOp = 0x29;
inline constexpr UINT8 IfrDefaultOp = 0x5B;
inline constexpr UINT8 IfrDefaultStoreOp = 0x5C;
inline constexpr UINT8 IfrScopeBit = 0x80;
inline constexpr UINT8 IfrFlagReadOnly = 0x01;
inline constexpr UINT8 IfrNumericSizeMask = 0x03;

struct VarStore {
  UINT8 OpCode = 0;  // IfrVarStoreOp (buffer store) or IfrVarStoreEfiOp (UEFI variable)
  EFI_VARSTORE_ID Id = 0;
  EFI_GUID Guid{};
  std::u16string Name;  // the opcode's ASCII name, widened
  UINT16 Size = 0;
  UINT32 Attributes = 0;    // 0 for a buffer store
  std::size_t FormSet = 0;  // index of the declaring form set within the list
};

struct Question {
  UINT8 OpCode = 0;
  EFI_STRING_ID Prompt = 0;
  EFI_QUESTION_ID Id = 0;
  EFI_VARSTORE_ID VarStoreId = 0;
  UINT16 VarOffset = 0;
  UINT8 QuestionFlags = 0;
  UINT32 Width = 0;  // bytes of storage the question occupies
  std::size_t FormSet = 0;
  // What the router offers as the question's value in an alternate
  // configuration: per default store, from DEFAULT opcodes and the option and
  // checkbox default flags; for any other store the Fallback, which is a
  // numeric's minimum, a one-of's first option or an unchecked checkbox.
  // Strings, and one-ofs without options, have none.
  std::vector<std::pair<EFI_DEFAULT_ID, UINT64>> Defaults;
  std::optional<UINT64> Fallback;
  std::optional<UINT64> DefaultFor(EFI_DEFAULT_ID Store) const;
};

struct DefaultStore {
  EFI_DEFAULT_ID Id = 0;
  std::size_t FormSet = 0;
};

struct FormsScan {
  std::vector<VarStore> VarStores;
  std::vector<Question> Questions;          // in IFR order
  std::vector<DefaultStore> DefaultStores;  // in IFR order
  std::size_t FormSets = 0;
};

struct Package {
  UINT8 Type;
  const UINT8 *Data;  // the package, its 4-byte header included
  std::size_t Size;
};

EFI_HII_DATABASE_PROTOCOL *Database();
EFI_HII_STRING_PROTOCOL *Strings();
EFI_HII_CONFIG_ROUTING_PROTOCOL *Router();

// Registered package lists in registration order (empty when none or no database).
std::vector<EFI_HII_HANDLE> PackageListHandles();
// The exported list (header and packages), empty on failure.
std::vector<UINT8> ExportPackageList(EFI_HII_HANDLE Handle);
// The packages of an export, up to its end package or the first that does not fit.
std::vector<Package> PackagesOf(const std::vector<UINT8> &Export);
EFI_HANDLE DriverHandleOf(EFI_HII_HANDLE Handle);
// A handle's device path as bytes, end node included; empty when it has none.
std::vector<UINT8> DevicePathOfHandle(EFI_HANDLE Handle);
// The device path a package list is published for: its device-path package, or
// else the device path of its driver handle.
std::vector<UINT8> DevicePathOfList(EFI_HII_HANDLE Handle, const std::vector<UINT8> &Export);
// Language tags of the string packages, in package order.
std::vector<std::string> StringLanguages(const std::vector<UINT8> &Export);
// The variable stores and questions of every form set in the export.
FormsScan ScanForms(const std::vector<UINT8> &Export);
const VarStore *FindVarStore(const FormsScan &Scan, std::size_t FormSet, EFI_VARSTORE_ID Id);
// A string of the list in one language; empty when it has none there.
std::u16string GetString(EFI_HII_HANDLE Handle, const std::string &Language, EFI_STRING_ID Id);

bool LanguageEquals(const std::string &A, const std::string &B);

}  // namespace sim::hiiview
