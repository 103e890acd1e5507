#pragma once

// A sheet of triangles folding through itself in places, for the tests of
// the relaxation's region and of the re-tests built on it: large enough for
// the region round the folds to be a small part of it.

#include <cmath>
#include <cstdint>
#include <vector>

#include "validity/self_intersections.h"

namespace karvex::validity {

struct Sheet {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  MeshView view() const { return {v.data(), v.size() / 3, f.data(), f.size() / 3}; }
};

// An n x n grid in the plane z = 0, of unit spacing up to row n/2 and of
// `stretch` beyond (long triangles), each vertex moved by up to `jitter` in
// every axis; within `radius` rows of the crumple centre (row n/2 - 2, column
// n/4) by up to `crumple` instead, so that the sheet folds through itself
// there.
inline Sheet crumpled_sheet(int n, double jitter, double crumple, double radius, double stretch, std::uint64_t seed) {
  std::uint64_t state = seed;
  auto uniform = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
  };
  Sheet s;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const double centre = std::hypot(i - (n / 2 - 2), j - n / 4.0);
      const double step = centre < radius ? crumple : jitter;
      const double x = i <= n / 2 ? i : n / 2 + stretch * (i - n / 2);
      s.v.insert(s.v.end(), {x + step * uniform(), j + step * uniform(), step * uniform()});
    }
  }
  for (int i = 0; i + 1 < n; ++i) {
    for (int j = 0; j + 1 < n; ++j) {
      const std::int64_t a = i * n + j, b = a + 1, c = a + n, d = c + 1;
      s.f.insert(s.f.end(), {a, c, d, a, d, b});
    }
  }
  return s;
}

}  // namespace karvex::validity
