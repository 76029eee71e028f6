// Foreign variable stores: the registry fed from other drivers' IFR, and reads
// and writes of a card's buffer store through the simulated router.
#include "hii/foreign_varstore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "sim/card_fixture.h"
#include "sim/sim.h"
#include "support/ifr_reader.h"
#include "support/pool.h"
#include "tests/sim_fixture.h"

namespace {

constexpr EFI_GUID StoreGuid = {0x4A1C2B3D, 0x5E6F, 0x4789, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};
constexpr EFI_GUID OtherGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr const char *StoreName = "CardStore";
constexpr CHAR16 StoreName16[] = u"CardStore";
constexpr UINT8 Untouched = 0xEE;

std::u16string Hex(const void *Bytes, std::size_t Count, bool Upper = false) {
  const char16_t *Digits = Upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  std::u16string Text;
  for (std::size_t I = 0; I < Count; ++I) {
    const UINT8 Byte = static_cast<const UINT8 *>(Bytes)[I];
    Text += {Digits[Byte >> 4], Digits[Byte & 0xF]};
  }
  return Text;
}

// The VALUE the driver writes: uppercase, last byte first.
std::u16string ValueDigits(std::vector<UINT8> Block) {
  std::reverse(Block.begin(), Block.end());
  return Hex(Block.data(), Block.size(), true);
}

std::vector<UINT8> Pattern(std::size_t Size, UINT8 Seed) {
  std::vector<UINT8> Bytes(Size);
  for (std::size_t I = 0; I < Size; ++I) Bytes[I] = static_cast<UINT8>(Seed + I * 7);
  return Bytes;
}

// ---- registry ------------------------------------------------------------------------

class VarStoreRegistryTest : public SimTest {
 protected:
  // Package-list handles as the registry sees them: values it only compares.
  static EFI_HII_HANDLE List(std::uintptr_t N) { return reinterpret_cast<EFI_HII_HANDLE>(0x1000 * N); }
  static std::size_t UsedEntries() {
    std::size_t Used = 0;
    for (const VARSTORE_RECORD &Entry : VarStoreRegistry) Used += Entry.VarStoreId != 0;
    return Used;
  }
};

TEST_F(VarStoreRegistryTest, KeepsFiftyStoresAndRefusesNamesThatDoNotFitWhole) {
  for (UINT16 Id = 1; Id <= 50; ++Id) RegisterVarStore(List(1), u"Store", StoreGuid, Id, Id, 0, 0);
  std::vector<UINT8> Before(sizeof(VarStoreRegistry));
  std::memcpy(Before.data(), VarStoreRegistry, Before.size());
  RegisterVarStore(List(1), u"Late", OtherGuid, 51, 51, 7, 1);
  RegisterVarStore(List(2), u"Late", OtherGuid, 1, 51, 7, 1);
  EXPECT_EQ(std::memcmp(Before.data(), VarStoreRegistry, Before.size()), 0);
  EXPECT_EQ(FindVarStore(List(1), 51), nullptr);
  EXPECT_EQ(FindVarStore(List(2), 1), nullptr);
  ASSERT_NE(FindVarStore(List(1), 50), nullptr);
  EXPECT_EQ(FindVarStore(List(1), 50)->Size, 50u);
  // A store already there is refreshed even in a full registry.
  RegisterVarStore(List(1), u"Renamed", OtherGuid, 50, 9, 3, 1);
  const VARSTORE_RECORD *Refreshed = FindVarStore(List(1), 50);
  ASSERT_NE(Refreshed, nullptr);
  EXPECT_EQ(std::u16string(Refreshed->Name), u"Renamed");
  EXPECT_EQ(Refreshed->Size, 9u);
  EXPECT_EQ(UsedEntries(), 50u);

  ResetForeignVarStoreState();
  const std::u16string Longest(VARSTORE_NAME_CHARS - 1, u'x');
  RegisterVarStore(List(1), Longest.c_str(), StoreGuid, 3, 1, 0, 0);
  RegisterVarStore(List(1), std::u16string(VARSTORE_NAME_CHARS, u'y').c_str(), StoreGuid, 4, 1, 0, 0);
  RegisterVarStore(List(1), u"Zero", StoreGuid, 0, 1, 0, 0);  // id 0 marks a free entry: not a store
  EXPECT_EQ(FindVarStore(List(1), 4), nullptr);               // a cut name would name no store
  EXPECT_EQ(FindVarStore(List(1), 0), nullptr);
  ASSERT_NE(FindVarStore(List(1), 3), nullptr);
  EXPECT_EQ(std::u16string(FindVarStore(List(1), 3)->Name), Longest);
  EXPECT_EQ(UsedEntries(), 1u);
}

// Opcode bytes as a card's IFR carries them.
std::vector<UINT8> VarStoreOpcode(UINT16 Id, UINT16 Size, const std::string &Name, bool Terminated = true) {
  std::vector<UINT8> Op = {0x24, 0};
  Op.insert(Op.end(), reinterpret_cast<const UINT8 *>(&StoreGuid),
            reinterpret_cast<const UINT8 *>(&StoreGuid) + 16);
  Op.insert(Op.end(), {static_cast<UINT8>(Id), static_cast<UINT8>(Id >> 8), static_cast<UINT8>(Size),
                       static_cast<UINT8>(Size >> 8)});
  Op.insert(Op.end(), Name.begin(), Name.end());
  if (Terminated) Op.push_back(0);
  Op[1] = static_cast<UINT8>(Op.size());
  return Op;
}

std::vector<UINT8> VarStoreEfiOpcode(UINT16 Id, UINT32 Attributes, UINT16 Size, const std::string &Name) {
  std::vector<UINT8> Op = {0x26, 0, static_cast<UINT8>(Id), static_cast<UINT8>(Id >> 8)};
  Op.insert(Op.end(), reinterpret_cast<const UINT8 *>(&OtherGuid),
            reinterpret_cast<const UINT8 *>(&OtherGuid) + 16);
  for (int I = 0; I < 4; ++I) Op.push_back(static_cast<UINT8>(Attributes >> (8 * I)));
  Op.insert(Op.end(), {static_cast<UINT8>(Size), static_cast<UINT8>(Size >> 8)});
  Op.insert(Op.end(), Name.begin(), Name.end());
  Op.push_back(0);
  Op[1] = static_cast<UINT8>(Op.size());
  return Op;
}

// Hands every opcode the bounded reader takes from Bytes to the registry, as a
// walk over a forms package does.
void Record(EFI_HII_HANDLE Handle, const std::vector<UINT8> &Bytes) {
  IfrCursor Cursor = IfrCursor::OverOpCodes(ByteView(Bytes.data(), Bytes.size()));
  for (IfrOpCode Op; Cursor.Next(&Op);) EXPECT_EQ(RecordVarStoreOpcode(Handle, Op), EFI_SUCCESS);
}

// A buffer-store opcode whose length byte claims only Length bytes, cut there.
std::vector<UINT8> ShortVarStoreOpcode(UINT8 Length) {
  std::vector<UINT8> Op = VarStoreOpcode(1, 2, "Abc");
  Op.resize(Length);
  Op[1] = Length;
  return Op;
}

TEST_F(VarStoreRegistryTest, RecordsStoreOpcodesWithoutReadingPastTheOpcodeOrThePackage) {
  const std::string Longest(IFR_LENGTH_MASK - 27, 'N');  // the longest name an EFI store opcode holds
  struct Case {
    const char *Name;
    std::vector<UINT8> Opcode;
    std::size_t Available;  // bytes handed over; the test buffer is exactly this long
    bool Registered;
    std::u16string StoredName;
    UINT16 Size;
    UINT32 Attributes;
    UINT8 IsEfi;
  } Cases[] = {
      {"buffer store", VarStoreOpcode(1, 41, "PortConfig"), 0, true, u"PortConfig", 41, 0, 0},
      {"EFI store, longest name kept whole", VarStoreEfiOpcode(1, 7, 4, Longest), 0, true,
       std::u16string(Longest.begin(), Longest.end()), 4, 7, 1},
      {"name without NUL ends with the opcode", VarStoreOpcode(1, 2, "Abc", false), 0, true, u"Abc", 2, 0, 0},
      {"package ends inside the name: the reader refuses the opcode", VarStoreOpcode(1, 2, "Abcdef"), 22 + 3,
       false, u"", 0, 0, 0},
      {"length byte below the fixed fields", ShortVarStoreOpcode(21), 0, false, u"", 0, 0, 0},
      {"package ends inside the fixed fields", VarStoreOpcode(1, 2, "Abc"), 21, false, u"", 0, 0, 0},
      {"EFI opcode too short for its fixed fields", VarStoreEfiOpcode(1, 7, 4, "X"), 25, false, u"", 0, 0, 0},
      {"other opcode", {0x25, 0x08, 1, 0, 0, 0, 0, 0}, 0, false, u"", 0, 0, 0},
      {"nothing available", VarStoreOpcode(1, 2, "Abc"), 1, false, u"", 0, 0, 0},
  };
  ASSERT_EQ(Cases[1].Opcode.size(), IFR_LENGTH_MASK);
  for (auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    ResetForeignVarStoreState();
    const std::size_t Available = C.Available == 0 ? C.Opcode.size() : C.Available;
    // Exactly the bytes handed over, on the heap: any read past them is caught.
    std::vector<UINT8> Bytes(C.Opcode.begin(), C.Opcode.begin() + static_cast<long>(Available));
    Record(List(1), Bytes);
    const VARSTORE_RECORD *Store = FindVarStore(List(1), 1);
    ASSERT_EQ(Store != nullptr, C.Registered);
    if (Store == nullptr) continue;
    EXPECT_EQ(std::u16string(Store->Name), C.StoredName);
    EXPECT_EQ(Store->Size, C.Size);
    EXPECT_EQ(Store->Attributes, C.Attributes);
    EXPECT_EQ(Store->IsEfi, C.IsEfi);
    EXPECT_EQ(Store->CardHiiHandle, List(1));
  }
  // A length byte whose scope bit is set still gives the opcode's length.
  ResetForeignVarStoreState();
  auto Scoped = VarStoreOpcode(2, 8, "S");
  Scoped[1] |= 0x80;
  Record(List(1), Scoped);
  ASSERT_NE(FindVarStore(List(1), 2), nullptr);
  EXPECT_TRUE(GuidEquals(FindVarStore(List(1), 2)->Guid, StoreGuid));
}

TEST_F(VarStoreRegistryTest, CardsWhoseStoresShareIdsEachFindTheirOwnAndRescansAddNothing) {
  // Two card models, each numbering its stores from 1.
  const std::vector<std::vector<UINT8>> FirstCard = {VarStoreOpcode(1, 41, "PortConfig"),
                                                     VarStoreEfiOpcode(2, 7, 4, "PortBoot")};
  const std::vector<std::vector<UINT8>> SecondCard = {VarStoreOpcode(1, 80, "NicSetup")};
  for (int Scan = 0; Scan < 60; ++Scan)
    for (const auto &Opcode : FirstCard) Record(List(1), Opcode);
  for (const auto &Opcode : SecondCard) Record(List(2), Opcode);

  EXPECT_EQ(UsedEntries(), 3u);
  ASSERT_NE(FindVarStore(List(1), 1), nullptr);
  ASSERT_NE(FindVarStore(List(2), 1), nullptr);
  EXPECT_EQ(std::u16string(FindVarStore(List(1), 1)->Name), u"PortConfig");
  EXPECT_EQ(FindVarStore(List(1), 1)->Size, 41u);
  EXPECT_EQ(std::u16string(FindVarStore(List(2), 1)->Name), u"NicSetup");
  EXPECT_EQ(FindVarStore(List(2), 1)->Size, 80u);
  ASSERT_NE(FindVarStore(List(1), 2), nullptr);
  EXPECT_EQ(FindVarStore(List(1), 2)->IsEfi, 1u);
  EXPECT_EQ(FindVarStore(List(2), 2), nullptr);
}

// ---- reads and writes through the router ------------------------------------------------

class ForeignStoreTest : public SimTest {
 protected:
  // A card of one model at the given bus, its buffer store filled with Bytes;
  // a second store of the same GUID is named "Other".
  sim::CardDriver &PublishCard(UINTN Bus, const std::vector<UINT8> &Bytes, UINT16 Size = 41) {
    auto List = sim::CardFormSet("Card")
                    .BufferStore(1, StoreName, StoreGuid, Size)
                    .BufferStore(2, "Other", StoreGuid, 40)
                    .Form(1, "Main")
                    .OneOf({.Id = 0x10, .Store = 1, .Offset = 0, .Prompt = "Speed"})
                    .Options({{"Auto", 0}, {"Fast", 1}})
                    .Build();
    return sim::PublishCard(sim::AddPciFunction(0x15B3, 0x1021, Bus, 0, 0), List, {{StoreName, Bytes}});
  }

