// The structure-aware mutator (see ifr_mutator.h) and libFuzzer's hooks for it.
// Linked into a harness whose input is a package list, it replaces libFuzzer's
// byte mutations; one call in eight still mutates the raw bytes, so framing
// faults stay reachable from the structured corpus too.
#include "fuzz/ifr_mutator.h"

#include <algorithm>
#include <cstring>

extern "C" size_t LLVMFuzzerMutate(uint8_t *Data, size_t Size, size_t MaxSize);

namespace fuzz {
namespace {

constexpr std::size_t LIST_HEADER = 20;
constexpr std::size_t PACKAGE_HEADER = 4;
constexpr std::size_t OPCODE_MAX = 0x7F;
constexpr uint8_t PACKAGE_FORMS = 0x02, PACKAGE_END = 0xDF;

constexpr uint8_t OP_FORM = 0x01, OP_SUBTITLE = 0x02, OP_TEXT = 0x03, OP_ONE_OF = 0x05, OP_CHECKBOX = 0x06,
                  OP_NUMERIC = 0x07, OP_OPTION = 0x09, OP_SUPPRESS_IF = 0x0A, OP_FORM_SET = 0x0E,
                  OP_REF = 0x0F, OP_EQ_ID_VAL = 0x12, OP_EQ_ID_VAL_LIST = 0x14, OP_AND = 0x15, OP_OR = 0x16,
                  OP_NOT = 0x17, OP_GRAY_OUT_IF = 0x19, OP_STRING = 0x1C, OP_DISABLE_IF = 0x1E,
                  OP_VARSTORE = 0x24, OP_VARSTORE_EFI = 0x26, OP_END = 0x29, OP_UINT8 = 0x42, OP_TRUE = 0x46,
                  OP_FALSE = 0x47, OP_VALUE = 0x5A, OP_DEFAULT = 0x5B, OP_DEFAULTSTORE = 0x5C, OP_GUID = 0x5F;
constexpr uint8_t LABEL_GUID[16] = {0x35, 0x17, 0x0B, 0x0F, 0xA0, 0x87, 0x93, 0x41,
                                    0xB2, 0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE};

std::size_t Below(std::minstd_rand &Random, std::size_t Bound) { return Bound == 0 ? 0 : Random() % Bound; }
bool OneIn(std::minstd_rand &Random, unsigned N) { return Random() % N == 0; }

uint32_t Le(const uint8_t *Bytes, std::size_t Width) {
  uint32_t Value = 0;
  for (std::size_t Index = Width; Index > 0; --Index) Value = Value << 8 | Bytes[Index - 1];
  return Value;
}

// ---- templates --------------------------------------------------------------------

// A small value: ids, sizes and offsets mostly stay where cards put them.
uint16_t SmallValue(std::minstd_rand &Random) {
  static constexpr uint16_t Interesting[] = {0, 1, 2, 3, 4, 7, 8, 0x10, 0x20, 0x7F, 0x80, 0xFF, 0x100, 0x1000,
                                             0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
  return OneIn(Random, 2) ? Interesting[Below(Random, std::size(Interesting))] : static_cast<uint16_t>(Below(Random, 64));
}

void Put16(std::vector<uint8_t> &Bytes, uint16_t Value) {
  Bytes.push_back(static_cast<uint8_t>(Value));
  Bytes.push_back(static_cast<uint8_t>(Value >> 8));
}

// Prompt, help, question id, store, offset, flags.
void QuestionHeader(std::vector<uint8_t> &Bytes, std::minstd_rand &Random) {
  for (int Field = 0; Field < 5; ++Field) Put16(Bytes, SmallValue(Random));
  Bytes.push_back(static_cast<uint8_t>(OneIn(Random, 4) ? Random() : 0));
}

IfrPiece Template(std::minstd_rand &Random) {
  IfrPiece Op;
  std::vector<uint8_t> &B = Op.Bytes;
  static constexpr uint8_t Codes[] = {OP_FORM,     OP_SUBTITLE, OP_TEXT,       OP_ONE_OF,         OP_CHECKBOX,
                                      OP_NUMERIC,  OP_OPTION,   OP_SUPPRESS_IF, OP_FORM_SET,      OP_REF,
                                      OP_EQ_ID_VAL, OP_EQ_ID_VAL_LIST, OP_AND,  OP_OR,             OP_NOT,
                                      OP_GRAY_OUT_IF, OP_STRING, OP_DISABLE_IF, OP_VARSTORE,       OP_VARSTORE_EFI,
                                      OP_END,      OP_UINT8,    OP_TRUE,       OP_FALSE,          OP_VALUE,
                                      OP_DEFAULT,  OP_DEFAULTSTORE, OP_GUID};
  const uint8_t Code = OneIn(Random, 16) ? static_cast<uint8_t>(Random()) : Codes[Below(Random, std::size(Codes))];
  B = {Code, 0};
  const unsigned Size = static_cast<unsigned>(Below(Random, 4));  // numeric size bits
  switch (Code) {
    case OP_FORM:
      Put16(B, SmallValue(Random));
      Put16(B, SmallValue(Random));
      Op.Scope = true;
      break;
    case OP_FORM_SET:
      for (int Index = 0; Index < 16; ++Index) B.push_back(static_cast<uint8_t>(Random()));
      Put16(B, SmallValue(Random));
      Put16(B, SmallValue(Random));
      B.push_back(1);
      for (int Index = 0; Index < 16; ++Index) B.push_back(static_cast<uint8_t>(Random()));
      Op.Scope = true;
      break;
    case OP_SUBTITLE:
      Put16(B, SmallValue(Random));
      Put16(B, SmallValue(Random));
      B.push_back(0);
      break;
    case OP_TEXT:
      for (int Field = 0; Field < 3; ++Field) Put16(B, SmallValue(Random));
      break;
    case OP_ONE_OF:
    case OP_NUMERIC:
      QuestionHeader(B, Random);
      B.push_back(static_cast<uint8_t>(Size | (OneIn(Random, 4) ? 0x30 : 0)));
      for (int Bound = 0; Bound < 3; ++Bound)
        for (unsigned Byte = 0; Byte < (1u << Size); ++Byte)
          B.push_back(static_cast<uint8_t>(Byte == 0 ? SmallValue(Random) : (OneIn(Random, 4) ? Random() : 0)));
      Op.Scope = !OneIn(Random, 4);
      break;
    case OP_CHECKBOX:
      QuestionHeader(B, Random);
      B.push_back(0);
      Op.Scope = OneIn(Random, 2);
      break;
    case OP_STRING:
      QuestionHeader(B, Random);
      B.push_back(static_cast<uint8_t>(Below(Random, 8)));
      B.push_back(static_cast<uint8_t>(OneIn(Random, 2) ? 0 : Random()));
      B.push_back(static_cast<uint8_t>(Below(Random, 2)));
      Op.Scope = OneIn(Random, 2);
      break;
    case OP_REF:
      QuestionHeader(B, Random);
      Put16(B, SmallValue(Random));
      break;
    case OP_OPTION: {
      Put16(B, SmallValue(Random));
      B.push_back(static_cast<uint8_t>(OneIn(Random, 4) ? 0x30 : 0));
      const uint8_t Type = static_cast<uint8_t>(OneIn(Random, 8) ? Random() % 16 : Size);
      B.push_back(Type);
      const unsigned Width = Type < 4 ? 1u << Type : Below(Random, 17);
      for (unsigned Byte = 0; Byte < Width; ++Byte) B.push_back(Byte == 0 ? static_cast<uint8_t>(SmallValue(Random)) : 0);
      break;
    }
    case OP_EQ_ID_VAL:
      Put16(B, SmallValue(Random));
      Put16(B, SmallValue(Random));
      break;
    case OP_EQ_ID_VAL_LIST: {
      Put16(B, SmallValue(Random));
      const uint16_t Count = static_cast<uint16_t>(Below(Random, 4));
      Put16(B, Count);
      for (uint16_t Index = 0; Index < Count; ++Index) Put16(B, SmallValue(Random));
      break;
    }
    case OP_SUPPRESS_IF:
    case OP_GRAY_OUT_IF:
    case OP_DISABLE_IF:
    case OP_VALUE:
      Op.Scope = true;
      break;
    case OP_UINT8:
      B.push_back(static_cast<uint8_t>(SmallValue(Random)));
      break;
    case OP_VARSTORE:
    case OP_VARSTORE_EFI: {
      std::vector<uint8_t> Guid(16);
      for (uint8_t &Byte : Guid) Byte = static_cast<uint8_t>(Random());
      if (Code == OP_VARSTORE_EFI) Put16(B, SmallValue(Random));
      B.insert(B.end(), Guid.begin(), Guid.end());
      if (Code == OP_VARSTORE) Put16(B, SmallValue(Random));
      if (Code == OP_VARSTORE_EFI) {
        B.insert(B.end(), {0x07, 0, 0, 0});
      }
      Put16(B, SmallValue(Random));
      const std::size_t NameLength = Below(Random, 12);
      for (std::size_t Index = 0; Index < NameLength; ++Index) B.push_back(static_cast<uint8_t>('A' + Below(Random, 26)));
      if (!OneIn(Random, 8)) B.push_back(0);
      break;
    }
    case OP_DEFAULT:
      Put16(B, static_cast<uint16_t>(Below(Random, 2)));
      B.push_back(static_cast<uint8_t>(Size));
      for (unsigned Byte = 0; Byte < (1u << Size); ++Byte) B.push_back(static_cast<uint8_t>(Random()));
      Op.Scope = OneIn(Random, 8);
      break;
    case OP_DEFAULTSTORE:
      Put16(B, SmallValue(Random));
      Put16(B, static_cast<uint16_t>(Below(Random, 2)));
      break;
    case OP_GUID:
      B.insert(B.end(), std::begin(LABEL_GUID), std::end(LABEL_GUID));
      B.push_back(0);
      Put16(B, SmallValue(Random));
      break;
    default: {
      const std::size_t Extra = Below(Random, 8);
      for (std::size_t Index = 0; Index < Extra; ++Index) B.push_back(static_cast<uint8_t>(Random()));
      Op.Scope = OneIn(Random, 4);
      break;
    }
  }
  return Op;
}

// ---- choices ------------------------------------------------------------------------

std::vector<IfrPiece> *RandomForms(PackageListModel &Model, std::minstd_rand &Random) {
  std::vector<std::size_t> Forms;
  for (std::size_t Index = 0; Index < Model.Packages.size(); ++Index)
    if (Model.Packages[Index].Type == PACKAGE_FORMS) Forms.push_back(Index);
  if (Forms.empty()) {
    HiiPiece Package;
    Package.Type = PACKAGE_FORMS;
    Model.Packages.insert(Model.Packages.begin(), Package);
    return &Model.Packages.front().Ops;
  }
  return &Model.Packages[Forms[Below(Random, Forms.size())]].Ops;
}

// A two-byte value some opcode of the list already holds: question ids, store
// ids and string ids then meet the opcodes that refer to them.
bool BorrowedValue(const PackageListModel &Model, std::minstd_rand &Random, uint16_t *Value) {
  for (int Try = 0; Try < 4; ++Try) {
    const HiiPiece &Package = Model.Packages[Below(Random, Model.Packages.size())];
    if (Package.Ops.empty()) continue;
    const IfrPiece &Op = Package.Ops[Below(Random, Package.Ops.size())];
    if (Op.Bytes.size() < 4) continue;
    const std::size_t At = 2 + Below(Random, Op.Bytes.size() - 3);
    *Value = static_cast<uint16_t>(Le(Op.Bytes.data() + At, 2));
    return true;
  }
  return false;
}

void MutateField(PackageListModel &Model, IfrPiece &Op, std::minstd_rand &Random) {
  if (Op.Bytes.size() <= 2) {
    Op.Bytes.push_back(static_cast<uint8_t>(Random()));
    return;
  }
  const std::size_t At = 2 + Below(Random, Op.Bytes.size() - 2);
  uint16_t Value = 0;
  switch (Below(Random, 5)) {
    case 0:
      Op.Bytes[At] = static_cast<uint8_t>(Random());
      break;
    case 1:
      Op.Bytes[At] ^= static_cast<uint8_t>(1u << Below(Random, 8));
      break;
    case 2:
      Op.Bytes[At] = static_cast<uint8_t>(Op.Bytes[At] + (OneIn(Random, 2) ? 1 : -1));
      break;
    default:
      if (!BorrowedValue(Model, Random, &Value)) Value = SmallValue(Random);
      Op.Bytes[At] = static_cast<uint8_t>(Value);
      if (At + 1 < Op.Bytes.size()) Op.Bytes[At + 1] = static_cast<uint8_t>(Value >> 8);
      break;
  }
}

void MutateOps(PackageListModel &Model, std::minstd_rand &Random) {
  std::vector<IfrPiece> &Ops = *RandomForms(Model, Random);
  const std::size_t Count = Ops.size();
  const std::size_t Pick = Below(Random, Count);
  const std::size_t Where = Below(Random, Count + 1);
  switch (Count == 0 ? 3 : Below(Random, 12)) {
    case 0:
    case 1:
    case 2:
      MutateField(Model, Ops[Pick], Random);
      break;
    case 3:
      Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(Where), Template(Random));
      break;
    case 4:
      Ops[Pick].Scope = !Ops[Pick].Scope;
      break;
    case 5:
      Ops.erase(Ops.begin() + static_cast<std::ptrdiff_t>(Pick));
      break;
    case 6: {  // a copy of one opcode elsewhere
      const IfrPiece Copy = Ops[Pick];
      Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(Where), Copy);
      break;
    }
    case 7: {  // a run of opcodes repeated, moved or dropped
      const std::size_t Length = 1 + Below(Random, std::min<std::size_t>(Count - Pick, 16));
      const std::vector<IfrPiece> Run(Ops.begin() + static_cast<std::ptrdiff_t>(Pick),
                                      Ops.begin() + static_cast<std::ptrdiff_t>(Pick + Length));
      const std::size_t Mode = Below(Random, 3);
      if (Mode != 0) Ops.erase(Ops.begin() + static_cast<std::ptrdiff_t>(Pick),
                               Ops.begin() + static_cast<std::ptrdiff_t>(Pick + Length));
      if (Mode != 2) {
        const std::size_t At = Below(Random, Ops.size() + 1);
        Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(At), Run.begin(), Run.end());
      }
      break;
    }
    case 8: {  // a run wrapped in a condition: suppress-if or gray-out-if, an expression, END ... END
      const std::size_t Length = Below(Random, std::min<std::size_t>(Count - Pick, 8) + 1);
      IfrPiece Close;
      Close.Bytes = {OP_END, 0};
      Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(Pick + Length), Close);
      IfrPiece Open;
      Open.Bytes = {OneIn(Random, 2) ? OP_SUPPRESS_IF : OP_GRAY_OUT_IF, 0};
      Open.Scope = true;
      std::vector<IfrPiece> Head = {Open};
      const std::size_t Terms = 1 + Below(Random, 3);
      for (std::size_t Term = 0; Term < Terms; ++Term) {
        IfrPiece Operand;
        static constexpr uint8_t Leaves[] = {OP_EQ_ID_VAL, OP_TRUE, OP_FALSE};
        const uint8_t Leaf = Leaves[Below(Random, 3)];
        Operand.Bytes = {Leaf, 0};
        if (Leaf == OP_EQ_ID_VAL) {
          uint16_t Id = 0;
          if (!BorrowedValue(Model, Random, &Id)) Id = SmallValue(Random);
          Put16(Operand.Bytes, Id);
          Put16(Operand.Bytes, SmallValue(Random));
        }
        Head.push_back(Operand);
        if (Term > 0) {
          IfrPiece Join;
          Join.Bytes = {OneIn(Random, 2) ? OP_AND : OP_OR, 0};
          Head.push_back(Join);
        }
      }
      if (OneIn(Random, 3)) Head.push_back({{OP_NOT, 0}, false});
      Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(Pick), Head.begin(), Head.end());
      break;
    }
    case 9: {  // an opcode grows or shrinks
      std::vector<uint8_t> &Bytes = Ops[Pick].Bytes;
      if (OneIn(Random, 2) && Bytes.size() > 2) {
        Bytes.resize(Bytes.size() - 1 - Below(Random, std::min<std::size_t>(Bytes.size() - 2, 4)));
      } else {
        const std::size_t Extra = 1 + Below(Random, 8);
        for (std::size_t Index = 0; Index < Extra; ++Index) Bytes.push_back(static_cast<uint8_t>(Random()));
      }
      break;
    }
    case 10:
      if (Count >= 2) std::swap(Ops[Pick], Ops[Below(Random, Count)]);
      break;
    default: {  // a lone END: scopes close early or late
      IfrPiece Close;
      Close.Bytes = {OP_END, 0};
      Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(Where), Close);
      break;
    }
  }
}

