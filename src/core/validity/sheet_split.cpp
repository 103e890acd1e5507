// The sheet split and the parting of shared edges: directed edges grouped by
// undirected edge (a counting sort by lower vertex, each vertex's few edges
// sorted), triangles round a crowded edge ordered by angle, fans by
// union-find over corners.
#include "validity/sheet_split.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "pool/worker_pool.h"
#include "support/panic.h"
#include "validity/corner_fans.h"
#include "validity/hand_back.h"

namespace karvex::validity {

namespace {

using Edge = std::uint32_t;  // directed edge 3f + k, from corner k of face f to corner k + 1

// The faces as a flat array the steps read and write.
struct Faces {
  const std::int64_t* data;
  std::int64_t head(Edge e) const { return data[e]; }
  std::int64_t tail(Edge e) const { return data[tail_corner(e)]; }
  std::int64_t third(Edge e) const { return data[3 * (e / 3) + (e % 3 + 2) % 3]; }
  std::int64_t low(Edge e) const { return std::min(head(e), tail(e)); }
  std::int64_t high(Edge e) const { return std::max(head(e), tail(e)); }
};

// The directed edges sorted by (lower vertex, higher vertex, edge number),
// and where each group of one undirected edge starts (with the end last).
struct EdgeGroups {
  std::vector<Edge> order;
  std::vector<std::size_t> starts;

  std::size_t count() const { return starts.size() - 1; }
  std::size_t size(std::size_t g) const { return starts[g + 1] - starts[g]; }
  const Edge* begin(std::size_t g) const { return order.data() + starts[g]; }
  // Used as often from the lower vertex to the higher as back.
  bool balanced(std::size_t g, const Faces& faces) const {
    std::size_t forward = 0;
    for (std::size_t i = starts[g]; i < starts[g + 1]; ++i) forward += faces.head(order[i]) < faces.tail(order[i]);
    return 2 * forward == size(g);
  }
};

// The sort of each vertex's edges runs on the pool (each vertex's slice is
// its own), the rest on the caller; the result is the same for any number of
// workers. `High` holds a vertex number: 32 bits when they fit, halving the
// largest table.
template <typename High>
EdgeGroups group_edges_keyed(const Faces& faces, std::size_t face_count, std::size_t vertex_count, WorkerPool& pool) {
  const std::size_t edges = 3 * face_count;
  std::vector<std::size_t> start(vertex_count + 1, 0);
  for (Edge e = 0; e < edges; ++e) ++start[static_cast<std::size_t>(faces.low(e)) + 1];
  for (std::size_t v = 0; v < vertex_count; ++v) start[v + 1] += start[v];
  struct Keyed {
    High high;
    Edge edge;
    bool operator<(const Keyed& other) const { return high != other.high ? high < other.high : edge < other.edge; }
  };
  std::vector<Keyed> keyed(edges);
  {
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (Edge e = 0; e < edges; ++e) {
      keyed[fill[static_cast<std::size_t>(faces.low(e))]++] = {static_cast<High>(faces.high(e)), e};
    }
  }
  // Edge numbers break ties, so the order is the one a stable sort by
  // (lower, higher) vertex gives.
  pool.run(vertex_count, 4096, [&](LoopRange& range) {
    for (std::size_t v = range.begin(); range.keep_going(v); ++v) {
      std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(start[v]),
                keyed.begin() + static_cast<std::ptrdiff_t>(start[v + 1]));
    }
  });
  EdgeGroups groups;
  groups.order.resize(edges);
  groups.starts.reserve(edges / 2 + 1);
  for (std::size_t v = 0; v < vertex_count; ++v) {
    for (std::size_t i = start[v]; i < start[v + 1]; ++i) {
      groups.order[i] = keyed[i].edge;
      if (i == start[v] || keyed[i].high != keyed[i - 1].high) groups.starts.push_back(i);
    }
  }
  groups.starts.push_back(edges);
  return groups;
}

EdgeGroups group_edges(const Faces& faces, std::size_t face_count, std::size_t vertex_count, WorkerPool& pool) {
  if (vertex_count <= std::size_t{UINT32_MAX} + 1) {
    return group_edges_keyed<std::uint32_t>(faces, face_count, vertex_count, pool);
  }
  return group_edges_keyed<std::int64_t>(faces, face_count, vertex_count, pool);
}

using EdgePair = std::array<Edge, 2>;  // (wound high to low, wound low to high)

// The triangles round one edge (`count` directed edges, in increasing
// number, as often each way) paired so that each pair encloses one wedge of
// the solid. They are ordered by the angle of their third vertex round the
// axis from the lower vertex to the higher (stably, an undefined angle
// last); a triangle wound along the axis has its outward normal turning
// counter-clockwise, so the solid lies between a triangle wound against the
// axis and the next one along it. When the windings do not alternate round
// the edge (the sheets already cross there) the k-th against is paired with
// the k-th along.
std::vector<EdgePair> pair_round_edge(const double* vertices, const Faces& faces, const Edge* edges,
                                      std::size_t count) {
  const std::int64_t low = faces.low(edges[0]), high = faces.high(edges[0]);
  const double* p = vertices + 3 * low;
  const double* q = vertices + 3 * high;
  double axis[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]};
  const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double divisor = std::max(length, DBL_MIN);
  for (double& a : axis) a = a / divisor;
  // The coordinate axis least along the edge (the first of equals).
  int least = 0;
  for (int k = 1; k < 3; ++k) {
    if (std::fabs(axis[k]) < std::fabs(axis[least])) least = k;
  }
  const double helper[3] = {least == 0 ? 1.0 : 0.0, least == 1 ? 1.0 : 0.0, least == 2 ? 1.0 : 0.0};
  const auto cross = [](const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
  };
  double e1[3], e2[3];
  cross(axis, helper, e1);
  const double e1_length = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
  for (double& a : e1) a = a / e1_length;
  cross(axis, e1, e2);  // e1, e2, axis right-handed

