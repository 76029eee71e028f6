// The simulator's HII database: registration, listing, export layout, update
// and the refusal of malformed package lists.
#include <gtest/gtest.h>

#include <vector>

#include "sim_fixture.h"
#include "sim_packages.h"
#include "uefi/guids.h"

namespace {

using simtest::AsList;
using simtest::OtherListGuid;
using simtest::PackageBytes;
using simtest::PackageList;
using simtest::RawPackage;
using simtest::StringPackage;
using simtest::TestListGuid;

constexpr EFI_GUID GuidPackageGuid = {0x5A5A5A5A, 7, 8, {9, 9, 9, 9, 9, 9, 9, 9}};

PackageBytes FormsPackage(UINT8 Fill, std::size_t BodySize) {
  return RawPackage(EFI_HII_PACKAGE_FORMS, std::vector<UINT8>(BodySize, Fill));
}

PackageBytes GuidPackage(const EFI_GUID &Guid) {
  std::vector<UINT8> Body(sizeof(EFI_GUID) + 2, 0xEE);
  std::memcpy(Body.data(), &Guid, sizeof Guid);
  return RawPackage(EFI_HII_PACKAGE_TYPE_GUID, Body);
}

// The 24-byte vendor path (20-byte vendor node and the end node).
std::vector<UINT8> VendorPath() {
  std::vector<UINT8> Path = {HARDWARE_DEVICE_PATH, HW_VENDOR_DP, 20, 0};
  const auto *Guid = reinterpret_cast<const UINT8 *>(&TestListGuid);
  Path.insert(Path.end(), Guid, Guid + sizeof(EFI_GUID));
  Path.insert(Path.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  return Path;
}

class SimHiiDatabase : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(Bs()->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&Db)),
              EFI_SUCCESS);
  }

  EFI_HII_HANDLE Register(const PackageBytes &List, EFI_HANDLE Driver = nullptr) {
    EFI_HII_HANDLE Handle = nullptr;
    EXPECT_EQ(Db->NewPackageList(Db, AsList(List), Driver, &Handle), EFI_SUCCESS);
    return Handle;
  }

  EFI_HANDLE DriverWithPath() {
    EFI_HANDLE Driver = nullptr;
    EXPECT_EQ(Bs()->InstallProtocolInterface(&Driver, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                             Path.data()),
              EFI_SUCCESS);
    return Driver;
  }

  PackageBytes Export(EFI_HII_HANDLE Handle) {
    UINTN Size = 0;
    EXPECT_EQ(Db->ExportPackageLists(Db, Handle, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
    PackageBytes Bytes(Size);
    EXPECT_EQ(Db->ExportPackageLists(Db, Handle, &Size,
                                     reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes.data())),
              EFI_SUCCESS);
    EXPECT_EQ(Size, Bytes.size());
    return Bytes;
  }

  std::vector<EFI_HII_HANDLE> List(UINT8 Type, const EFI_GUID *Guid = nullptr) {
    UINTN Size = 0;
    EFI_STATUS Status = Db->ListPackageLists(Db, Type, Guid, &Size, nullptr);
    if (Status == EFI_NOT_FOUND) return {};
    EXPECT_EQ(Status, EFI_BUFFER_TOO_SMALL);
    std::vector<EFI_HII_HANDLE> Handles(Size / sizeof(EFI_HII_HANDLE));
    EXPECT_EQ(Db->ListPackageLists(Db, Type, Guid, &Size, Handles.data()), EFI_SUCCESS);
    return Handles;
  }

  EFI_HII_DATABASE_PROTOCOL *Db = nullptr;
  std::vector<UINT8> Path = VendorPath();
};

std::vector<UINT8> TypesOf(const PackageBytes &Exported) {
  std::vector<UINT8> Types;
  for (const PackageBytes &P : simtest::SplitExport(Exported)) Types.push_back(P[3]);
  return Types;
}

