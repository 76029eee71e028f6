// IFR and package lists written byte by byte for the tests of the reader, the
// opcode writers and the form update, and a small decoder of forms packages
// that shares no code with the driver's own reader.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "forms/identities.h"
#include "tests/sim_hii_builders.h"
#include "uefi/hii.h"

namespace ifrtest {

using hiitest::Bytes;
using hiitest::Put16;
using hiitest::Put32;
using hiitest::PutGuid;

inline UINT16 Get16(const UINT8 *P) { return static_cast<UINT16>(P[0] | (P[1] << 8)); }
inline UINT32 Get24(const UINT8 *P) { return P[0] | (P[1] << 8) | (P[2] << 16); }
inline UINT32 Get32(const UINT8 *P) { return Get24(P) | (static_cast<UINT32>(P[3]) << 24); }

inline Bytes Cat(std::initializer_list<Bytes> Parts) {
  Bytes All;
  for (const Bytes &Part : Parts) All.insert(All.end(), Part.begin(), Part.end());
  return All;
}

// One opcode: its code, its length byte (the payload plus the header, and the
// scope bit), the payload.
inline Bytes Op(UINT8 Code, const Bytes &Payload = {}, bool Scope = false) {
  Bytes B{Code, static_cast<UINT8>((Payload.size() + 2) | (Scope ? 0x80 : 0))};
  B.insert(B.end(), Payload.begin(), Payload.end());
  return B;
}
inline Bytes End() { return Op(0x29); }

inline Bytes FormSet(const EFI_GUID &Guid, bool Scope = true) {
  Bytes P;
  PutGuid(P, Guid);
  Put16(P, 2);  // title
  Put16(P, 3);  // help
  P.push_back(0);
  return Op(0x0E, P, Scope);
}
inline Bytes Form(UINT16 FormId) {
  Bytes P;
  Put16(P, FormId);
  Put16(P, 4);
  return Op(0x01, P, true);
}
inline Bytes FormMap(UINT16 FormId) {
  Bytes P;
  Put16(P, FormId);
  return Op(0x5D, P, true);
}
// The GUID opcode of the label extension: 35 17 0B 0F A0 87 93 41 B2 66 53 8C
// 38 AF 48 CE, extended opcode 0, the number.
inline Bytes Label(UINT16 Number) {
  Bytes P{0x35, 0x17, 0x0B, 0x0F, 0xA0, 0x87, 0x93, 0x41, 0xB2,
          0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE, 0x00};
  Put16(P, Number);
  return Op(0x5F, P);
}
inline Bytes Text(UINT16 Prompt, UINT16 Help = 0, UINT16 TextTwo = 0) {
  Bytes P;
  Put16(P, Prompt);
  Put16(P, Help);
  Put16(P, TextTwo);
  return Op(0x03, P);
}
inline Bytes SuppressIf() { return Op(0x0A, {}, true); }
inline Bytes True() { return Op(0x46); }

// A forms package: its 4-byte header (length, type 2) and the opcodes.
inline Bytes FormsPackage(const Bytes &OpCodes) {
  Bytes P;
  Put32(P, static_cast<UINT32>((OpCodes.size() + 4) | (0x02u << 24)));
  P.insert(P.end(), OpCodes.begin(), OpCodes.end());
  return P;
}
inline Bytes RawPackage(UINT8 Type, const Bytes &Body) {
  Bytes P;
  Put32(P, static_cast<UINT32>((Body.size() + 4) | (static_cast<UINT32>(Type) << 24)));
  P.insert(P.end(), Body.begin(), Body.end());
  return P;
}
inline Bytes EndPackage() { return {0x04, 0x00, 0x00, 0xDF}; }

// A package list: the list GUID, the length (the real one unless Stated is
// given), the packages.
inline Bytes PackageList(const std::vector<Bytes> &Packages, long long Stated = -1) {
  Bytes L;
  PutGuid(L, ADDONCARD_FORMSET_GUID);
  Put32(L, 0);
  for (const Bytes &P : Packages) L.insert(L.end(), P.begin(), P.end());
  const UINT32 Length = Stated < 0 ? static_cast<UINT32>(L.size()) : static_cast<UINT32>(Stated);
  std::memcpy(L.data() + 16, &Length, 4);
  return L;
}

// ---- Independent decoding ------------------------------------------------------

struct DecodedOp {
  UINT8 Code;
  size_t Offset;  // from the package's first byte
  size_t Length;
  bool Scope;
  int Depth;  // scopes open around it (an END stands at the depth of its opener)
  Bytes Raw;
};

// The opcodes of a forms package (header included in Package); Ok is false
// when a length is out of bounds or the scopes do not balance.
struct DecodedPackage {
  std::vector<DecodedOp> Ops;
  bool Ok = true;
};
inline DecodedPackage DecodeFormsPackage(const UINT8 *Package, size_t Size) {
  DecodedPackage Result;
  if (Size < 4 || Get24(Package) != Size) {
    Result.Ok = false;
    return Result;
  }
  int Depth = 0;
  size_t Offset = 4;
  while (Offset < Size) {
    const size_t Length = Offset + 2 <= Size ? (Package[Offset + 1] & 0x7F) : 0;
    if (Length < 2 || Offset + Length > Size) {
      Result.Ok = false;
      break;
    }
    const bool Scope = (Package[Offset + 1] & 0x80) != 0;
    if (Package[Offset] == 0x29) --Depth;
    if (Depth < 0) Result.Ok = false;
    Result.Ops.push_back(
        {Package[Offset], Offset, Length, Scope, Depth, Bytes(Package + Offset, Package + Offset + Length)});
    if (Scope) ++Depth;
    Offset += Length;
  }
  if (Depth != 0) Result.Ok = false;
  return Result;
}

// The opcodes directly inside the form FormId (not the form opcode, not its END).
inline std::vector<Bytes> FormContents(const DecodedPackage &Package, UINT16 FormId) {
  std::vector<Bytes> Contents;
  for (size_t I = 0; I < Package.Ops.size(); ++I) {
    const DecodedOp &F = Package.Ops[I];
    if (F.Code != 0x01 || Get16(F.Raw.data() + 2) != FormId) continue;
    for (size_t J = I + 1; J < Package.Ops.size() && Package.Ops[J].Depth > F.Depth; ++J)
      if (Package.Ops[J].Depth == F.Depth + 1) Contents.push_back(Package.Ops[J].Raw);
    break;
  }
  return Contents;
}

// The packages of a package list as (type, bytes); Ok is false when they do not
// tile the list exactly up to its stated length.
struct DecodedList {
  std::vector<std::pair<UINT8, Bytes>> Packages;
  bool Ok = true;
};
inline DecodedList DecodePackageList(const Bytes &List) {
  DecodedList Result;
  if (List.size() < 20 || Get32(List.data() + 16) != List.size()) {
    Result.Ok = false;
    return Result;
  }
  size_t Offset = 20;
  while (Offset < List.size()) {
    const size_t Length = Offset + 4 <= List.size() ? Get24(List.data() + Offset) : 0;
    if (Length < 4 || Offset + Length > List.size()) {
      Result.Ok = false;
      break;
    }
    Result.Packages.push_back(
        {List[Offset + 3], Bytes(List.begin() + Offset, List.begin() + Offset + Length)});
    Offset += Length;
  }
  return Result;
}

}  // namespace ifrtest