void MutatePackages(PackageListModel &Model, std::minstd_rand &Random) {
  if (Model.Packages.empty()) {
    MutateOps(Model, Random);
    return;
  }
  const std::size_t Pick = Below(Random, Model.Packages.size());
  HiiPiece &Package = Model.Packages[Pick];
  switch (Below(Random, 5)) {
    case 0:
      Model.Packages.erase(Model.Packages.begin() + static_cast<std::ptrdiff_t>(Pick));
      break;
    case 1: {
      const HiiPiece Copy = Package;
      Model.Packages.insert(Model.Packages.begin() + static_cast<std::ptrdiff_t>(Below(Random, Model.Packages.size() + 1)), Copy);
      break;
    }
    case 2:
      std::swap(Model.Packages[Pick], Model.Packages[Below(Random, Model.Packages.size())]);
      break;
    default:
      // The bytes of a string or other package, mutated as bytes.
      if (Package.Type != PACKAGE_FORMS) {
        std::vector<uint8_t> &Body = Package.Body;
        const std::size_t Size = Body.size();
        Body.resize(Size + 64);
        Body.resize(LLVMFuzzerMutate(Body.data(), Size, Body.size()));
      } else {
        MutateOps(Model, Random);
      }
      break;
  }
}

}  // namespace

bool ParsePackageList(const uint8_t *Data, std::size_t Size, PackageListModel *Model) {
  if (Size < LIST_HEADER) return false;
  std::memcpy(Model->Guid, Data, sizeof(Model->Guid));
  for (std::size_t At = LIST_HEADER; At + PACKAGE_HEADER <= Size;) {
    const std::size_t Length = Le(Data + At, 3);
    const uint8_t Type = Data[At + 3];
    if (Type == PACKAGE_END || Length < PACKAGE_HEADER || Length > Size - At) break;
    HiiPiece Package;
    Package.Type = Type;
    if (Type == PACKAGE_FORMS) {
      for (std::size_t Op = PACKAGE_HEADER; Op + 2 <= Length;) {
        const std::size_t OpLength = Data[At + Op + 1] & OPCODE_MAX;
        if (OpLength < 2 || OpLength > Length - Op) break;
        IfrPiece Piece;
        Piece.Bytes.assign(Data + At + Op, Data + At + Op + OpLength);
        Piece.Scope = (Data[At + Op + 1] & 0x80) != 0;
        Package.Ops.push_back(std::move(Piece));
        Op += OpLength;
      }
    } else {
      Package.Body.assign(Data + At + PACKAGE_HEADER, Data + At + Length);
    }
    Model->Packages.push_back(std::move(Package));
    At += Length;
  }
  return true;
}

