// A structure-aware view of an HII package list for mutation: packages, and
// the opcodes of forms packages, as separate pieces whose lengths are computed
// again when the list is written back. Mutations change the pieces' fields,
// nesting and order; the result is always well framed (every opcode, package
// and the list carry lengths that add up), so the fuzzer spends its time past
// the framing checks, in the mirror walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace fuzz {

struct IfrPiece {
  std::vector<uint8_t> Bytes;  // the whole opcode; its length byte is rewritten
  bool Scope = false;
};

struct HiiPiece {
  uint8_t Type = 0;
  std::vector<uint8_t> Body;  // packages other than forms: everything after the header
  std::vector<IfrPiece> Ops;  // forms packages
};

struct PackageListModel {
  uint8_t Guid[16] = {};
  std::vector<HiiPiece> Packages;
};

// False when Data does not even hold a list header; a list that turns
// malformed later keeps what came before.
bool ParsePackageList(const uint8_t *Data, std::size_t Size, PackageListModel *Model);
std::vector<uint8_t> SerializePackageList(const PackageListModel &Model);

// Applies one to three structural mutations.
void MutateModel(PackageListModel &Model, std::minstd_rand &Random);

// Opcodes of Other inserted into Model (a cross-over of two inputs).
void CrossModels(PackageListModel &Model, const PackageListModel &Other, std::minstd_rand &Random);

}  // namespace fuzz