  sim::CardDriver &PublishPathlessCard() {
    auto List = sim::CardFormSet("Pathless", OtherGuid).BufferStore(1, StoreName, StoreGuid, 41).Build();
    return sim::PublishCardOnPath({}, List);
  }

  std::u16string Header(const sim::CardDriver &Card) {
    std::u16string NameDigits;
    for (const char *C = StoreName; *C != 0; ++C) NameDigits += u"00" + Hex(C, 1);
    return u"GUID=" + Hex(&StoreGuid, 16) + u"&NAME=" + NameDigits + u"&PATH=" +
           Hex(Card.DevicePath.data(), Card.DevicePath.size());
  }

  EFI_STATUS Read(const sim::CardDriver &Card, std::vector<UINT8> &Block, UINTN Size) {
    return ReadVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Block.data(), Size);
  }
};

TEST_F(ForeignStoreTest, ReadSendsTheStoreHeaderWithAnEightDigitWidthAndKeepsOneCacheBlock) {
  const auto Contents = Pattern(41, 3);
  sim::CardDriver &Card = PublishCard(0x3B, Contents);
  std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES, Untouched);
  ASSERT_EQ(Read(Card, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(std::vector<UINT8>(Block.begin(), Block.begin() + 41), Contents);
  EXPECT_EQ(Block[41], Untouched);
  EXPECT_EQ(Card.LastRequest, Header(Card) + u"&OFFSET=0&WIDTH=00000029");
  EXPECT_EQ(sim::HeldBlocks(), 1u);  // the read cache
  DiscardVarStoreReadCache();
  EXPECT_EQ(sim::HeldBlocks(), 0u);
  DiscardVarStoreReadCache();
}

TEST_F(ForeignStoreTest, WriteSendsMinimalWidthAndUppercaseValueWithTheLastByteFirst) {
  struct Case {
    UINT16 Size;
    const char16_t *Width;
  } Cases[] = {{41, u"29"}, {1024, u"400"}, {20000, u"4E20"}};
  UINTN Bus = 1;
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Size);
    sim::CardDriver &Card = PublishCard(Bus++, Pattern(C.Size, 1), C.Size);
    std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES, Untouched);
    ASSERT_EQ(Read(Card, Block, C.Size), EFI_SUCCESS);  // locates the router
    Block.resize(C.Size);
    Block[0] ^= 0xFF;
    Block[C.Size - 1] = 0xAB;
    ASSERT_EQ(WriteVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Block.data(), C.Size), EFI_SUCCESS);
    EXPECT_EQ(Card.LastConfiguration,
              Header(Card) + u"&OFFSET=0&WIDTH=" + C.Width + u"&VALUE=" + ValueDigits(Block));
    EXPECT_EQ(Card.Store(StoreName), Block);
    // The write dropped the cached copy of the store it changed.
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
}

