#include "dc/collapse_placement.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace karvex {

namespace {

// Below this cosine between the centre's normal and one of its fan's, the
// vertex is taken to be on a sharp feature (about 37 degrees).
constexpr double kFeatureCosine = 0.8;

double dot(const Vec3& a, const Vec3& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
Vec3 sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

bool known(const Vec3& n) { return std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z); }

// How far the chord (p, q) lies against the normal at its midpoint, both
// ends on the surface: (n_q - n_p).(q - p) / 8, l^2 / 8R on a sphere of
// radius R with outward normals.
double sag(const SurfaceVertex& p, const SurfaceVertex& q) {
  return dot(sub(q.normal, p.normal), sub(q.at, p.at)) / 8.0;
}

// The height at which line i meets the negative of line j, and the offset
// where they meet; the same expressions (so the same bits) wherever used.
double height(const OffsetLine& i, const OffsetLine& j) {
  return (i.value * j.slope - j.value * i.slope) / (i.slope + j.slope);
}
double meeting(const OffsetLine& i, const OffsetLine& j) {
  return -(i.value + j.value) / (i.slope + j.slope);
}

// Every pair scanned: the definition, for lines the linear search does not
// take (many slopes, values that are not finite or could overflow).
double minimax_by_pairs(const std::vector<OffsetLine>& lines) {
  double best_height = -INFINITY;
  double best = NAN;
  for (const OffsetLine& i : lines) {
    for (const OffsetLine& j : lines) {
      const double h = height(i, j);
      if (h > best_height) {
        best_height = h;
        best = meeting(i, j);
      }
    }
  }
  return best;
}

// Slopes the linear search groups lines by, at most.
constexpr std::size_t kMaxSlopes = 4;
// Values or slopes beyond this could overflow a product in height().
constexpr double kLargestValue = 1e150;

// The lines of one slope: the indices of the largest and the least value
// among them (the first of equal ones).
struct SlopeGroup {
  double slope;
  std::size_t largest;
  std::size_t least;
};

// Takes line k into `group`, which holds lines of its slope before k.
void widen(SlopeGroup& group, const std::vector<OffsetLine>& lines, std::size_t k) {
  if (lines[k].value > lines[group.largest].value) group.largest = k;
  if (lines[k].value < lines[group.least].value) group.least = k;
}

// minimax_offset over `lines` grouped by slope into groups[0, count), every
// line in one group, every value and slope within kLargestValue.
//
// For a fixed pair of slopes, height(i, j) rounds monotonically: it never
// falls as v_i rises or as v_j falls. So within each pair of slope groups
// the highest meeting is that of the group's largest value with the
// other's least, and the highest of those is the scan's maximum. The scan
// keeps the first pair in index order that reaches it: found by going
// through i in order, skipping each i whose highest meeting (with the
// least value of each group) stays below; a line can reach that maximum
// with group b's least only where its group's largest does.
double minimax_of_groups(const std::vector<OffsetLine>& lines, const SlopeGroup* groups,
                         std::size_t count) {
  if (count == 0) return NAN;
  double heights[kMaxSlopes][kMaxSlopes];
  double top = -INFINITY;
  for (std::size_t a = 0; a < count; ++a) {
    for (std::size_t b = 0; b < count; ++b) {
      heights[a][b] = height(lines[groups[a].largest], lines[groups[b].least]);
      top = std::fmax(top, heights[a][b]);
    }
  }
  bool reaches_with[kMaxSlopes][kMaxSlopes];
  bool group_reaches[kMaxSlopes];
  for (std::size_t a = 0; a < count; ++a) {
    group_reaches[a] = false;
    for (std::size_t b = 0; b < count; ++b) {
      reaches_with[a][b] = heights[a][b] == top;
      group_reaches[a] = group_reaches[a] || reaches_with[a][b];
    }
  }
  for (const OffsetLine& i : lines) {
    std::size_t a = 0;
    while (groups[a].slope != i.slope) ++a;
    if (!group_reaches[a]) continue;
    bool reaches = false;
    for (std::size_t b = 0; b < count && !reaches; ++b) {
      reaches = reaches_with[a][b] && height(i, lines[groups[b].least]) == top;
    }
    if (!reaches) continue;
    for (const OffsetLine& j : lines) {
      if (height(i, j) == top) return meeting(i, j);
    }
  }
  return minimax_by_pairs(lines);  // unreachable with finite heights
}

}  // namespace

