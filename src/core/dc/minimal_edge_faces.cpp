#include "dc/minimal_edge_faces.h"

#include <array>
#include <cstdint>
#include <optional>

#include "dc/component_table.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {

namespace {

// The other two axes of an axis, in increasing order.
constexpr unsigned kOtherAxes[3][2] = {{1, 2}, {0, 2}, {0, 1}};

// A node during the recursion, with its depth and level coordinates (a node
// that is not Internal stands for itself at every deeper step, keeping its
// own depth and place).
struct Place {
  const ContourNode* node;
  unsigned depth;
  std::array<std::uint32_t, 3> at{0, 0, 0};
};

// A piece of the walk that can run apart from the others: the whole walk of
// one cell, or (`inner`) only the faces and edges among its children.
struct Piece {
  Place place;
  bool inner = false;
};

class MinimalEdges {
 public:
  // The polygons go to the end of `out`.
  MinimalEdges(const SimplifiedCells& cells, const std::optional<LatticeBlock>& tile,
               std::uint8_t max_depth, std::vector<EdgePolygon>& out)
      : cells_(cells), tile_(tile), max_depth_(max_depth), out_(out) {}

  void run() { cell(root()); }

  // The walk as pieces, in its order: the cells `levels` below the root (or
  // less deep, where the tree ends sooner), each parent's inner faces and
  // edges after its children's cells. Running them in turn is run().
  std::vector<Piece> pieces(unsigned levels) const {
    std::vector<Piece> out;
    add_pieces(root(), levels, out);
    return out;
  }

  void run(const Piece& piece) {
    if (!piece.inner) {
      cell(piece.place);
      return;
    }
    std::array<Place, 8> c;
    for (unsigned o = 0; o < 8; ++o) c[o] = child(piece.place, o);
    inner_faces_and_edges<0>(c);
    inner_faces_and_edges<1>(c);
    inner_faces_and_edges<2>(c);
  }

 private:
  Place root() const { return {&cells_.root, 0, {0, 0, 0}}; }

  void add_pieces(const Place& p, unsigned levels, std::vector<Piece>& out) const {
    if (levels == 0 || !internal(p)) {
      if (internal(p)) out.push_back({p, false});
      return;
    }
    for (unsigned o = 0; o < 8; ++o) add_pieces(child(p, o), levels - 1, out);
    out.push_back({p, true});
  }

  // Child `octant` of an Internal node; any other node stands for itself.
  Place child(const Place& p, unsigned octant) const {
    if (p.node->kind != ContourKind::Internal) return p;
    if (p.node->index >= cells_.blocks.size()) fail_index(cells_.blocks.size(), p.node->index);
    return {&cells_.blocks[p.node->index][octant],
            p.depth + 1,
            {2 * p.at[0] + (octant & 1u), 2 * p.at[1] + ((octant >> 1) & 1u),
             2 * p.at[2] + (octant >> 2)}};
  }

  // Whether the tile owns the edge at corner u of ring cell `p`: its lower
  // end, on the finest lattice, lies in the tile (as generate_faces chooses).
  bool owned(const Place& p, unsigned u) const {
    if (!tile_) return true;
    const unsigned shift = static_cast<unsigned>(max_depth_) - p.depth;
    for (unsigned axis = 0; axis < 3; ++axis) {
      const std::int64_t end = (std::int64_t{p.at[axis]} + ((u >> axis) & 1u)) << shift;
      if (end < tile_->lo[axis] || end >= tile_->hi[axis]) return false;
    }
    return true;
  }

  static bool internal(const Place& p) { return p.node->kind == ContourKind::Internal; }