TEST_F(ForeignStoreTest, CacheServesOnlyTheStoreItWasReadFrom) {
  sim::CardDriver &First = PublishCard(0x3B, Pattern(41, 10));
  sim::CardDriver &Second = PublishCard(0x3C, Pattern(41, 90));
  std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES, Untouched);

  ASSERT_EQ(Read(First, Block, 41), EFI_SUCCESS);
  First.Store(StoreName)[0] = 0x55;  // changed behind the cache
  ASSERT_EQ(Read(First, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(First.ExtractConfigCalls, 1u);
  EXPECT_EQ(Block[0], Pattern(41, 10)[0]);

  // Same model, same store name and GUID, another card: never the first card's bytes.
  ASSERT_EQ(Read(Second, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(Second.ExtractConfigCalls, 1u);
  EXPECT_EQ(std::vector<UINT8>(Block.begin(), Block.begin() + 41), Pattern(41, 90));
  ASSERT_EQ(Read(First, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(First.ExtractConfigCalls, 2u);
  EXPECT_EQ(Block[0], 0x55);

  // Another size or name of the same card is another store.
  std::vector<UINT8> Small(VARSTORE_BLOCK_BYTES, Untouched);
  ASSERT_EQ(Read(First, Small, 40), EFI_SUCCESS);
  EXPECT_EQ(First.ExtractConfigCalls, 3u);
  EXPECT_EQ(ReadVarStoreBlock(First.HiiHandle, u"Other", &StoreGuid, Small.data(), 40), EFI_SUCCESS);
  EXPECT_EQ(First.ExtractConfigCalls, 4u);

  DiscardVarStoreReadCache();
  ASSERT_EQ(Read(Second, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(Second.ExtractConfigCalls, 2u);
  EXPECT_EQ(sim::HeldBlocks(), 1u);
}

TEST_F(ForeignStoreTest, FailedReadsLeaveBlockAndCacheAloneAndHoldNothing) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(41, 3));
  // A driver whose handle carries no device path: its list has no device-path
  // package, and no router could find the driver anyway.
  sim::CardDriver &Pathless = PublishPathlessCard();
  struct Case {
    const char *Name;
    const char *Service;  // null: none
    EFI_STATUS Injected;
    EFI_HII_HANDLE Handle;  // null: the card's
    std::u16string StoreName;
    UINTN Size;
    EFI_STATUS Status;
  } Cases[] = {
      {"block above 32768 bytes", nullptr, 0, nullptr, StoreName16, VARSTORE_BLOCK_BYTES + 1,
       EFI_BAD_BUFFER_SIZE},
      {"unknown package list", nullptr, 0, &Card, StoreName16, 41, EFI_NOT_FOUND},
      {"package-list export fails", "HiiDatabase.ExportPackageLists", EFI_DEVICE_ERROR, nullptr, StoreName16,
       41, EFI_DEVICE_ERROR},
      {"list without a device path", nullptr, 0, Pathless.HiiHandle, StoreName16, 41, EFI_NOT_FOUND},
      {"router refuses", "ConfigRouting.ExtractConfig", EFI_NOT_FOUND, nullptr, StoreName16, 41,
       EFI_NOT_FOUND},
      {"router's block conversion fails", "ConfigRouting.ConfigToBlock", EFI_DEVICE_ERROR, nullptr,
       StoreName16, 41, EFI_DEVICE_ERROR},
      {"name too long for a request", nullptr, 0, nullptr, std::u16string(8200, u'n'), 41,
       EFI_BUFFER_TOO_SMALL},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    DiscardVarStoreReadCache();
    const std::size_t CallsBefore = Card.ExtractConfigCalls;
    if (C.Service != nullptr) sim::FailService(C.Service, C.Injected);
    std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES + 1, Untouched);
    EXPECT_EQ(ReadVarStoreBlock(C.Handle ? C.Handle : Card.HiiHandle, C.StoreName.c_str(), &StoreGuid,
                                Block.data(), C.Size),
              C.Status);
    sim::ClearFaults();
    EXPECT_EQ(Block, std::vector<UINT8>(VARSTORE_BLOCK_BYTES + 1, Untouched));
    // Only a conversion failure comes after the card answered.
    if (C.Service == nullptr || std::string(C.Service) != "ConfigRouting.ConfigToBlock")
      EXPECT_EQ(Card.ExtractConfigCalls, CallsBefore);
    EXPECT_EQ(Pathless.ExtractConfigCalls, 0u);
    EXPECT_EQ(VarStoreReadCache.Block, nullptr);
    EXPECT_EQ(sim::HeldBlocks(), 0u);
  }
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

TEST_F(ForeignStoreTest, FailedWritesLeaveTheStoreAloneAndDropTheCacheOnlyOnceRouted) {
  const auto Contents = Pattern(41, 3);
  sim::CardDriver &Card = PublishCard(0x3B, Contents);
  sim::CardDriver &Pathless = PublishPathlessCard();
  struct Case {
    const char *Name;
    const char *Service;  // null: none
    EFI_STATUS Injected;
    EFI_HII_HANDLE Handle;  // null: the card's
    std::u16string StoreName;
    UINTN Size;
    EFI_STATUS Status;
    bool Routed;  // the router was asked, so the store may have changed
  } Cases[] = {
      {"block above 32768 bytes", nullptr, 0, nullptr, StoreName16, VARSTORE_BLOCK_BYTES + 1,
       EFI_BAD_BUFFER_SIZE, false},
      {"unknown package list", nullptr, 0, &Card, StoreName16, 41, EFI_NOT_FOUND, false},
      {"package-list export fails", "HiiDatabase.ExportPackageLists", EFI_DEVICE_ERROR, nullptr, StoreName16,
       41, EFI_DEVICE_ERROR, false},
      {"list without a device path", nullptr, 0, Pathless.HiiHandle, StoreName16, 41, EFI_NOT_FOUND, false},
      {"name too long for a request", nullptr, 0, nullptr, std::u16string(8200, u'n'), 41,
       EFI_BUFFER_TOO_SMALL, false},
      {"router fails", "ConfigRouting.RouteConfig", EFI_DEVICE_ERROR, nullptr, StoreName16, 41,
       EFI_DEVICE_ERROR, true},
  };
  std::vector<UINT8> Changed(VARSTORE_BLOCK_BYTES + 1, 0x99);
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES, Untouched);
    ASSERT_EQ(Read(Card, Block, 41), EFI_SUCCESS);  // holds the store in the cache
    if (C.Service != nullptr) sim::FailService(C.Service, C.Injected);
    EXPECT_EQ(WriteVarStoreBlock(C.Handle ? C.Handle : Card.HiiHandle, C.StoreName.c_str(), &StoreGuid,
                                 Changed.data(), C.Size),
              C.Status);
    sim::ClearFaults();
    EXPECT_EQ(Card.Store(StoreName), Contents);
    EXPECT_EQ(Card.RouteConfigCalls + Pathless.RouteConfigCalls, 0u);
    EXPECT_EQ(VarStoreReadCache.Block == nullptr, C.Routed);
    EXPECT_EQ(sim::HeldBlocks(), C.Routed ? 0u : 1u);
  }
  DiscardVarStoreReadCache();
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

TEST_F(ForeignStoreTest, EveryAllocationFailureOfAReadOrWriteReleasesWhatItTook) {
  const auto Contents = Pattern(41, 3);
  sim::CardDriver &Card = PublishCard(0x3B, Contents);
  std::vector<UINT8> Block(VARSTORE_BLOCK_BYTES, Untouched);
  bool Succeeded = false;
  for (std::size_t N = 1; !Succeeded && N < 40; ++N) {
    SCOPED_TRACE(N);
    DiscardVarStoreReadCache();
    std::fill(Block.begin(), Block.end(), Untouched);
    sim::FailNthAllocation(N);
    const EFI_STATUS Status = Read(Card, Block, 41);
    sim::ClearFaults();
    if (EFI_ERROR(Status)) {
      EXPECT_EQ(Block[0], Untouched);
      EXPECT_EQ(VarStoreReadCache.Block, nullptr);
      EXPECT_EQ(sim::HeldBlocks(), 0u);
    } else {
      // Only the cache copy may be what failed: the read itself still counts.
      EXPECT_EQ(std::vector<UINT8>(Block.begin(), Block.begin() + 41), Contents);
      EXPECT_EQ(sim::HeldBlocks(), VarStoreReadCache.Block == nullptr ? 0u : 1u);
      Succeeded = VarStoreReadCache.Block != nullptr;
    }
  }
  ASSERT_TRUE(Succeeded);

  DiscardVarStoreReadCache();
  auto Changed = Contents;
  Changed[40] = 0x99;
  Succeeded = false;
  for (std::size_t N = 1; !Succeeded && N < 40; ++N) {
    SCOPED_TRACE(N);
    const std::size_t RoutedBefore = Card.RouteConfigCalls;
    sim::FailNthAllocation(N);
    const EFI_STATUS Status = WriteVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Changed.data(), 41);
    sim::ClearFaults();
    EXPECT_EQ(sim::HeldBlocks(), 0u);
    Succeeded = !EFI_ERROR(Status);
    if (!Succeeded && Card.RouteConfigCalls == RoutedBefore) EXPECT_EQ(Card.Store(StoreName), Contents);
  }
  ASSERT_TRUE(Succeeded);
  EXPECT_EQ(Card.Store(StoreName), Changed);
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

TEST_F(ForeignStoreTest, AWriteBeforeAnyReadReachesTheRouter) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(41, 3));
  const auto Changed = Pattern(41, 50);
  EXPECT_EQ(WriteVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Changed.data(), 41), EFI_SUCCESS);
  EXPECT_EQ(Card.Store(StoreName), Changed);
}

TEST_F(ForeignStoreTest, AWriteOfAnotherSizeDropsTheCachedCopyToo) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(41, 3));
  std::vector<UINT8> Block(41, Untouched);
  ASSERT_EQ(Read(Card, Block, 41), EFI_SUCCESS);
  const auto Head = Pattern(8, 200);
  ASSERT_EQ(WriteVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Head.data(), 8), EFI_SUCCESS);
  ASSERT_EQ(Read(Card, Block, 41), EFI_SUCCESS);
  EXPECT_EQ(Card.ExtractConfigCalls, 2u);
  EXPECT_EQ(std::vector<UINT8>(Block.begin(), Block.begin() + 8), Head);
  EXPECT_EQ(Block, Card.Store(StoreName));
  DiscardVarStoreReadCache();
}

