#include "dc/tested_triangles.h"

#include "support/panic.h"

namespace karvex {

std::uint64_t TestedTriangles::CornersHash::operator()(const Corners& c) const {
  // The six words folded in turn through the table's finaliser: keys differ
  // mostly in their low bits (lattice coordinates), which it spreads.
  std::uint64_t h = 0;
  for (const std::uint64_t w : c) h = mix64(h ^ w);
  return h;
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
    fresh[t] = searched_.contains(corners_of(keys, triangles[t])) ? 0 : 1;
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
  searched_.clear();
  searched_.reserve(pending_.size());
  for (const Corners& c : pending_) searched_.insert(c);
  pending_.clear();
  filed_ = true;
}

}  // namespace karvex
