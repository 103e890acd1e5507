#pragma once

// One column of the pair sweep's triangles (self_intersections.cpp) laid out
// field by field, an array per box bound and per corner code, and its inner
// scan: for one triangle, the later ones in the column whose boxes start in
// z no higher than its own ends, overlap its own in x and y (closed boxes)
// and that share no corner with it. The column is in order of the boxes'
// lowest z and is followed by kPad sentinels starting at +inf in z, so the
// scan stops on z alone. With SSE2 (every x86-64) it takes four triangles a
// step, without branches inside a step: nearly every triangle the scan
// passes is dropped (a neighbour round a shared corner, or apart in x or y).

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace karvex::validity {

class ColumnLanes {
 public:
  // Sentinels after each column: a step of four from any place of the
  // column reads no further than its last sentinel.
  static constexpr std::size_t kPad = 4;
  // A corner code with this bit set is shared with no other triangle;
  // codes without it are equal exactly for the same shared corner.
  static constexpr std::uint32_t kUnshared = 0x80000000u;

  // Room for `places` places, sentinels included (what was there is lost;
  // the room only grows, and is written before it is read).
  void reserve(std::size_t places) {
    if (places <= capacity_) return;
    bounds_ = std::make_unique_for_overwrite<float[]>(6 * places);
    codes_ = std::make_unique_for_overwrite<std::uint32_t[]>(4 * places);
    capacity_ = places;
    for (int a = 0; a < 3; ++a) {
      lo_[a] = bounds_.get() + a * places;
      hi_[a] = bounds_.get() + (3 + a) * places;
      corners_[a] = codes_.get() + a * places;
    }
    f_ = codes_.get() + 3 * places;
  }

  // Each corner code below kUnshared, or kUnshared itself.
  void put(std::size_t place, const std::array<float, 3>& lo, const std::array<float, 3>& hi, std::uint32_t f,
           const std::array<std::uint32_t, 3>& corners) {
    for (int a = 0; a < 3; ++a) {
      lo_[a][place] = lo[a];
      hi_[a][place] = hi[a];
      corners_[a][place] = corners[a];
    }
    f_[place] = f;
  }
  // kPad sentinels from `place` on: boxes starting at +inf in z (empty
  // in x and y too), with codes that share nothing.
  void end_column(std::size_t place) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (std::size_t k = place; k < place + kPad; ++k) {
      put(k, {kInf, kInf, kInf}, {-kInf, -kInf, -kInf}, 0, {kUnshared, kUnshared, kUnshared});
    }
  }

  float lo(int axis, std::size_t place) const { return lo_[axis][place]; }
  std::uint32_t face(std::size_t place) const { return f_[place]; }

  // Writes to `kept`, in increasing order, the places after `l` in its
  // column that start in z no higher than l's box ends, overlap l's box in
  // x and y and share no corner with l; returns how many. `kept` has room
  // for the rest of the column.
  std::size_t overlapping_after(std::size_t l, std::size_t* kept) const {
    const float* const lo_x_at = lo_[0];
    const float* const lo_y_at = lo_[1];
    const float* const lo_z_at = lo_[2];
    const float* const hi_x_at = hi_[0];
    const float* const hi_y_at = hi_[1];
    const std::uint32_t* const corners_at[3] = {corners_[0], corners_[1], corners_[2]};
    std::uint32_t codes[3];
    for (int a = 0; a < 3; ++a) {
      // An unshared corner of l is made a code that no place holds.
      codes[a] = corners_at[a][l] == kUnshared ? kNoCode : corners_at[a][l];
    }
    std::size_t count = 0;
#if defined(__SSE2__)
    const __m128 top = _mm_set1_ps(hi_[2][l]);
    const __m128 lo_x = _mm_set1_ps(lo_x_at[l]), hi_x = _mm_set1_ps(hi_x_at[l]);
    const __m128 lo_y = _mm_set1_ps(lo_y_at[l]), hi_y = _mm_set1_ps(hi_y_at[l]);
    __m128i mine[3];
    for (int a = 0; a < 3; ++a) mine[a] = _mm_set1_epi32(static_cast<int>(codes[a]));
    for (std::size_t r = l + 1;; r += 4) {
      const __m128 below = _mm_cmple_ps(_mm_loadu_ps(lo_z_at + r), top);
      const __m128 across_x =
          _mm_and_ps(_mm_cmple_ps(lo_x, _mm_loadu_ps(hi_x_at + r)), _mm_cmple_ps(_mm_loadu_ps(lo_x_at + r), hi_x));
      const __m128 across_y =
          _mm_and_ps(_mm_cmple_ps(lo_y, _mm_loadu_ps(hi_y_at + r)), _mm_cmple_ps(_mm_loadu_ps(lo_y_at + r), hi_y));
      __m128i shared = _mm_setzero_si128();
      for (int a = 0; a < 3; ++a) {
        const __m128i theirs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(corners_at[a] + r));
        shared = _mm_or_si128(shared, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(theirs, mine[0]), _mm_cmpeq_epi32(theirs, mine[1])),
                                                   _mm_cmpeq_epi32(theirs, mine[2])));
      }
      const __m128 wanted = _mm_andnot_ps(_mm_castsi128_ps(shared), _mm_and_ps(below, _mm_and_ps(across_x, across_y)));
      auto bits = static_cast<unsigned>(_mm_movemask_ps(wanted));
      while (bits != 0) {
        kept[count++] = r + static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
      }
      if (_mm_movemask_ps(below) != 0xf) return count;
    }
#else
    for (std::size_t r = l + 1; lo_z_at[r] <= hi_[2][l]; ++r) {
      bool shared = false;
      for (int a = 0; a < 3; ++a) {
        for (std::uint32_t code : codes) shared = shared || corners_at[a][r] == code;
      }
      const bool across = lo_x_at[l] <= hi_x_at[r] && lo_x_at[r] <= hi_x_at[l] && lo_y_at[l] <= hi_y_at[r] &&
                          lo_y_at[r] <= hi_y_at[l];
      if (across && !shared) kept[count++] = r;
    }
    return count;
#endif
  }

 private:
  // The code an unshared corner of the scanning triangle is compared as:
  // no place holds it (put() takes no code above kUnshared).
  static constexpr std::uint32_t kNoCode = 0xffffffffu;

  std::unique_ptr<float[]> bounds_;        // the lowest bounds by axis, then the highest
  std::unique_ptr<std::uint32_t[]> codes_;  // the corner codes by corner, then the numbers
  std::size_t capacity_ = 0;
  std::array<float*, 3> lo_{}, hi_{};
  std::array<std::uint32_t*, 3> corners_{};
  std::uint32_t* f_ = nullptr;
};

}  // namespace karvex::validity