TEST_F(ForeignStoreTest, WithoutHiiDatabaseOrRouterNothingIsReadOrWritten) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(41, 3));
  std::vector<UINT8> Block(41, Untouched);
  ResetDriverState();
  sim::FailService("BootServices.LocateProtocol", EFI_NOT_FOUND, -1);
  InitializeServiceTables(nullptr, sim::SystemTable());
  EXPECT_EQ(GetHiiDatabase(), nullptr);
  EXPECT_EQ(GetConfigRouting(), nullptr);
  EXPECT_EQ(Read(Card, Block, 41), EFI_NOT_FOUND);
  EXPECT_EQ(WriteVarStoreBlock(Card.HiiHandle, StoreName16, &StoreGuid, Block.data(), 41), EFI_NOT_FOUND);
  sim::ClearFaults();
  EXPECT_EQ(Block, std::vector<UINT8>(41, Untouched));
  EXPECT_EQ(Card.ExtractConfigCalls + Card.RouteConfigCalls, 0u);
  EXPECT_EQ(sim::HeldBlocks(), 0u);
  // Found at the first use once they are there, and kept.
  ASSERT_EQ(Read(Card, Block, 41), EFI_SUCCESS);
  EXPECT_NE(HiiDatabase, nullptr);
  EXPECT_NE(ConfigRouting, nullptr);
  EXPECT_EQ(GetHiiDatabase(), HiiDatabase);
  EXPECT_EQ(GetConfigRouting(), ConfigRouting);
  DiscardVarStoreReadCache();
}

