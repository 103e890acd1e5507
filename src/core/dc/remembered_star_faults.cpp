#include "dc/remembered_star_faults.h"

#include <cstdint>

namespace karvex {

std::vector<StarFault> RememberedStarFaults::faults(const std::vector<EdgePolygon>& polygons,
                                                    const std::vector<Triangle>& triangles,
                                                    const CellPassChanges& changes) {
  std::vector<StarFault> out;
  if (!any_ || !changes.known()) {
    out = star_faults(triangles);
  } else {
    constexpr std::uint64_t kGone = CellPassChanges::kGone;
    const std::vector<std::uint64_t>& place = changes.place();
    const std::vector<std::uint8_t>& appeared = changes.appeared();
    // The stars to tell again: those of the corners of a polygon with an
    // appeared vertex now or a gone one then.
    std::vector<std::uint8_t> changed(appeared.size(), 0);
    for (const EdgePolygon& polygon : polygons) {
      const unsigned corners = polygon.quad ? 4 : 3;
      bool any = false;
      for (unsigned c = 0; c < corners; ++c) any = any || appeared[polygon.vertices[c]];
      if (!any) continue;
      for (unsigned c = 0; c < corners; ++c) changed[polygon.vertices[c]] = 1;
    }
    for (const EdgePolygon& polygon : polygons_) {
      const unsigned corners = polygon.quad ? 4 : 3;
      bool any = false;
      for (unsigned c = 0; c < corners; ++c) any = any || place[polygon.vertices[c]] == kGone;
      if (!any) continue;
      for (unsigned c = 0; c < corners; ++c) {
        const std::uint64_t v = place[polygon.vertices[c]];
        if (v != kGone) changed[v] = 1;
      }
    }
    for (const StarFault& fault : faults_) {
      const std::uint64_t v = place[fault.vertex];
      if (v == kGone || changed[v]) continue;
      // The far end lies on the unchanged star's link, so it is still there.
      out.push_back({v, fault.far_end == kNoFarEnd ? kNoFarEnd : place[fault.far_end]});
    }
    const std::vector<StarFault> told = star_faults(triangles, &changed);
    out.insert(out.end(), told.begin(), told.end());
  }
  any_ = true;
  polygons_ = polygons;
  faults_ = out;
  return out;
}

}  // namespace karvex