TEST_F(SimHiiDatabase, RefusesTheSameGuidTwiceForOneDriverHandle) {
  EFI_HANDLE Driver = DriverWithPath();
  PackageBytes List = PackageList(TestListGuid, {FormsPackage(1, 8)});
  Register(List, Driver);
  EFI_HII_HANDLE Second = nullptr;
  EXPECT_EQ(Db->NewPackageList(Db, AsList(List), Driver, &Second), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Second, nullptr);
  // Another driver, or another GUID, may register it.
  EXPECT_NE(Register(List, nullptr), nullptr);
  EXPECT_NE(Register(PackageList(OtherListGuid, {FormsPackage(1, 8)}), Driver), nullptr);
  EXPECT_EQ(sim::PackageListHandles().size(), 3u);
}

TEST_F(SimHiiDatabase, ExportGroupsPackagesByTypeAndAddsTheDriversPath) {
  PackageBytes Forms = FormsPackage(0x5F, 0x835);  // a 0x839-byte forms package
  PackageBytes English = StringPackage("en-US", {u"One", u"Two"});
  PackageBytes Keywords = StringPackage("x-UEFI-QZV", {u"K1", std::nullopt});
  PackageBytes Guid = GuidPackage(GuidPackageGuid);
  PackageBytes SimpleFont = RawPackage(EFI_HII_PACKAGE_SIMPLE_FONTS, {0, 0, 0, 0});
  PackageBytes Font = RawPackage(EFI_HII_PACKAGE_FONTS, {5});
  PackageBytes Image = RawPackage(EFI_HII_PACKAGE_IMAGES, {6});
  PackageBytes Keyboard = RawPackage(EFI_HII_PACKAGE_KEYBOARD_LAYOUT, {9});
  EFI_HII_HANDLE Handle =
      Register(PackageList(TestListGuid, {Image, English, SimpleFont, Forms, Font, Keywords, Keyboard, Guid}),
               DriverWithPath());
  PackageBytes Exported = Export(Handle);
  EXPECT_EQ(TypesOf(Exported), (std::vector<UINT8>{EFI_HII_PACKAGE_TYPE_GUID, EFI_HII_PACKAGE_FORMS,
                                                   EFI_HII_PACKAGE_KEYBOARD_LAYOUT, EFI_HII_PACKAGE_STRINGS,
                                                   EFI_HII_PACKAGE_STRINGS, EFI_HII_PACKAGE_FONTS,
                                                   EFI_HII_PACKAGE_IMAGES, EFI_HII_PACKAGE_SIMPLE_FONTS,
                                                   EFI_HII_PACKAGE_DEVICE_PATH, EFI_HII_PACKAGE_END}));
  std::vector<PackageBytes> Packages = simtest::SplitExport(Exported);
  EXPECT_EQ(Packages[1], Forms);  // byte-identical
  EXPECT_EQ(Packages[3], English);
  EXPECT_EQ(Packages[4], Keywords);
  PackageBytes ExpectedPath = RawPackage(EFI_HII_PACKAGE_DEVICE_PATH, Path);
  EXPECT_EQ(Packages[8], ExpectedPath);
  EXPECT_EQ(Packages[8][0], 0x1C);
  EXPECT_EQ(Packages[9], (PackageBytes{0x04, 0x00, 0x00, 0xDF}));
  UINT32 Length = 0;
  std::memcpy(&Length, Exported.data() + 16, 4);
  EXPECT_EQ(Length, Exported.size());
  EXPECT_EQ(std::memcmp(Exported.data(), &TestListGuid, sizeof(EFI_GUID)), 0);
}