// A router whose ExtractConfig answers with a fixed text, for answers a real
// router would not give, and records the request; the rest is the real router.
struct CannedRouter {
  static inline EFI_HII_CONFIG_ROUTING_PROTOCOL Table{};
  static inline std::u16string Results;
  static inline std::u16string LastRequest;

  static void Install() {
    Table = *GetConfigRouting();
    Table.ExtractConfig = ExtractConfig;
    ConfigRouting = &Table;
  }
  static EFI_STATUS EFIAPI ExtractConfig(const EFI_HII_CONFIG_ROUTING_PROTOCOL *, const CHAR16 *Request,
                                         CHAR16 **Progress, CHAR16 **Answer) {
    LastRequest = Request;
    *Progress = const_cast<CHAR16 *>(Request);
    void *Text = nullptr;
    const UINTN Size = (Results.size() + 1) * sizeof(CHAR16);
    if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, Size, &Text))) return EFI_OUT_OF_RESOURCES;
    std::memcpy(Text, Results.c_str(), Size);
    *Answer = static_cast<CHAR16 *>(Text);
    return EFI_SUCCESS;
  }
};

TEST_F(ForeignStoreTest, AReadTakesEveryElementOfTheCurrentConfigurationAndNothingElse) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(4, 3), 4);
  CannedRouter::Install();
  const std::u16string Store = Header(Card);
  const std::u16string Head = Store + u"&OFFSET=0&WIDTH=00000004";
  const std::u16string Defaults = u"&GUID=" + Hex(&StoreGuid, 16) + u"&NAME=0043&PATH=00&ALTCFG=0000";
  struct Case {
    const char *Name;
    std::u16string Results;
    std::vector<UINT8> Block;  // empty: a failed read that leaves the block alone
  } Cases[] = {
      {"whole block", Head + u"&VALUE=01020304", {4, 3, 2, 1}},
      {"fewer digits: leading zero bytes", Head + u"&VALUE=a0B", {0x0B, 0x0A, 0x00, 0x00}},
      {"several elements", Store + u"&OFFSET=0&WIDTH=2&VALUE=0201&OFFSET=3&WIDTH=1&VALUE=04", {1, 2, 0, 4}},
      {"a narrower element at an offset", Store + u"&OFFSET=2&WIDTH=2&VALUE=0403", {0, 0, 3, 4}},
      {"defaults after the values",
       Head + u"&VALUE=01020304" + Defaults + u"&OFFSET=0&WIDTH=00000004&VALUE=FFFFFFFF",
       {4, 3, 2, 1}},
      {"bare defaults after the values",
       Head + u"&VALUE=01020304&ALTCFG=0000&OFFSET=0&WIDTH=4&VALUE=FFFFFFFF",
       {4, 3, 2, 1}},
      {"header alone", Store, {}},
      {"only defaults", Store + Defaults + u"&OFFSET=0&WIDTH=4&VALUE=FFFFFFFF", {}},
      {"no VALUE", Head, {}},
      {"empty VALUE", Head + u"&VALUE=&GUID=", {}},
      {"more digits than the width", Head + u"&VALUE=0102030405", {}},
      {"element outside the block", Store + u"&OFFSET=3&WIDTH=2&VALUE=0504", {}},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    DiscardVarStoreReadCache();
    CannedRouter::Results = C.Results;
    std::vector<UINT8> Block(4, Untouched);  // exactly the block: ASan sees any write past it
    const EFI_STATUS Status = Read(Card, Block, 4);
    EXPECT_EQ(CannedRouter::LastRequest, Head);
    if (C.Block.empty()) {
      EXPECT_TRUE(EFI_ERROR(Status));
      EXPECT_EQ(Block, std::vector<UINT8>(4, Untouched));
      EXPECT_EQ(VarStoreReadCache.Block, nullptr);
    } else {
      EXPECT_EQ(Status, EFI_SUCCESS);
      EXPECT_EQ(Block, C.Block);
    }
    EXPECT_EQ(sim::HeldBlocks(), EFI_ERROR(Status) ? 0u : 1u);  // the answer is always released
  }
  DiscardVarStoreReadCache();
}