  std::vector<double> angle(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double* t = vertices + 3 * faces.third(edges[i]);
    const double offset[3] = {t[0] - p[0], t[1] - p[1], t[2] - p[2]};
    const double y = offset[0] * e2[0] + offset[1] * e2[1] + offset[2] * e2[2];
    const double x = offset[0] * e1[0] + offset[1] * e1[1] + offset[2] * e1[2];
    angle[i] = std::atan2(y, x);
  }
  std::vector<std::size_t> ring(count);
  for (std::size_t i = 0; i < count; ++i) ring[i] = i;
  std::stable_sort(ring.begin(), ring.end(), [&](std::size_t a, std::size_t b) {
    if (std::isnan(angle[a])) return false;
    return std::isnan(angle[b]) || angle[a] < angle[b];
  });
  std::vector<Edge> rolled(count);
  std::vector<bool> forward(count);
  std::size_t begin = 0;  // the first triangle wound against the axis
  while (begin < count && faces.head(edges[ring[begin]]) == low) ++begin;
  if (begin == count) begin = 0;
  bool alternating = true;
  for (std::size_t i = 0; i < count; ++i) {
    rolled[i] = edges[ring[(begin + i) % count]];
    forward[i] = faces.head(rolled[i]) == low;
    alternating = alternating && forward[i] == (i % 2 == 1);
  }
  std::vector<EdgePair> pairs;
  pairs.reserve(count / 2);
  if (alternating) {
    for (std::size_t i = 0; i + 1 < count; i += 2) pairs.push_back({rolled[i], rolled[i + 1]});
    return pairs;
  }
  std::size_t against = 0, along = 0;
  while (true) {
    while (against < count && forward[against]) ++against;
    while (along < count && !forward[along]) ++along;
    if (against == count || along == count) return pairs;
    pairs.push_back({rolled[against++], rolled[along++]});
  }
}

