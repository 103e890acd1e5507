#include "dc/tested_triangles.h"

#include "dc/vertex_keys.h"
#include "support/flat_hash.h"
#include "support/panic.h"

namespace karvex {

namespace {

struct KeyHash {
  std::uint64_t operator()(const VertexKey& key) const { return mix64(key[0] ^ mix64(key[1])); }
};

}  // namespace

std::vector<std::uint64_t> TestedTriangles::places(const std::vector<VertexKey>& keys,
                                                   const MergeRefusals* refused) const {
  std::vector<std::uint64_t> place(keys_.size(), kGone);
  // Passes keep their keys' order (the same walk makes them): a refused
  // cell's vertex leaves its place and its children's enter it. So one
  // merge of the two lists finds most keys, a key of the remembered pass
  // not met in turn being gone when its cell was refused, and the other
  // pass's key new otherwise. Keys are unique within a pass: a key met is
  // that vertex.
  std::vector<std::uint64_t> skipped;  // keys of this pass not met in turn
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < keys_.size() && j < keys.size()) {
    if (keys_[i] == keys[j]) {
      place[i++] = j++;
    } else if (refused != nullptr && refused->contains(key_cell(keys_[i]))) {
      ++i;
    } else {
      skipped.push_back(j++);
    }
  }
  for (; j < keys.size(); ++j) skipped.push_back(j);
  // Keys out of that order (or refusals not told) are looked up; the lookup
  // alone would be exact too, only slower.
  if (i == keys_.size() || skipped.empty()) return place;
  FlatHashMap<VertexKey, std::uint64_t, KeyHash> at;
  at.reserve(skipped.size());
  for (const std::uint64_t k : skipped) at.try_emplace(keys[k], k);
  for (; i < keys_.size(); ++i) {
    if (const std::uint64_t* found = at.find(keys_[i])) place[i] = *found;
  }
  return place;
}

std::vector<std::uint8_t> TestedTriangles::unseen(const std::vector<VertexKey>& keys,
                                                  const std::vector<Triangle>& triangles,
                                                  const MergeRefusals* refused) const {
  std::vector<std::uint8_t> fresh(triangles.size(), 1);
  if (!any_) return fresh;
  const std::vector<std::uint64_t> place = places(keys, refused);
  // The remembered triangles whose corners are all still there, renumbered
  // and filed by their first corner (counted, then placed): a triangle is
  // seen when its first corner's file holds its other two, in order.
  std::vector<std::uint64_t> start(keys.size() + 1, 0);
  const auto renumbered = [&](const Triangle& t, Triangle& out) {
    for (unsigned c = 0; c < 3; ++c) {
      out[c] = checked_at(place, t[c]);
      if (out[c] == kGone) return false;
    }
    return true;
  };
  Triangle r;
  for (const Triangle& t : triangles_) {
    if (renumbered(t, r)) ++start[r[0] + 1];
  }
  for (std::size_t v = 0; v < keys.size(); ++v) start[v + 1] += start[v];
  std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
  std::vector<std::array<std::uint64_t, 2>> rest(start.back());
  for (const Triangle& t : triangles_) {
    if (renumbered(t, r)) rest[next[r[0]]++] = {r[1], r[2]};
  }
  for (std::size_t n = 0; n < triangles.size(); ++n) {
    const Triangle& t = triangles[n];
    const std::uint64_t first = checked_at(start, t[0] + 1);
    for (std::uint64_t e = start[t[0]]; e < first; ++e) {
      if (rest[e][0] == t[1] && rest[e][1] == t[2]) {
        fresh[n] = 0;
        break;
      }
    }
  }
  return fresh;
}

void TestedTriangles::remember(const std::vector<VertexKey>& keys,
                               const std::vector<Triangle>& triangles) {
  keys_ = keys;
  triangles_ = triangles;
  any_ = true;
}

}  // namespace karvex