double minimax_offset(const std::vector<OffsetLine>& lines) {
  std::array<SlopeGroup, kMaxSlopes> groups;
  std::size_t group_count = 0;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const OffsetLine& line = lines[k];
    if (!(std::fabs(line.value) <= kLargestValue) ||
        !(line.slope > 0.0 && line.slope <= kLargestValue)) {
      return minimax_by_pairs(lines);
    }
    std::size_t g = 0;
    while (g < group_count && groups[g].slope != line.slope) ++g;
    if (g == group_count) {
      if (group_count == kMaxSlopes) return minimax_by_pairs(lines);
      groups[group_count++] = {line.slope, k, k};
      continue;
    }
    widen(groups[g], lines, k);
  }
  return minimax_of_groups(lines, groups.data(), group_count);
}

double straddling_offset(const SurfaceVertex& centre,
                         const std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& fan,
                         double limit) {
  std::vector<OffsetLine> lines;
  return straddling_offset(centre, fan, limit, lines);
}

double straddling_offset(const SurfaceVertex& centre,
                         const std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& fan,
                         double limit, std::vector<OffsetLine>& lines) {
  if (fan.empty() || !(limit > 0.0) || !known(centre.normal)) return 0.0;
  lines.assign(1, {0.0, 1.0});  // the centre itself
  lines.reserve(1 + 3 * fan.size());
  // Three slopes, known here: the lines are grouped as they are made,
  // as minimax_offset would group them, with each group's largest and
  // least value so far at hand.
  constexpr double kThird = 1.0 / 3.0;
  std::array<SlopeGroup, 3> groups{{{1.0, 0, 0}, {0.5, 0, 0}, {kThird, 0, 0}}};
  double largest[3] = {0.0, -INFINITY, -INFINITY};
  double least[3] = {0.0, INFINITY, INFINITY};
  auto take = [&](int g, double value, std::size_t k) {
    if (value > largest[g]) {
      largest[g] = value;
      groups[g].largest = k;
    }
    if (value < least[g]) {
      least[g] = value;
      groups[g].least = k;
    }
  };
  bool bounded = true;
  for (const auto& [p, q] : fan) {
    if (!known(p.normal) || !known(q.normal)) return 0.0;
    if (dot(p.normal, centre.normal) < kFeatureCosine ||
        dot(q.normal, centre.normal) < kFeatureCosine) {
      return 0.0;
    }
    const double sag_p = sag(centre, p);
    const double sag_q = sag(centre, q);
    // Each edge from the centre is in two triangles; the second copy of a
    // line changes nothing.
    const double at_p = 0.5 * p.offset - sag_p;
    const double at_q = 0.5 * q.offset - sag_q;
    const double at_centroid =
        (p.offset + q.offset) / 3.0 - (4.0 / 9.0) * ((sag_p + sag_q) + sag(p, q));
    const std::size_t k = lines.size();
    lines.push_back({at_p, 0.5});
    lines.push_back({at_q, 0.5});
    lines.push_back({at_centroid, kThird});
    bounded = bounded && std::fabs(at_p) <= kLargestValue && std::fabs(at_q) <= kLargestValue &&
              std::fabs(at_centroid) <= kLargestValue;
    take(1, at_p, k);
    take(1, at_q, k + 1);
    take(2, at_centroid, k + 2);
  }
  const double best = bounded ? minimax_of_groups(lines, groups.data(), groups.size())
                              : minimax_by_pairs(lines);
  if (!std::isfinite(best)) return 0.0;
  return std::clamp(best, -limit, limit);
}

}  // namespace karvex