TEST_F(ForeignStoreTest, RequestsNameTheCardByItsListsDevicePathNotByWhateverItsHandleHolds) {
  sim::CardDriver &Card = PublishCard(0x3B, Pattern(4, 3), 4);
  const std::u16string Head = Header(Card) + u"&OFFSET=0&WIDTH=00000004";
  CannedRouter::Install();
  CannedRouter::Results = Head + u"&VALUE=01020304";
  // The card's driver spoils the path on its handle after registering: where its
  // end node was, a node now claims 64 bytes, far past the path's memory.
  std::vector<UINT8> &Path = Card.DevicePath;
  const std::vector<UINT8> Registered = Path;
  std::copy_n(std::vector<UINT8>{0x01, 0x01, 0x40, 0x00}.begin(), 4, Path.end() - 4);
  std::vector<UINT8> Block(4, Untouched);
  EXPECT_EQ(Read(Card, Block, 4), EFI_SUCCESS);
  EXPECT_EQ(CannedRouter::LastRequest, Head);
  EXPECT_EQ(Block, (std::vector<UINT8>{4, 3, 2, 1}));
  std::copy(Registered.begin(), Registered.end(), Path.begin());
  DiscardVarStoreReadCache();
}

// ---- request growth ------------------------------------------------------------------------

