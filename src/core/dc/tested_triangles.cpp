#include "dc/tested_triangles.h"

#include "support/panic.h"

namespace karvex {

std::uint64_t TestedTriangles::hash_of(const Corners& c) {
  // Multiply-xorshift mixing of the six words: keys differ mostly in their
  // low bits (lattice coordinates), which the multiplications spread.
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  for (const std::uint64_t w : c) {
    h = (h ^ w) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
  }
  return h;
}

std::size_t TestedTriangles::slot_of(const Corners& c) const {
  std::size_t at = static_cast<std::size_t>(hash_of(c)) & mask_;
  while (used_[at] != 0 && slots_[at] != c) at = (at + 1) & mask_;
  return at;
}

TestedTriangles::Corners TestedTriangles::corners_of(const std::vector<VertexKey>& keys,
                                                     const Triangle& t) {
  const VertexKey& a = checked_at(keys, t[0]);
  const VertexKey& b = checked_at(keys, t[1]);
  const VertexKey& c = checked_at(keys, t[2]);
  return {a[0], a[1], b[0], b[1], c[0], c[1]};
}

std::vector<std::uint8_t> TestedTriangles::unseen(const std::vector<VertexKey>& keys,
                                                  const std::vector<Triangle>& triangles) {
  std::vector<std::uint8_t> fresh(triangles.size(), 1);
  if (!any_) return fresh;
  file_pending();
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    fresh[t] = used_[slot_of(corners_of(keys, triangles[t]))] != 0 ? 0 : 1;
  }
  return fresh;
}

void TestedTriangles::remember(const std::vector<VertexKey>& keys,
                               const std::vector<Triangle>& triangles) {
  pending_.clear();
  pending_.reserve(triangles.size());
  for (const Triangle& t : triangles) pending_.push_back(corners_of(keys, t));
  any_ = true;
  filed_ = false;
}

void TestedTriangles::file_pending() {
  if (filed_) return;
  std::size_t capacity = 16;
  while (capacity < 2 * pending_.size()) capacity *= 2;
  slots_.assign(capacity, Corners{});
  used_.assign(capacity, 0);
  mask_ = capacity - 1;
  for (const Corners& c : pending_) {
    const std::size_t at = slot_of(c);
    slots_[at] = c;
    used_[at] = 1;
  }
  pending_.clear();
  filed_ = true;
}

}  // namespace karvex
