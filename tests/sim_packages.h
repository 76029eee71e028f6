// Builders of HII package lists for tests: string packages from plain strings,
// raw packages of any type, and the package list around them.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "uefi/hii.h"

namespace simtest {

using PackageBytes = std::vector<UINT8>;

inline void PutLength24(PackageBytes &P) {
  UINT32 Length = static_cast<UINT32>(P.size());
  P[0] = static_cast<UINT8>(Length);
  P[1] = static_cast<UINT8>(Length >> 8);
  P[2] = static_cast<UINT8>(Length >> 16);
}

inline void Put16(PackageBytes &P, UINT16 Value) {
  P.push_back(static_cast<UINT8>(Value));
  P.push_back(static_cast<UINT8>(Value >> 8));
}

inline void Put32At(PackageBytes &P, std::size_t Offset, UINT32 Value) {
  std::memcpy(P.data() + Offset, &Value, 4);
}

// A package of Type whose body follows the 4-byte header.
inline PackageBytes RawPackage(UINT8 Type, const std::vector<UINT8> &Body) {
  PackageBytes P{0, 0, 0, Type};
  P.insert(P.end(), Body.begin(), Body.end());
  PutLength24(P);
  return P;
}

// The string blocks for ids 1..n: a UCS-2 block per string, a SKIP1 block per
// run of absent ones, then END.
inline PackageBytes StringBlocks(const std::vector<std::optional<std::u16string>> &Strings) {
  PackageBytes Blocks;
  std::size_t I = 0;
  while (I < Strings.size()) {
    if (!Strings[I]) {
      UINT8 Run = 0;
      while (I < Strings.size() && !Strings[I] && Run < 255) ++Run, ++I;
      Blocks.push_back(EFI_HII_SIBT_SKIP1);
      Blocks.push_back(Run);
      continue;
    }
    Blocks.push_back(EFI_HII_SIBT_STRING_UCS2);
    for (char16_t C : *Strings[I]) Put16(Blocks, C);
    Put16(Blocks, 0);
    ++I;
  }
  Blocks.push_back(EFI_HII_SIBT_END);
  return Blocks;
}

// A string package in Language over the given blocks.
inline PackageBytes StringPackageWithBlocks(const std::string &Language, const PackageBytes &Blocks) {
  PackageBytes P(sizeof(EFI_HII_STRING_PACKAGE_HDR), 0);
  P[3] = EFI_HII_PACKAGE_STRINGS;
  P.insert(P.end(), Language.begin(), Language.end());
  P.push_back(0);
  UINT32 HdrSize = static_cast<UINT32>(P.size());
  Put32At(P, 4, HdrSize);
  Put32At(P, 8, HdrSize);
  P[44] = 1;  // LanguageName: string id 1
  P.insert(P.end(), Blocks.begin(), Blocks.end());
  PutLength24(P);
  return P;
}

inline PackageBytes StringPackage(const std::string &Language,
                                  const std::vector<std::optional<std::u16string>> &Strings) {
  return StringPackageWithBlocks(Language, StringBlocks(Strings));
}

inline constexpr EFI_GUID TestListGuid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};
inline constexpr EFI_GUID OtherListGuid = {0x99999999, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

// A package list: header, the packages in order, the END package.
inline PackageBytes PackageList(const EFI_GUID &Guid, const std::vector<PackageBytes> &Packages) {
  PackageBytes L(sizeof(EFI_HII_PACKAGE_LIST_HEADER), 0);
  std::memcpy(L.data(), &Guid, sizeof Guid);
  for (const PackageBytes &P : Packages) L.insert(L.end(), P.begin(), P.end());
  L.insert(L.end(), {0x04, 0x00, 0x00, EFI_HII_PACKAGE_END});
  Put32At(L, 16, static_cast<UINT32>(L.size()));
  return L;
}

inline const EFI_HII_PACKAGE_LIST_HEADER *AsList(const PackageBytes &Bytes) {
  return reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(Bytes.data());
}

// The packages of an exported list, each with its header, END included.
inline std::vector<PackageBytes> SplitExport(const PackageBytes &List) {
  std::vector<PackageBytes> Packages;
  std::size_t Offset = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  while (Offset + 4 <= List.size()) {
    std::size_t Length = List[Offset] | (List[Offset + 1] << 8) | (List[Offset + 2] << 16);
    if (Length < 4 || Offset + Length > List.size()) break;
    Packages.emplace_back(List.begin() + Offset, List.begin() + Offset + Length);
    if (List[Offset + 3] == EFI_HII_PACKAGE_END) break;
    Offset += Length;
  }
  return Packages;
}

}  // namespace simtest
