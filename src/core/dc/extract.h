#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "field/field.h"
#include "octree/mod.h"
#include "support/vec3.h"

namespace karvex {

class WorkerPool;

// The extracted mesh: vertices in output order and triangles of three vertex
// numbers (below vertices.size()) in winding order; each triangle's normal
// (q - p) x (r - p) points to where the field is at or above iso_value.
struct Mesh {
  std::vector<Vec3> vertices;
  std::vector<std::array<std::uint64_t, 3>> faces;
};

// Seconds spent in each stage of one extraction, wall-clock and CPU time of
// the calling thread (which does all the work when the pool has one
// worker), and how much of each was spent inside the field. Filled only
// when asked for; asking never changes the result.
struct ExtractTimings {
  struct Stage {
    double seconds = 0.0;            // wall time of the stage
    double field_seconds = 0.0;      // of which inside the field
    double cpu_seconds = 0.0;        // CPU time of the calling thread in the stage
    double field_cpu_seconds = 0.0;  // of which inside the field
  };
  Stage cells;       // walk, cell lookup, vertex slots
  Stage crossings;   // sign-changing edges (parallel)
  Stage locate;      // eight bisection batches
  Stage normals;     // normal batch (and finite differences), accumulation, sharp slots
  Stage qefs;        // solve jobs
  Stage solve;       // vertex solve (parallel)
  Stage emit;        // output numbering
  Stage projection;  // Newton steps (parallel updates)
  Stage faces;       // face generation (parallel)
  Stage cleanup;     // largest component
  std::uint64_t cells_count = 0;
  std::uint64_t crossing_count = 0;
  std::uint64_t vertex_count = 0;    // emitted, before cleanup
  std::uint64_t triangle_count = 0;  // generated, before cleanup
};

// Optional knobs of extract_surface, for tests and benchmarks.
struct ExtractControls {
  WorkerPool* pool = nullptr;         // nullptr: the process-wide pool
  ExtractTimings* timings = nullptr;  // nullptr: no timing
};

// Dual Contouring of the finished octree, keeping the largest connected
// component. Field errors propagate unchanged; invariant failures (also those
// raised on worker threads) throw InvariantFailure on the calling thread.
Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg);
Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg,
                     const ExtractControls& controls);

}  // namespace karvex