void check_size(const MeshView& mesh) {
  if (mesh.face_count > kMaxFanFaces) {
    throw std::length_error("the sheet split handles meshes of at most " + std::to_string(kMaxFanFaces) +
                            " triangles; found " + std::to_string(mesh.face_count));
  }
}

SplitMesh copy_of(const MeshView& mesh) {
  SplitMesh out;
  out.vertices.assign(mesh.vertices, mesh.vertices + 3 * mesh.vertex_count);
  out.faces.assign(mesh.faces, mesh.faces + 3 * mesh.face_count);
  return out;
}

// Joins the fans round each group's edge where the triangles continue one
// sheet (link(e1, e2), e1 running a -> b and e2 b -> a: an edge used once
// each way, or the pairs of pair_round_edge round an edge used as often each
// way by more), and lists the directed edges of every group of more than
// two triangles in `crowded`, increasing.
template <class Link>
void link_sheets(const EdgeGroups& groups, const double* vertices, const Faces& faces,
                 std::vector<std::int64_t>& crowded, const Link& link) {
  for (std::size_t g = 0; g < groups.count(); ++g) {
    const std::size_t size = groups.size(g);
    if (size > 2) crowded.insert(crowded.end(), groups.begin(g), groups.begin(g) + size);
    if (size < 2 || !groups.balanced(g, faces)) continue;
    if (size == 2) {
      link(groups.begin(g)[0], groups.begin(g)[1]);
      continue;
    }
    for (const EdgePair& pair : pair_round_edge(vertices, faces, groups.begin(g), size)) link(pair[0], pair[1]);
  }
  std::sort(crowded.begin(), crowded.end());
}

// The copies of the fans of `count` corners (corner_of(i) the mesh's corner
// numbered i in `fans`, increasing in i). A fan's root is its first corner
// (joins keep the smaller root), so the corners in increasing order meet
// each vertex's fans in order of their first corners: the first fan met
// keeps the vertex, later ones are copies, numbered by (vertex, first
// corner).
template <class CornerOf>
void number_copies(const MeshView& mesh, CornerFans& fans, std::size_t count, const CornerOf& corner_of,
                   SheetCopies& out) {
  std::vector<std::uint8_t> seen(mesh.vertex_count, 0);
  std::vector<std::uint8_t> copied(count, 0);  // per fan root: whether the fan gets a copy
  std::vector<std::array<std::uint64_t, 2>> copies;  // (vertex, first corner) of each copied fan
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t r = fans.root(static_cast<std::uint32_t>(i));
    if (r != i) continue;
    const auto v = static_cast<std::size_t>(mesh.faces[corner_of(i)]);
    if (seen[v] == 0) {
      seen[v] = 1;
    } else {
      copied[r] = 1;
      copies.push_back({v, corner_of(i)});
    }
  }
  std::sort(copies.begin(), copies.end());
  out.originals.reserve(copies.size());
  for (const auto& copy : copies) out.originals.push_back(static_cast<std::int64_t>(copy[0]));
  if (copies.empty()) return;
  // (first corner, new vertex) of each copied fan, by corner.
  std::vector<std::array<std::uint64_t, 2>> numbered(copies.size());
  for (std::size_t k = 0; k < copies.size(); ++k) numbered[k] = {copies[k][1], mesh.vertex_count + k};
  std::sort(numbered.begin(), numbered.end());
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t r = fans.root(static_cast<std::uint32_t>(i));
    if (copied[r] == 0) continue;
    const std::uint64_t first = corner_of(r);
    const auto at = std::lower_bound(numbered.begin(), numbered.end(), std::array<std::uint64_t, 2>{first, 0});
    out.corners.push_back(static_cast<std::int64_t>(corner_of(i)));
    out.taken.push_back(static_cast<std::int64_t>((*at)[1]));
  }
}