  // The cells, faces and edges inside one cell.
  void cell(const Place& p) {
    // A serial walk of the whole tree: poll the caller between cells so
    // that Ctrl-C ends it promptly. Polling changes no result.
    if (++visited_ % kPollBlock == 0) poll_run();
    if (!internal(p)) return;
    std::array<Place, 8> c;
    for (unsigned o = 0; o < 8; ++o) c[o] = child(p, o);
    for (unsigned o = 0; o < 8; ++o) cell(c[o]);
    inner_faces_and_edges<0>(c);
    inner_faces_and_edges<1>(c);
    inner_faces_and_edges<2>(c);
  }

  // The axis is a template argument in the recursion below: the octants it
  // picks then fold to constants.

  // Of a cell's children `c`: the faces across axis a and the edges along it
  // through the centre.
  template <unsigned a>
  void inner_faces_and_edges(const std::array<Place, 8>& c) {
    constexpr unsigned b = kOtherAxes[a][0];
    constexpr unsigned d = kOtherAxes[a][1];
    // Four faces across axis a between children o (bit a clear) and o + 2^a.
    for (unsigned o = 0; o < 8; ++o) {
      if (!((o >> a) & 1u)) face<a>(c[o], c[o | (1u << a)]);
    }
    // Two edges along axis a through the centre, one per half.
    for (unsigned t = 0; t < 2; ++t) {
      std::array<Place, 4> ring;
      for (unsigned i = 0; i < 4; ++i) {
        ring[i] = c[(t << a) | ((i & 1u) << b) | ((i >> 1) << d)];
      }
      edge<a>(ring);
    }
  }

  // The face across axis a between `lo` (on its negative side) and `hi`.
  template <unsigned a>
  void face(const Place& lo, const Place& hi) {
    if (!internal(lo) && !internal(hi)) return;
    constexpr unsigned b = kOtherAxes[a][0];
    constexpr unsigned d = kOtherAxes[a][1];
    // Four smaller faces.
    for (unsigned i = 0; i < 4; ++i) {
      const unsigned across = ((i & 1u) << b) | ((i >> 1) << d);
      face<a>(child(lo, (1u << a) | across), child(hi, across));
    }
    // Four edges in the face: along e, at the middle of f, one per half of e.
    face_edges<a, b>(lo, hi);
    face_edges<a, d>(lo, hi);
  }

  // The two edges along axis e in the face across axis a between `lo` and `hi`.
  template <unsigned a, unsigned e>
  void face_edges(const Place& lo, const Place& hi) {
    constexpr unsigned f = 3 - a - e;
    constexpr unsigned first = kOtherAxes[e][0];
    for (unsigned t = 0; t < 2; ++t) {
      // Ring position i: bit 0 the side along the first other axis of e,
      // bit 1 along the second; here those are a and f in some order.
      std::array<Place, 4> ring;
      for (unsigned i = 0; i < 4; ++i) {
        const unsigned side_first = i & 1u;
        const unsigned side_second = i >> 1;
        const unsigned side_a = first == a ? side_first : side_second;
        const unsigned side_f = first == a ? side_second : side_first;
        const Place& owner = side_a ? hi : lo;
        const unsigned octant = (t << e) | ((side_a ? 0u : 1u) << a) | (side_f << f);
        ring[i] = child(owner, octant);
      }
      edge<e>(ring);
    }
  }

  // The edge along axis a with the four nodes round it: ring[i] lies on the
  // positive side of the edge along the first other axis when bit 0 of i is
  // set, along the second when bit 1 is.
  template <unsigned a>
  void edge(const std::array<Place, 4>& ring) {
    bool any_internal = false;
    for (const Place& p : ring) any_internal = any_internal || internal(p);
    if (!any_internal) {
      contour<a>(ring);
      return;
    }
    constexpr unsigned b = kOtherAxes[a][0];
    constexpr unsigned d = kOtherAxes[a][1];
    for (unsigned t = 0; t < 2; ++t) {
      std::array<Place, 4> half;
      for (unsigned i = 0; i < 4; ++i) {
        // The child next to the edge: on the opposite side of its own centre.
        const unsigned octant = (t << a) | (((i & 1u) ^ 1u) << b) | (((i >> 1) ^ 1u) << d);
        half[i] = child(ring[i], octant);
      }
      edge<a>(half);
    }
  }