TEST_F(SimHiiDatabase, ExportOfAllListsAndTooSmallBuffers) {
  EFI_HII_HANDLE First = Register(PackageList(TestListGuid, {FormsPackage(1, 4)}));
  EFI_HII_HANDLE Second = Register(PackageList(OtherListGuid, {FormsPackage(2, 6)}));
  PackageBytes One = Export(First), Two = Export(Second);
  PackageBytes Both = One;
  Both.insert(Both.end(), Two.begin(), Two.end());
  EXPECT_EQ(Export(nullptr), Both);

  UINTN Size = One.size() - 1;
  PackageBytes Buffer(Size, 0xCC);
  EXPECT_EQ(Db->ExportPackageLists(Db, First, &Size,
                                   reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Buffer.data())),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, One.size());
  EXPECT_EQ(Buffer, PackageBytes(One.size() - 1, 0xCC));
  int NotAHandle = 0;
  Size = 0;
  EXPECT_EQ(Db->ExportPackageLists(Db, &NotAHandle, &Size, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Db->ExportPackageLists(Db, First, nullptr, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiDatabase, ListFiltersByTypeAndGuidInRegistrationOrder) {
  EFI_HII_HANDLE Forms = Register(PackageList(TestListGuid, {FormsPackage(1, 4)}));
  EFI_HII_HANDLE Strings = Register(PackageList(OtherListGuid, {StringPackage("en-US", {u"A"})}));
  EFI_HII_HANDLE Both = Register(
      PackageList(TestListGuid,
                  {StringPackage("en-US", {u"B"}), FormsPackage(2, 4), GuidPackage(GuidPackageGuid)}),
      DriverWithPath());
  using Handles = std::vector<EFI_HII_HANDLE>;
  EXPECT_EQ(List(EFI_HII_PACKAGE_TYPE_ALL), (Handles{Forms, Strings, Both}));
  EXPECT_EQ(List(EFI_HII_PACKAGE_FORMS), (Handles{Forms, Both}));
  EXPECT_EQ(List(EFI_HII_PACKAGE_STRINGS), (Handles{Strings, Both}));
  EXPECT_EQ(List(EFI_HII_PACKAGE_DEVICE_PATH), (Handles{Both}));
  EXPECT_EQ(List(EFI_HII_PACKAGE_TYPE_GUID, &GuidPackageGuid), (Handles{Both}));
  EXPECT_EQ(List(EFI_HII_PACKAGE_TYPE_GUID, &TestListGuid), Handles{});
  EXPECT_EQ(List(EFI_HII_PACKAGE_FONTS), Handles{});
}

TEST_F(SimHiiDatabase, ListReportsNeededBytesAndRefusesBadArguments) {
  Register(PackageList(TestListGuid, {FormsPackage(1, 4)}));
  Register(PackageList(OtherListGuid, {FormsPackage(1, 4)}));
  EFI_HII_HANDLE One[1] = {};
  UINTN Size = sizeof One;
  EXPECT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Size, One), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 2 * sizeof(EFI_HII_HANDLE));
  EXPECT_EQ(One[0], nullptr);
  Size = 0;
  EXPECT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_TYPE_GUID, nullptr, &Size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_FORMS, &TestListGuid, &Size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_FORMS, nullptr, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  Size = sizeof One;
  EXPECT_EQ(Db->ListPackageLists(Db, EFI_HII_PACKAGE_FORMS, nullptr, &Size, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiDatabase, RemovedListsAreGone) {
  EFI_HII_HANDLE Handle = Register(PackageList(TestListGuid, {FormsPackage(1, 4)}));
  EXPECT_EQ(Db->RemovePackageList(Db, Handle), EFI_SUCCESS);
  EXPECT_EQ(Db->RemovePackageList(Db, Handle), EFI_NOT_FOUND);
  EXPECT_TRUE(List(EFI_HII_PACKAGE_TYPE_ALL).empty());
  UINTN Size = 0;
  EXPECT_EQ(Db->ExportPackageLists(Db, Handle, &Size, nullptr), EFI_NOT_FOUND);
  // The GUID is free again for the same driver handle.
  EXPECT_NE(Register(PackageList(TestListGuid, {FormsPackage(1, 4)})), Handle);
}

TEST_F(SimHiiDatabase, GetPackageListHandleGivesTheDriverHandle) {
  EFI_HANDLE Driver = DriverWithPath();
  EFI_HII_HANDLE Handle = Register(PackageList(TestListGuid, {FormsPackage(1, 4)}), Driver);
  EFI_HANDLE Found = nullptr;
  EXPECT_EQ(Db->GetPackageListHandle(Db, Handle, &Found), EFI_SUCCESS);
  EXPECT_EQ(Found, Driver);
  int NotAHandle = 0;
  EXPECT_EQ(Db->GetPackageListHandle(Db, &NotAHandle, &Found), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Db->GetPackageListHandle(Db, nullptr, &Found), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Db->GetPackageListHandle(Db, Handle, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiDatabase, UpdateReplacesEveryPackageOfEachTypeItBrings) {
  PackageBytes Forms = FormsPackage(1, 8);
  EFI_HII_HANDLE Handle = Register(PackageList(
      TestListGuid, {Forms, StringPackage("en-US", {u"Old"}), StringPackage("fr-FR", {u"Vieux"})}));
  PackageBytes NewStrings = StringPackage("de-DE", {u"Neu"});
  PackageBytes NewFont = RawPackage(EFI_HII_PACKAGE_FONTS, {1, 2, 3, 4});
  ASSERT_EQ(Db->UpdatePackageList(Db, Handle, AsList(PackageList(TestListGuid, {NewStrings, NewFont}))),
            EFI_SUCCESS);
  std::vector<PackageBytes> Packages = simtest::SplitExport(Export(Handle));
  ASSERT_EQ(Packages.size(), 4u);
  EXPECT_EQ(Packages[0], Forms);
  EXPECT_EQ(Packages[1], NewStrings);
  EXPECT_EQ(Packages[2], NewFont);
}

TEST_F(SimHiiDatabase, UpdateWalksToTheEndPackageWhateverTheListLengthSays) {
  PackageBytes Forms = FormsPackage(1, 8);
  EFI_HII_HANDLE Handle = Register(PackageList(TestListGuid, {Forms}));
  PackageBytes NewForms = FormsPackage(2, 12);
  PackageBytes Update = PackageList(TestListGuid, {NewForms});
  // A strings package after the END package, inside the stated length, is not part of the list.
  PackageBytes Trailer = StringPackage("en-US", {u"Ignored"});
  Update.insert(Update.end(), Trailer.begin(), Trailer.end());
  simtest::Put32At(Update, 16, static_cast<UINT32>(Update.size()));
  ASSERT_EQ(Db->UpdatePackageList(Db, Handle, AsList(Update)), EFI_SUCCESS);
  EXPECT_EQ(TypesOf(Export(Handle)), (std::vector<UINT8>{EFI_HII_PACKAGE_FORMS, EFI_HII_PACKAGE_END}));
  EXPECT_EQ(simtest::SplitExport(Export(Handle))[0], NewForms);

  // A stated length that ends inside the first package still updates with every package up to END.
  PackageBytes Strings = StringPackage("fr-FR", {u"Neuf"});
  Update = PackageList(TestListGuid, {FormsPackage(3, 8), Strings});
  simtest::Put32At(Update, 16, 24);
  ASSERT_EQ(Db->UpdatePackageList(Db, Handle, AsList(Update)), EFI_SUCCESS);
  std::vector<PackageBytes> Packages = simtest::SplitExport(Export(Handle));
  ASSERT_EQ(Packages.size(), 3u);
  EXPECT_EQ(Packages[0], FormsPackage(3, 8));
  EXPECT_EQ(Packages[1], Strings);
}

TEST_F(SimHiiDatabase, UpdateOfAnUnknownHandleOrWithAMalformedListChangesNothing) {
  PackageBytes Forms = FormsPackage(1, 8);
  EFI_HII_HANDLE Handle = Register(PackageList(TestListGuid, {Forms}));
  PackageBytes Before = Export(Handle);
  // The forms package is sound; the strings package after it is not, so neither is taken.
  PackageBytes BadStrings = StringPackage("en-US", {u"A"});
  simtest::Put32At(BadStrings, 4, 400);  // HdrSize past the package
  PackageBytes ZeroLength = PackageList(TestListGuid, {FormsPackage(2, 8)});
  ZeroLength[20] = 0;  // forms package length 0
  for (const PackageBytes &Update :
       {PackageList(TestListGuid, {FormsPackage(2, 8), BadStrings}), ZeroLength}) {
    EXPECT_EQ(Db->UpdatePackageList(Db, Handle, AsList(Update)), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Export(Handle), Before);
  }
  int NotAHandle = 0;
  EXPECT_EQ(Db->UpdatePackageList(Db, &NotAHandle, AsList(PackageList(TestListGuid, {Forms}))),
            EFI_NOT_FOUND);
  EXPECT_EQ(Db->UpdatePackageList(Db, Handle, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiDatabase, MalformedListsAreRefused) {
  auto WithLength = [](PackageBytes List, UINT32 Length) {
    simtest::Put32At(List, 16, Length);
    return List;
  };
  PackageBytes Good = PackageList(TestListGuid, {FormsPackage(1, 8)});
  PackageBytes ZeroLengthPackage = Good;
  ZeroLengthPackage[20] = 0;  // forms package length 0
  PackageBytes BadStringHeader = StringPackage("en-US", {u"A"});
  simtest::Put32At(BadStringHeader, 4, 400);  // HdrSize past the package
  PackageBytes NoLanguageEnd = StringPackage("en", {u"A"});
  NoLanguageEnd[46 + 2] = 'x';  // the tag's terminator overwritten
  PackageBytes Blocks = simtest::StringBlocks({u"AB"});
  Blocks.resize(Blocks.size() - 3);  // cuts into the string, no END block
  PackageBytes Unterminated = simtest::StringPackageWithBlocks("en-US", Blocks);
  PackageBytes UnknownBlock = simtest::StringPackageWithBlocks("en-US", {0x7E, EFI_HII_SIBT_END});
  struct Case {
    const char *What;
    PackageBytes List;
  } Cases[] = {
      {"length below the header", WithLength(Good, 10)},
      {"no END package within the length", WithLength(Good, static_cast<UINT32>(Good.size() - 4))},
      {"package past the length", WithLength(Good, 24)},
      {"zero-length package", ZeroLengthPackage},
      {"unknown package type", PackageList(TestListGuid, {RawPackage(0x55, {1, 2})})},
      {"short GUID package", PackageList(TestListGuid, {RawPackage(EFI_HII_PACKAGE_TYPE_GUID, {1, 2})})},
      {"string header past the package", PackageList(TestListGuid, {BadStringHeader})},
      {"language without terminator", PackageList(TestListGuid, {NoLanguageEnd})},
      {"string blocks without END", PackageList(TestListGuid, {Unterminated})},
      {"unknown string block", PackageList(TestListGuid, {UnknownBlock})},
  };
  for (const Case &C : Cases) {
    EFI_HII_HANDLE Handle = nullptr;
    EXPECT_EQ(Db->NewPackageList(Db, AsList(C.List), nullptr, &Handle), EFI_INVALID_PARAMETER) << C.What;
  }
  EXPECT_TRUE(sim::PackageListHandles().empty());
  EFI_HII_HANDLE Handle = nullptr;
  EXPECT_EQ(Db->NewPackageList(Db, nullptr, nullptr, &Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Db->NewPackageList(Db, AsList(Good), nullptr, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(SimHiiDatabase, ServicesConsultTheirFaultsAndPowerOnEmptiesTheDatabase) {
  PackageBytes List = PackageList(TestListGuid, {FormsPackage(1, 8)});
  sim::FailService("HiiDatabase.NewPackageList", EFI_OUT_OF_RESOURCES);
  EFI_HII_HANDLE Handle = nullptr;
  EXPECT_EQ(Db->NewPackageList(Db, AsList(List), nullptr, &Handle), EFI_OUT_OF_RESOURCES);
  Handle = Register(List);
  sim::FailService("HiiDatabase.ExportPackageLists", EFI_DEVICE_ERROR);
  UINTN Size = 0;
  EXPECT_EQ(Db->ExportPackageLists(Db, Handle, &Size, nullptr), EFI_DEVICE_ERROR);
  sim::FailService("HiiDatabase.ListPackageLists", EFI_DEVICE_ERROR);
  EXPECT_EQ(Db->ListPackageLists(Db, 0, nullptr, &Size, nullptr), EFI_DEVICE_ERROR);
  sim::PowerOn();
  EXPECT_TRUE(sim::PackageListHandles().empty());
}

}  // namespace