SheetCopies copies_of_fans(const MeshView& mesh, WorkerPool& pool) {
  check_size(mesh);
  const Faces faces{mesh.faces};
  const std::size_t corners = 3 * mesh.face_count;
  CornerFans fans(corners);
  SheetCopies out;
  link_sheets(group_edges(faces, mesh.face_count, mesh.vertex_count, pool), mesh.vertices, faces, out.crowded,
              [&](Edge e1, Edge e2) {
                fans.join(e1, tail_corner(e2));
                fans.join(e2, tail_corner(e1));
              });
  number_copies(mesh, fans, corners, [](std::size_t c) { return c; }, out);
  return out;
}

}  // namespace

SheetCopies sheet_copies_round(const MeshView& mesh, std::span<const std::int64_t> broken) {
  check_size(mesh);
  const Faces faces{mesh.faces};
  const std::size_t corners = 3 * mesh.face_count;
  std::vector<std::uint8_t> listed(mesh.vertex_count, 0);
  std::int64_t last = -1;
  for (const std::int64_t v : broken) {
    if (v <= last || v >= static_cast<std::int64_t>(mesh.vertex_count)) {
      fail("the broken stars' vertices must increase within the mesh; found " + std::to_string(v) + " after " +
           std::to_string(last));
    }
    listed[static_cast<std::size_t>(v)] = 1;
    last = v;
  }
  // The corners at listed vertices (increasing), and every directed edge
  // with a listed end by (lower, higher, number): each edge at a listed
  // vertex whole, grouped as group_edges groups it.
  struct Keyed {
    std::int64_t low, high;
    Edge edge;
    bool operator<(const Keyed& other) const {
      if (low != other.low) return low < other.low;
      return high != other.high ? high < other.high : edge < other.edge;
    }
  };
  std::vector<Edge> at_listed;
  std::vector<Keyed> keyed;
  for (Edge e = 0; e < corners; ++e) {
    const bool head = listed[static_cast<std::size_t>(faces.head(e))] != 0;
    if (head) at_listed.push_back(e);
    if (head || listed[static_cast<std::size_t>(faces.tail(e))] != 0) keyed.push_back({faces.low(e), faces.high(e), e});
  }
  std::sort(keyed.begin(), keyed.end());
  // The groups as group_edges makes them, of these edges alone.
  EdgeGroups groups;
  groups.order.reserve(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    if (i == 0 || keyed[i].low != keyed[i - 1].low || keyed[i].high != keyed[i - 1].high) {
      groups.starts.push_back(i);
    }
    groups.order.push_back(keyed[i].edge);
  }
  groups.starts.push_back(keyed.size());
  // The fans of the listed vertices' corners, each corner numbered by its
  // place in at_listed: the order of the corners, so a fan's root is still
  // its first corner. The corners at unlisted vertices are left out (their
  // fans are not asked about).
  CornerFans fans(at_listed.size());
  const auto place = [&](Edge c) {
    return static_cast<std::uint32_t>(std::lower_bound(at_listed.begin(), at_listed.end(), c) - at_listed.begin());
  };
  SheetCopies out;
  link_sheets(groups, mesh.vertices, faces, out.crowded, [&](Edge e1, Edge e2) {
    if (listed[static_cast<std::size_t>(faces.head(e1))] != 0) fans.join(place(e1), place(tail_corner(e2)));
    if (listed[static_cast<std::size_t>(faces.head(e2))] != 0) fans.join(place(e2), place(tail_corner(e1)));
  });
  number_copies(mesh, fans, at_listed.size(), [&](std::size_t i) { return std::size_t{at_listed[i]}; }, out);
  return out;
}


SheetCopies sheet_copies(const MeshView& mesh, WorkerPool& pool) {
  SheetCopies out = copies_of_fans(mesh, pool);
  hand_back_freed(mesh.face_count);  // the edge groups and fans, before the relaxation's tables
  return out;
}

