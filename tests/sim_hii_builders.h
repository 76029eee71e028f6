// Small hand-built package lists and a buffer-store driver for the tests of the
// simulated router, keyword handler and browser. The IFR is written byte by
// byte so that each test controls exactly what the services are given.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "uefi/guids.h"
#include "uefi/protocols.h"

namespace hiitest {

using Bytes = std::vector<UINT8>;

inline void Put16(Bytes &B, UINT16 V) { B.insert(B.end(), {UINT8(V), UINT8(V >> 8)}); }
inline void Put32(Bytes &B, UINT32 V) {
  B.insert(B.end(), {UINT8(V), UINT8(V >> 8), UINT8(V >> 16), UINT8(V >> 24)});
}
inline void PutGuid(Bytes &B, const EFI_GUID &G) {
  const auto *P = reinterpret_cast<const UINT8 *>(&G);
  B.insert(B.end(), P, P + sizeof(G));
}

// IFR of one forms package; questions open a scope that End() closes.
class Ifr {
 public:
  Ifr &Op(UINT8 OpCode, bool Scope, const Bytes &Payload) {
    Body.push_back(OpCode);
    Body.push_back(static_cast<UINT8>((Payload.size() + 2) | (Scope ? 0x80 : 0)));
    Body.insert(Body.end(), Payload.begin(), Payload.end());
    return *this;
  }
  Ifr &FormSet(const EFI_GUID &Guid, EFI_STRING_ID Title) {
    Bytes P;
    PutGuid(P, Guid);
    Put16(P, Title);
    Put16(P, 0);
    P.push_back(0);
    return Op(0x0E, true, P);
  }
  Ifr &VarStore(EFI_VARSTORE_ID Id, const EFI_GUID &Guid, UINT16 Size, const std::string &Name) {
    Bytes P;
    PutGuid(P, Guid);
    Put16(P, Id);
    Put16(P, Size);
    P.insert(P.end(), Name.begin(), Name.end());
    P.push_back(0);
    return Op(0x24, false, P);
  }
  Ifr &VarStoreEfi(EFI_VARSTORE_ID Id, const EFI_GUID &Guid, UINT32 Attributes, UINT16 Size,
                   const std::string &Name) {
    Bytes P;
    Put16(P, Id);
    PutGuid(P, Guid);
    Put32(P, Attributes);
    Put16(P, Size);
    P.insert(P.end(), Name.begin(), Name.end());
    P.push_back(0);
    return Op(0x26, false, P);
  }
  Ifr &Form(EFI_FORM_ID Id) {
    Bytes P;
    Put16(P, Id);
    Put16(P, 0);
    return Op(0x01, true, P);
  }
  // One-of (0x05) or numeric (0x07) of Width bytes; min/max/step left zero.
  Ifr &Number(UINT8 OpCode, EFI_QUESTION_ID Id, EFI_STRING_ID Prompt, EFI_VARSTORE_ID Store, UINT16 Offset,
              UINT8 Width, UINT8 QuestionFlags = 0) {
    Bytes P = Question(Id, Prompt, Store, Offset, QuestionFlags);
    UINT8 SizeCode = Width == 8 ? 3 : Width == 4 ? 2 : Width == 2 ? 1 : 0;
    P.push_back(SizeCode);
    P.insert(P.end(), 3u * Width, 0);
    return Op(OpCode, true, P).End();
  }
  Ifr &CheckBox(EFI_QUESTION_ID Id, EFI_STRING_ID Prompt, EFI_VARSTORE_ID Store, UINT16 Offset) {
    Bytes P = Question(Id, Prompt, Store, Offset, 0);
    P.push_back(0);
    return Op(0x06, true, P).End();
  }
  Ifr &String(EFI_QUESTION_ID Id, EFI_STRING_ID Prompt, EFI_VARSTORE_ID Store, UINT16 Offset, UINT8 MaxSize) {
    Bytes P = Question(Id, Prompt, Store, Offset, 0);
    P.insert(P.end(), {0, MaxSize, 0});
    return Op(0x1C, true, P).End();
  }
  Ifr &End() { return Op(0x29, false, {}); }