TEST_F(ForeignStoreTest, AppendOffsetWidthGrowsTheRequestOrLeavesItWithTheCaller) {
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(64));
  std::memcpy(Request, u"GUID=", 12);
  UINTN Size = 0;
  ASSERT_EQ(AppendOffsetWidth(&Request, &Size, 0x29), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Request), u"GUID=&OFFSET=0&WIDTH=29");
  EXPECT_EQ(Size, (std::u16string(Request).size() + 1) * sizeof(CHAR16));

  for (std::size_t N : {1u, 2u}) {  // the piece, then the grown request
    SCOPED_TRACE(N);
    CHAR16 *Before = Request;
    Size = 7;
    sim::FailNthAllocation(N);
    EXPECT_EQ(AppendOffsetWidth(&Request, &Size, 0x400), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(Request, Before);
    EXPECT_EQ(Size, 7u);
    EXPECT_EQ(std::u16string(Request), u"GUID=&OFFSET=0&WIDTH=29");
    EXPECT_EQ(sim::HeldBlocks(), 1u);
  }
  PoolFree(Request);

  // Every digit of a 64-bit width reaches the request.
  auto *Wide = static_cast<CHAR16 *>(PoolAllocZero(sizeof(CHAR16)));
  ASSERT_EQ(AppendOffsetWidth(&Wide, &Size, ~UINTN{0}), EFI_SUCCESS);
  EXPECT_EQ(std::u16string(Wide), u"&OFFSET=0&WIDTH=FFFFFFFFFFFFFFFF");
  PoolFree(Wide);
  EXPECT_TRUE(sim::TakePoolErrors().empty());
}

}  // namespace