  // Corner u (lower end) of the cube edge along a of the ring cell at
  // position i: the edge lies at its far side along each axis where the cell
  // is on the negative side.
  static constexpr unsigned lower_corner(unsigned i, unsigned a) {
    const unsigned b = kOtherAxes[a][0];
    const unsigned d = kOtherAxes[a][1];
    return (((i & 1u) ^ 1u) << b) | (((i >> 1) ^ 1u) << d);
  }

  // The vertex of ring cell i at the edge.
  std::uint64_t vertex_at(const ContourNode& node, unsigned i, unsigned a) const {
    const ComponentRow& row = COMPONENT_TABLE[node.mask];
    if (row[8] <= 1 || node.one_vertex) return node.index;
    const unsigned u = lower_corner(i, a);
    const unsigned v = u | (1u << a);
    const bool u_below = (node.mask >> u) & 1u;
    const std::uint8_t group = row[u_below ? u : v];
    // A larger cell with several groups, whose corners at this edge lie on
    // one side: its first vertex stands in.
    if (group >= row[8]) return node.index;
    return node.index + group;
  }

  template <unsigned a>
  void contour(const std::array<Place, 4>& ring) {
    // The smallest cell round the edge decides its signs.
    unsigned smallest = 0;
    for (unsigned i = 1; i < 4; ++i) {
      if (ring[i].depth > ring[smallest].depth) smallest = i;
    }
    const ContourNode& s = *ring[smallest].node;
    const unsigned u = lower_corner(smallest, a);
    const bool u_below = (s.mask >> u) & 1u;
    const bool v_below = (s.mask >> (u | (1u << a))) & 1u;
    if (u_below == v_below || !owned(ring[smallest], u)) return;
    for (const Place& p : ring) {
      if (p.node->kind != ContourKind::Cell) return;
    }
    std::array<std::uint64_t, 4> v;
    for (unsigned i = 0; i < 4; ++i) v[i] = vertex_at(*ring[i].node, i, a);
    // Counter-clockwise round +a: ring positions (3, 2, 0, 1) for x and z,
    // (3, 1, 0, 2) for y, as generate_faces orders O, A, C, B.
    std::array<std::uint64_t, 4> quad = a == 1
                                            ? std::array<std::uint64_t, 4>{v[3], v[1], v[0], v[2]}
                                            : std::array<std::uint64_t, 4>{v[3], v[2], v[0], v[1]};
    if (!u_below) quad = {quad[3], quad[2], quad[1], quad[0]};
    // A cell met twice holds two neighbouring places of the ring.
    std::array<std::uint64_t, 4> distinct;
    unsigned n = 0;
    for (unsigned k = 0; k < 4; ++k) {
      const std::uint64_t x = quad[k];
      if (n > 0 && distinct[n - 1] == x) continue;
      if (k == 3 && x == distinct[0]) continue;
      distinct[n++] = x;
    }
    if (n == 3) {
      out_.push_back({{distinct[0], distinct[1], distinct[2], 0}, false});
      return;
    }
    if (n != 4) return;
    out_.push_back({quad, true});
  }

  const SimplifiedCells& cells_;
  const std::optional<LatticeBlock>& tile_;  // set: only the edges it owns make faces
  std::uint8_t max_depth_;
  std::vector<EdgePolygon>& out_;
  std::uint64_t visited_ = 0;  // cells visited, for polling
};

}  // namespace

