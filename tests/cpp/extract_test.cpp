#include <cmath>
#include <numbers>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/cleanup.h"
#include "dc/extract.h"
#include "dc/stage_timing.h"
#include "fields.h"
#include "mesh_check.h"
#include "pool/worker_pool.h"

namespace karvex {
namespace {

using testing::FailingField;
using testing::FieldFailure;
using testing::FunctionField;

Octree build(Field& field, std::uint8_t max_depth, bool adaptive) {
  MeshingOptions options;
  options.max_depth = max_depth;
  options.adaptive = adaptive;
  return build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
}

double distance(const Vec3& a, const Vec3& b) {
  return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

// A closed surface: one piece, consistently outward. A Newton step stopped
// by a vertex box leaves its vertex a little off the surface, hence 1e-3.
void expect_closed_sphere(const Mesh& mesh, Vec3 centre, double radius) {
  const auto check = testing::check_mesh(mesh);
  EXPECT_TRUE(check.indices_valid && check.degenerate_free && check.closed && check.oriented);
  EXPECT_EQ(check.euler, 2);
  const double volume = 4.0 / 3.0 * std::numbers::pi * radius * radius * radius;
  EXPECT_NEAR(check.signed_volume, volume, 0.02 * volume);
  for (const Vec3& v : mesh.vertices) ASSERT_NEAR(distance(v, centre), radius, 1e-3);
}

class SphereMesh : public ::testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(SphereMesh, ClosedOutwardAndOnTheSurface) {
  const auto [adaptive, gradients] = GetParam();
  FunctionField field = testing::sphere({0.01, -0.02, 0.03}, 0.7, gradients);
  const Mesh mesh = extract_surface(build(field, 5, adaptive), field);
  ASSERT_GT(mesh.faces.size(), 500u);
  expect_closed_sphere(mesh, {0.01, -0.02, 0.03}, 0.7);
}

INSTANTIATE_TEST_SUITE_P(AdaptiveAndGradients, SphereMesh,
                         ::testing::Values(std::pair{false, true}, std::pair{true, true},
                                           std::pair{false, false}));

TEST(ExtractSurface, BoxCornersAreKept) {
  const Vec3 half{0.51, 0.47, 0.49};
  FunctionField field = testing::box({0, 0, 0}, half);
  const Mesh mesh = extract_surface(build(field, 5, false), field);
  EXPECT_TRUE(testing::check_mesh(mesh).closed);
  for (unsigned i = 0; i < 8; ++i) {
    const Vec3 corner{(i & 1) ? half.x : -half.x, (i & 2) ? half.y : -half.y,
                      (i & 4) ? half.z : -half.z};
    double nearest = INFINITY;
    for (const Vec3& v : mesh.vertices) nearest = std::fmin(nearest, distance(v, corner));
    EXPECT_LT(nearest, 0.1 * (2.0 / 32)) << "corner " << i;  // a tenth of a cell
  }
}

TEST(ExtractSurface, KeepsOnlyTheLargerOfTwoSpheres) {
  FunctionField field = testing::two_spheres({-0.45, 0, 0}, 0.4, {0.55, 0.1, 0}, 0.25);
  const Mesh mesh = extract_surface(build(field, 5, false), field);
  expect_closed_sphere(mesh, {-0.45, 0, 0}, 0.4);
  std::vector<bool> used(mesh.vertices.size(), false);
  for (const auto& f : mesh.faces) used[f[0]] = used[f[1]] = used[f[2]] = true;
  EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);  // renumbered without gaps
}

TEST(ExtractSurface, NoSurfaceMeansNoFieldCall) {
  FunctionField field([](const Vec3&) { return 1.0; });
  const Octree tree = build(field, 4, false);
  const std::size_t calls = field.calls;
  const Mesh mesh = extract_surface(tree, field);
  EXPECT_TRUE(mesh.vertices.empty() && mesh.faces.empty());
  EXPECT_EQ(field.calls, calls);
}

// Calls of one extraction: 1-8 bisection, 9 normals (10: their finite
// differences when the field has no gradients), then projection.
TEST(ExtractSurface, FieldErrorsPropagateFromEveryStage) {
  FunctionField sphere = testing::sphere({0, 0, 0}, 0.6);
  const Octree tree = build(sphere, 4, false);
  for (auto [fail_at, gradients] : {std::pair{1u, true},
                                    {8u, true},
                                    {9u, true},
                                    {10u, true},
                                    {12u, true},
                                    {10u, false},
                                    {11u, false}}) {
    FunctionField inner = testing::sphere({0, 0, 0}, 0.6, gradients);
    FailingField field(inner, fail_at);
    EXPECT_THROW(extract_surface(tree, field), FieldFailure) << fail_at;
    EXPECT_EQ(field.calls, fail_at);
  }
}

TEST(ExtractSurface, SameMeshForAnyWorkerCount) {
  FunctionField field = testing::torus(0.55, 0.2);
  const Octree tree = build(field, 6, true);
  WorkerPool one(1), two(2), three(3);
  MeshingOptions options;
  options.run.pool = &one;
  const Mesh reference = extract_surface(tree, field, options);
  EXPECT_EQ(testing::check_mesh(reference).euler, 0);
  for (WorkerPool* pool : {&two, &three}) {
    ExtractTimings timings;
    options.run = {pool, nullptr, &timings};
    const Mesh mesh = extract_surface(tree, field, options);
    EXPECT_EQ(mesh.faces, reference.faces);
    EXPECT_EQ(mesh.vertices, reference.vertices);
    EXPECT_EQ(timings.triangle_count, reference.faces.size());
  }
}

struct CleanupCase {
  const char* name;
  std::size_t vertex_count;
  std::vector<Triangle> triangles;
  std::vector<double> kept_vertices;  // old numbers, in new order
  std::vector<Triangle> kept_triangles;
};

class KeepLargest : public ::testing::TestWithParam<CleanupCase> {};

TEST_P(KeepLargest, KeepsAndRenumbers) {
  const CleanupCase& c = GetParam();
  std::vector<Vec3> vertices;
  for (std::size_t i = 0; i < c.vertex_count; ++i) vertices.push_back({double(i), 0, 0});
  const Mesh mesh = keep_largest_component(vertices, c.triangles);
  std::vector<double> kept;
  for (const Vec3& v : mesh.vertices) kept.push_back(v.x);
  EXPECT_EQ(kept, c.kept_vertices);
  EXPECT_EQ(mesh.faces, c.kept_triangles);
  // The faces go to NumPy with their spare room: little of it is left.
  EXPECT_LE(8 * (mesh.faces.capacity() - mesh.faces.size()), mesh.faces.capacity());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Pieces, KeepLargest, ::testing::Values(
    CleanupCase{"no_triangles", 3, {}, {0, 1, 2}, {}},
    // All kept: returned as is, unused vertex 4 included.
    CleanupCase{"one_piece", 5, {{0, 1, 2}, {2, 3, 0}}, {0, 1, 2, 3, 4}, {{0, 1, 2}, {2, 3, 0}}},
    // The later piece is larger: the earlier one goes and the numbers close up.
    CleanupCase{"larger_second", 8, {{0, 1, 2}, {3, 4, 5}, {5, 6, 3}, {6, 7, 3}}, {3, 4, 5, 6, 7},
                {{0, 1, 2}, {2, 3, 0}, {3, 4, 0}}},
    // Equal pieces: the one holding the earlier triangle stays.
    CleanupCase{"tie", 8, {{4, 5, 6}, {0, 1, 2}, {6, 7, 4}, {2, 3, 0}}, {4, 5, 6, 7},
                {{0, 1, 2}, {2, 3, 0}}},
    // Joined only through a later triangle's second and third vertices.
    CleanupCase{"joined_late", 7, {{0, 1, 2}, {3, 4, 5}, {6, 2, 3}}, {0, 1, 2, 3, 4, 5, 6},
                {{0, 1, 2}, {3, 4, 5}, {6, 2, 3}}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace karvex