  Bytes Package() const {
    Bytes P;
    Put32(P, static_cast<UINT32>((Body.size() + 4) | (EFI_HII_PACKAGE_FORMS << 24)));
    P.insert(P.end(), Body.begin(), Body.end());
    return P;
  }

  Bytes Body;

 private:
  static Bytes Question(EFI_QUESTION_ID Id, EFI_STRING_ID Prompt, EFI_VARSTORE_ID Store, UINT16 Offset,
                        UINT8 Flags) {
    Bytes P;
    Put16(P, Prompt);
    Put16(P, 0);
    Put16(P, Id);
    Put16(P, Store);
    Put16(P, Offset);
    P.push_back(Flags);
    return P;
  }
};

// A string package: ids without text are skipped.
inline Bytes StringPackage(const std::string &Language,
                           const std::map<EFI_STRING_ID, std::u16string> &Strings) {
  Bytes Blocks;
  EFI_STRING_ID Next = 1;
  for (const auto &[Id, Text] : Strings) {
    for (; Next < Id; ++Next) Blocks.insert(Blocks.end(), {EFI_HII_SIBT_SKIP1, 1});
    Blocks.push_back(EFI_HII_SIBT_STRING_UCS2);
    for (char16_t Unit : Text) Put16(Blocks, Unit);
    Put16(Blocks, 0);
    Next = Id + 1;
  }
  Blocks.push_back(EFI_HII_SIBT_END);
  UINT32 HeaderSize = static_cast<UINT32>(sizeof(EFI_HII_STRING_PACKAGE_HDR) + Language.size() + 1);
  Bytes P;
  Put32(P, static_cast<UINT32>((HeaderSize + Blocks.size()) | (EFI_HII_PACKAGE_STRINGS << 24)));
  Put32(P, HeaderSize);
  Put32(P, HeaderSize);
  P.insert(P.end(), 34, 0);  // language window and language-name id
  P.insert(P.end(), Language.begin(), Language.end());
  P.push_back(0);
  P.insert(P.end(), Blocks.begin(), Blocks.end());
  return P;
}

inline Bytes PackageList(const EFI_GUID &Guid, const std::vector<Bytes> &Packages) {
  Bytes L;
  PutGuid(L, Guid);
  Put32(L, 0);
  for (const Bytes &P : Packages) L.insert(L.end(), P.begin(), P.end());
  L.insert(L.end(), {4, 0, 0, EFI_HII_PACKAGE_END});
  UINT32 Length = static_cast<UINT32>(L.size());
  std::memcpy(L.data() + 16, &Length, 4);
  return L;
}

// A vendor hardware node carrying Guid, then the end node.
inline Bytes VendorPath(const EFI_GUID &Guid) {
  Bytes P = {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 20, 0};
  PutGuid(P, Guid);
  P.insert(P.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  return P;
}

inline std::u16string Hex(const Bytes &B) {
  static const char16_t Digits[] = u"0123456789abcdef";
  std::u16string S;
  for (UINT8 V : B) S += {Digits[V >> 4], Digits[V & 15]};
  return S;
}

inline std::u16string NameHex(const std::u16string &Name) {
  std::u16string S;
  for (char16_t U : Name) S += Hex({UINT8(U >> 8), UINT8(U)});
  return S;
}

inline std::u16string Header(const EFI_GUID &Guid, const std::u16string &Name, const Bytes &Path) {
  const auto *G = reinterpret_cast<const UINT8 *>(&Guid);
  return u"GUID=" + Hex(Bytes(G, G + 16)) + u"&NAME=" + NameHex(Name) + u"&PATH=" + Hex(Path);
}

// A driver handle with a device path and, optionally, a config-access protocol
// that serves one buffer store through the router's block conversions.
struct BufferDriver {
  EFI_HII_CONFIG_ACCESS_PROTOCOL Access{};  // first: This is the driver
  EFI_HANDLE Handle = nullptr;
  Bytes Path;
  Bytes Store;
  std::u16string Alternate;  // appended to every ExtractConfig answer
  int ExtractCalls = 0;
  int RouteCalls = 0;
  std::u16string LastRequest;
  std::u16string LastConfiguration;

  static BufferDriver *Of(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This) {
    return reinterpret_cast<BufferDriver *>(const_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(This));
  }
  static EFI_HII_CONFIG_ROUTING_PROTOCOL *Router() {
    void *R = nullptr;
    sim::SystemTable()->BootServices->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr, &R);
    return static_cast<EFI_HII_CONFIG_ROUTING_PROTOCOL *>(R);
  }
  static EFI_STATUS EFIAPI Extract(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Request,
                                   CHAR16 **Progress, CHAR16 **Results) {
    BufferDriver *D = Of(This);
    ++D->ExtractCalls;
    if (Request == nullptr) return EFI_NOT_FOUND;  // asked store by store only
    D->LastRequest = Request;
    std::u16string Full = Request;
    if (Full.find(u"OFFSET") == std::u16string::npos)
      Full += u"&OFFSET=0&WIDTH=" + Hex({UINT8(D->Store.size() >> 8), UINT8(D->Store.size())});
    EFI_STATUS Status =
        Router()->BlockToConfig(Router(), Full.c_str(), D->Store.data(), D->Store.size(), Results, Progress);
    *Progress = const_cast<CHAR16 *>(Request + std::char_traits<char16_t>::length(Request));
    if (EFI_ERROR(Status) || D->Alternate.empty()) return Status;
    std::u16string Answer = std::u16string(*Results) + D->Alternate;
    sim::SystemTable()->BootServices->FreePool(*Results);
    void *Block = nullptr;
    sim::SystemTable()->BootServices->AllocatePool(EfiBootServicesData, (Answer.size() + 1) * 2, &Block);
    std::memcpy(Block, Answer.c_str(), (Answer.size() + 1) * 2);
    *Results = static_cast<CHAR16 *>(Block);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Route(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Configuration,
                                 CHAR16 **Progress) {
    BufferDriver *D = Of(This);
    ++D->RouteCalls;
    D->LastConfiguration = Configuration;
    UINTN Size = D->Store.size();
    return Router()->ConfigToBlock(Router(), Configuration, D->Store.data(), &Size, Progress);
  }
  static EFI_STATUS EFIAPI Callback(const EFI_HII_CONFIG_ACCESS_PROTOCOL *, EFI_BROWSER_ACTION,
                                    EFI_QUESTION_ID, UINT8, EFI_IFR_TYPE_VALUE *,
                                    EFI_BROWSER_ACTION_REQUEST *) {
    return EFI_UNSUPPORTED;
  }

  // Installs the path (and the protocol when WithAccess) on a new handle.
  void Install(const Bytes &DevicePath, bool WithAccess) {
    Path = DevicePath;
    Access = {Extract, Route, Callback};
    EFI_BOOT_SERVICES *Bs = sim::SystemTable()->BootServices;
    ASSERT_EQ(Bs->InstallProtocolInterface(&Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                           Path.data()),
              EFI_SUCCESS);
    if (WithAccess)
      ASSERT_EQ(Bs->InstallProtocolInterface(&Handle, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID,
                                             EFI_NATIVE_INTERFACE, &Access),
                EFI_SUCCESS);
  }
};

inline EFI_HII_HANDLE Register(const Bytes &List, EFI_HANDLE Driver) {
  void *Db = nullptr;
  sim::SystemTable()->BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Db);
  auto *Database = static_cast<EFI_HII_DATABASE_PROTOCOL *>(Db);
  EFI_HII_HANDLE Handle = nullptr;
  EXPECT_EQ(
      Database->NewPackageList(Database, reinterpret_cast<const EFI_HII_PACKAGE_LIST_HEADER *>(List.data()),
                               Driver, &Handle),
      EFI_SUCCESS);
  return Handle;
}

template <typename Protocol>
Protocol *Locate(const EFI_GUID &Guid) {
  void *P = nullptr;
  EXPECT_EQ(sim::SystemTable()->BootServices->LocateProtocol(&Guid, nullptr, &P), EFI_SUCCESS);
  return static_cast<Protocol *>(P);
}

// A pool string returned by a service, copied and freed.
inline std::u16string Take(CHAR16 *Pooled) {
  if (Pooled == nullptr) return u"<null>";
  std::u16string S = Pooled;
  sim::SystemTable()->BootServices->FreePool(Pooled);
  return S;
}

}  // namespace hiitest
