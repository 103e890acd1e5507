#include "dc/tested_triangles.h"

#include "support/panic.h"

namespace karvex {

std::size_t TestedTriangles::CornersHash::operator()(const Corners& c) const noexcept {
  // Multiply-xorshift mixing of the six words: keys differ mostly in their
  // low bits (lattice coordinates), which the multiplications spread.
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  for (const std::uint64_t w : c) {
    h = (h ^ w) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
  }
  return static_cast<std::size_t>(h);
}

TestedTriangles::Corners TestedTriangles::corners_of(const std::vector<VertexKey>& keys,
                                                     const Triangle& t) {
  const VertexKey& a = checked_at(keys, t[0]);
  const VertexKey& b = checked_at(keys, t[1]);
  const VertexKey& c = checked_at(keys, t[2]);
  return {a[0], a[1], b[0], b[1], c[0], c[1]};
}

std::vector<std::uint8_t> TestedTriangles::unseen(const std::vector<VertexKey>& keys,
                                                  const std::vector<Triangle>& triangles) const {
  std::vector<std::uint8_t> fresh(triangles.size(), 1);
  if (!any_) return fresh;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    fresh[t] = searched_.contains(corners_of(keys, triangles[t])) ? 0 : 1;
  }
  return fresh;
}

void TestedTriangles::remember(const std::vector<VertexKey>& keys,
                               const std::vector<Triangle>& triangles) {
  searched_.clear();
  searched_.reserve(triangles.size());
  for (const Triangle& t : triangles) searched_.insert(corners_of(keys, t));
  any_ = true;
}

}  // namespace karvex