SplitMesh split_sheets(const MeshView& mesh, WorkerPool& pool) {
  const SheetCopies copies = sheet_copies(mesh, pool);
  SplitMesh out;
  out.added = copies.originals.size();
  out.vertices.reserve(3 * (mesh.vertex_count + out.added));
  out.vertices.assign(mesh.vertices, mesh.vertices + 3 * mesh.vertex_count);
  for (std::int64_t v : copies.originals) {
    out.vertices.insert(out.vertices.end(), mesh.vertices + 3 * v, mesh.vertices + 3 * v + 3);
  }
  out.faces.assign(mesh.faces, mesh.faces + 3 * mesh.face_count);
  for (std::size_t n = 0; n < copies.corners.size(); ++n) {
    out.faces[static_cast<std::size_t>(copies.corners[n])] = copies.taken[n];
  }
  return out;
}

namespace {

std::optional<SplitMesh> parted_in_passes(const MeshView& mesh, WorkerPool& pool) {
  check_size(mesh);
  std::optional<SplitMesh> out;
  while (true) {
    // The first pass reads the mesh itself; it is copied only once an edge
    // is found crowded.
    const MeshView now = out ? MeshView{out->vertices.data(), out->vertices.size() / 3, out->faces.data(),
                                        out->faces.size() / 3}
                             : mesh;
    const std::size_t face_count = now.face_count;
    const std::size_t vertex_count = now.vertex_count;
    if (face_count > kMaxFanFaces) throw std::length_error("parting shared edges made too many triangles");
    const EdgeGroups groups = group_edges(Faces{now.faces}, face_count, vertex_count, pool);
    std::vector<std::size_t> crowded;
    for (std::size_t g = 0; g < groups.count(); ++g) {
      if (groups.size(g) > 2 && groups.balanced(g, Faces{now.faces})) crowded.push_back(g);
    }
    if (crowded.empty()) return out;
    if (!out) out = copy_of(mesh);
    const Faces faces{out->faces.data()};
    std::vector<std::uint8_t> touched(face_count, 0);
    std::vector<double> new_vertices;
    std::vector<std::int64_t> new_faces;
    for (const std::size_t g : crowded) {
      const Edge* edges = groups.begin(g);
      const std::size_t size = groups.size(g);
      if (std::any_of(edges, edges + size, [&](Edge e) { return touched[e / 3] != 0; })) {
        continue;  // a face split this pass; the edge is seen again next pass
      }
      const std::vector<EdgePair> pairs = pair_round_edge(out->vertices.data(), faces, edges, size);
      for (std::size_t k = 1; k < pairs.size(); ++k) {
        const auto [e1, e2] = pairs[k];
        const std::int64_t m = static_cast<std::int64_t>(vertex_count + new_vertices.size() / 3);
        const std::int64_t a = faces.head(e1), b = faces.tail(e1), x = faces.third(e1), y = faces.third(e2);
        for (int axis = 0; axis < 3; ++axis) {
          new_vertices.push_back(0.5 * (out->vertices[3 * a + axis] + out->vertices[3 * b + axis]));
        }
        std::int64_t* f1 = out->faces.data() + 3 * (e1 / 3);
        std::int64_t* f2 = out->faces.data() + 3 * (e2 / 3);
        f1[0] = a, f1[1] = m, f1[2] = x;
        f2[0] = b, f2[1] = m, f2[2] = y;
        new_faces.insert(new_faces.end(), {m, b, x, m, a, y});
        touched[e1 / 3] = touched[e2 / 3] = 1;
      }
    }
    out->vertices.insert(out->vertices.end(), new_vertices.begin(), new_vertices.end());
    out->faces.insert(out->faces.end(), new_faces.begin(), new_faces.end());
    out->added += new_vertices.size() / 3;
  }
}

}  // namespace

std::optional<SplitMesh> parted_shared_edges(const MeshView& mesh, WorkerPool& pool) {
  std::optional<SplitMesh> out = parted_in_passes(mesh, pool);
  hand_back_freed(mesh.face_count);  // each pass's edge groups
  return out;
}

SplitMesh part_shared_edges(const MeshView& mesh, WorkerPool& pool) {
  std::optional<SplitMesh> parted = parted_shared_edges(mesh, pool);
  return parted ? std::move(*parted) : copy_of(mesh);
}

}  // namespace karvex::validity