std::vector<EdgePolygon> minimal_edge_polygons(WorkerPool& pool, const SimplifiedCells& cells,
                                               const std::optional<LatticeBlock>& tile,
                                               std::uint8_t max_depth) {
  // Three levels: a few hundred pieces, enough to keep two to eight workers
  // busy to the end, few enough that handing them out costs nothing.
  constexpr unsigned kPieceLevels = 3;
  std::vector<EdgePolygon> unused;
  const std::vector<Piece> pieces =
      MinimalEdges(cells, tile, max_depth, unused).pieces(kPieceLevels);
  return parallel_concat<EdgePolygon>(
      pool, pieces.size(),
      [&](std::size_t i, std::vector<EdgePolygon>& out) {
        MinimalEdges(cells, tile, max_depth, out).run(pieces[i]);
      },
      1);
}

std::vector<EdgePolygon> minimal_edge_polygons_by_piece(WorkerPool& pool,
                                                        const SimplifiedCells& cells,
                                                        unsigned levels,
                                                        const EdgePieceReuse& reuse,
                                                        std::vector<EdgePiece>& pieces,
                                                        std::vector<std::size_t>& starts) {
  const std::optional<LatticeBlock> no_tile;
  std::vector<EdgePolygon> unused;
  const std::vector<Piece> walk = MinimalEdges(cells, no_tile, 0, unused).pieces(levels);
  pieces.clear();
  pieces.reserve(walk.size());
  for (const Piece& piece : walk) {
    pieces.push_back({static_cast<std::uint8_t>(piece.place.depth), piece.inner, piece.place.at});
  }
  std::vector<std::vector<EdgePolygon>> per_piece(walk.size());
  parallel_for(
      pool, walk.size(),
      [&](std::size_t i) {
        std::vector<EdgePolygon>& out = per_piece[i];
        if (!reuse(pieces[i], out)) {
          out.clear();
          MinimalEdges(cells, no_tile, 0, out).run(walk[i]);
        }
      },
      1);
  starts.assign(walk.size() + 1, 0);
  for (std::size_t i = 0; i < walk.size(); ++i) starts[i + 1] = starts[i] + per_piece[i].size();
  std::vector<EdgePolygon> out;
  out.reserve(starts.back());
  for (const std::vector<EdgePolygon>& part : per_piece) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<Triangle> split_polygons(const std::vector<EdgePolygon>& polygons,
                                     const std::vector<Vec3>& positions) {
  std::vector<Triangle> out;
  out.reserve(2 * polygons.size());
  for (const EdgePolygon& polygon : polygons) {
    const std::array<std::uint64_t, 4>& quad = polygon.vertices;
    if (!polygon.quad) {
      out.push_back({quad[0], quad[1], quad[2]});
      continue;
    }
    const Vec3& p0 = checked_at(positions, quad[0]);
    const Vec3& p1 = checked_at(positions, quad[1]);
    const Vec3& p2 = checked_at(positions, quad[2]);
    const Vec3& p3 = checked_at(positions, quad[3]);
    const bool first_diagonal = choose_first_diagonal(p0, p1, p2, p3);
    const Triangle t1 =
        first_diagonal ? Triangle{quad[0], quad[1], quad[2]} : Triangle{quad[0], quad[1], quad[3]};
    const Triangle t2 =
        first_diagonal ? Triangle{quad[0], quad[2], quad[3]} : Triangle{quad[1], quad[2], quad[3]};
    out.push_back(t1);
    out.push_back(t2);
  }
  return out;
}

std::vector<Triangle> minimal_edge_faces(const SimplifiedCells& cells,
                                         const std::vector<Vec3>& positions,
                                         const std::optional<LatticeBlock>& tile,
                                         std::uint8_t max_depth) {
  std::vector<EdgePolygon> polygons;
  MinimalEdges(cells, tile, max_depth, polygons).run();
  return split_polygons(polygons, positions);
}

std::vector<Triangle> minimal_edge_faces(WorkerPool& pool, const SimplifiedCells& cells,
                                         const std::vector<Vec3>& positions,
                                         const std::optional<LatticeBlock>& tile,
                                         std::uint8_t max_depth) {
  return split_polygons(minimal_edge_polygons(pool, cells, tile, max_depth), positions);
}

}  // namespace karvex