std::vector<uint8_t> SerializePackageList(const PackageListModel &Model) {
  std::vector<uint8_t> Out(Model.Guid, Model.Guid + sizeof(Model.Guid));
  Out.resize(LIST_HEADER);
  for (const HiiPiece &Package : Model.Packages) {
    const std::size_t Start = Out.size();
    Out.insert(Out.end(), {0, 0, 0, Package.Type});
    if (Package.Type == PACKAGE_FORMS) {
      for (const IfrPiece &Op : Package.Ops) {
        const std::size_t Length = std::min(Op.Bytes.size(), OPCODE_MAX);
        if (Length < 2) continue;
        const std::size_t OpStart = Out.size();
        Out.insert(Out.end(), Op.Bytes.begin(), Op.Bytes.begin() + static_cast<std::ptrdiff_t>(Length));
        Out[OpStart + 1] = static_cast<uint8_t>(Length | (Op.Scope ? 0x80 : 0));
      }
    } else {
      Out.insert(Out.end(), Package.Body.begin(), Package.Body.end());
    }
    const std::size_t Length = Out.size() - Start;
    Out[Start] = static_cast<uint8_t>(Length);
    Out[Start + 1] = static_cast<uint8_t>(Length >> 8);
    Out[Start + 2] = static_cast<uint8_t>(Length >> 16);
  }
  Out.insert(Out.end(), {4, 0, 0, PACKAGE_END});
  const uint32_t Total = static_cast<uint32_t>(Out.size());
  std::memcpy(Out.data() + 16, &Total, sizeof Total);
  return Out;
}

void MutateModel(PackageListModel &Model, std::minstd_rand &Random) {
  const std::size_t Steps = 1 + Below(Random, 3);
  for (std::size_t Step = 0; Step < Steps; ++Step) {
    if (OneIn(Random, 6))
      MutatePackages(Model, Random);
    else
      MutateOps(Model, Random);
  }
}

void CrossModels(PackageListModel &Model, const PackageListModel &Other, std::minstd_rand &Random) {
  std::vector<const IfrPiece *> Pieces;
  for (const HiiPiece &Package : Other.Packages)
    for (const IfrPiece &Op : Package.Ops) Pieces.push_back(&Op);
  if (Pieces.empty()) return;
  std::vector<IfrPiece> &Ops = *RandomForms(Model, Random);
  const std::size_t From = Below(Random, Pieces.size());
  const std::size_t Length = 1 + Below(Random, std::min<std::size_t>(Pieces.size() - From, 24));
  std::size_t At = Below(Random, Ops.size() + 1);
  for (std::size_t Index = 0; Index < Length; ++Index)
    Ops.insert(Ops.begin() + static_cast<std::ptrdiff_t>(At++), *Pieces[From + Index]);
}

}  // namespace fuzz

// ---- libFuzzer's hooks ------------------------------------------------------------------

namespace {

size_t Emit(const std::vector<uint8_t> &Bytes, uint8_t *Data, size_t MaxSize) {
  if (Bytes.size() > MaxSize) return 0;
  std::memcpy(Data, Bytes.data(), Bytes.size());
  return Bytes.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *Data, size_t Size, size_t MaxSize, unsigned int Seed) {
  std::minstd_rand Random(Seed);
  fuzz::PackageListModel Model;
  if (Random() % 8 == 0 || !fuzz::ParsePackageList(Data, Size, &Model)) return LLVMFuzzerMutate(Data, Size, MaxSize);
  fuzz::MutateModel(Model, Random);
  const size_t Written = Emit(fuzz::SerializePackageList(Model), Data, MaxSize);
  return Written != 0 ? Written : LLVMFuzzerMutate(Data, Size, MaxSize);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t *Data1, size_t Size1, const uint8_t *Data2, size_t Size2,
                                            uint8_t *Out, size_t MaxOutSize, unsigned int Seed) {
  std::minstd_rand Random(Seed);
  fuzz::PackageListModel First, Second;
  if (!fuzz::ParsePackageList(Data1, Size1, &First) || !fuzz::ParsePackageList(Data2, Size2, &Second)) return 0;
  fuzz::CrossModels(First, Second, Random);
  return Emit(fuzz::SerializePackageList(First), Out, MaxOutSize);
}
