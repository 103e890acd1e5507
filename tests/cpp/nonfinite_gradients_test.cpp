// Gradients beyond the doubles (infinite, overflowing, vanishing) must leave
// every vertex finite, and an allocation failure must leave behind what the
// call was doing.
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/crossings.h"
#include "dc/extract.h"
#include "dc/projection.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "support/alloc_context.h"

namespace karvex {
namespace {

using testing::FunctionField;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

bool finite(const Vec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

struct NormalCase {
  const char* name;
  Vec3 gradient;
  Vec3 normal;
};

class RobustNormal : public ::testing::TestWithParam<NormalCase> {};

TEST_P(RobustNormal, IsFiniteAndPointsAlongTheGradient) {
  const NormalCase& c = GetParam();
  const Vec3 n = normal_from_gradient(c.gradient);
  EXPECT_NEAR(n.x, c.normal.x, 1e-15);
  EXPECT_NEAR(n.y, c.normal.y, 1e-15);
  EXPECT_NEAR(n.z, c.normal.z, 1e-15);
}

const double kR2 = 1.0 / std::sqrt(2.0);
const double kR3 = 1.0 / std::sqrt(3.0);

INSTANTIATE_TEST_SUITE_P(
    Gradients, RobustNormal,
    ::testing::Values(
        // Infinite components stand for their sign; finite ones beside them vanish.
        NormalCase{"inf_z", {0, 0, kInf}, {0, 0, 1}},
        NormalCase{"minus_inf_x_beside_finite", {-kInf, 5, 1e300}, {-1, 0, 0}},
        NormalCase{"inf_everywhere", {kInf, kInf, kInf}, {kR3, kR3, kR3}},
        NormalCase{"inf_mixed_signs", {kInf, -kInf, 0}, {kR2, -kR2, 0}},
        // Finite, but the squares overflow: scaled before normalising.
        NormalCase{"huge_x", {1e200, 0, 0}, {1, 0, 0}},
        NormalCase{"huge_diagonal", {kMax, kMax, 0}, {kR2, kR2, 0}},
        NormalCase{"huge_3_4", {-3e300, 4e300, 0}, {-0.6, 0.8, 0}},
        // Short gradients: the zero-gradient normal at or below 1e-12, the
        // direction just above.
        NormalCase{"zero", {0, 0, 0}, {0, 0, 1}},
        NormalCase{"tiny", {1e-300, -1e-300, 0}, {0, 0, 1}},
        NormalCase{"denormal", {5e-324, 0, 0}, {0, 0, 1}},
        NormalCase{"just_below_threshold", {1e-12, 0, 0}, {0, 0, 1}},
        NormalCase{"just_above_threshold", {0, -2e-12, 0}, {0, -1, 0}},
        // A NaN component: the zero-gradient normal, as before.
        NormalCase{"nan", {kNaN, kInf, 1}, {0, 0, 1}}),
    [](const ::testing::TestParamInfo<NormalCase>& info) { return info.param.name; });

TEST(RobustNormal, OrdinaryGradientsKeepTheirExactQuotients) {
  // The overflow branch must not touch ordinary gradients: g / |g| to the bit.
  for (const Vec3 g : {Vec3{0.3, -0.4, 1.2}, Vec3{1e150, 2e150, -3e150}, Vec3{7e-12, 0, 1e-13}}) {
    const double length = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
    EXPECT_EQ(normal_from_gradient(g), (Vec3{g.x / length, g.y / length, g.z / length}));
  }
}

TEST(ProjectVertices, UnboundedStepsNeverMakeNaN) {
  const Octree tree = make_octree(BBox{{0, 0, 0}, {4, 4, 4}}, 0, 4, 0.0);
  WorkerPool pool(1);
  const VertexBox unit{{0, 0, 0}, {1, 1, 1}};

  // An infinitely steep field: the Newton step (f / |g|^2) g is zero, not 0 * inf.
  FunctionField cliff([](const Vec3& p) { return p.x - 0.25; },
                      [](const Vec3&) { return Vec3{kInf, 0, 0}; });
  std::vector<Vec3> positions{{0.75, 0.5, 0.5}};
  project_vertices(pool, cliff, positions, {unit}, tree);
  EXPECT_EQ(positions[0], (Vec3{0.75, 0.5, 0.5}));

  // |g|^2 overflows: the step is tiny and taken along x only.
  FunctionField steep([](const Vec3& p) { return p.x - 0.25; },
                      [](const Vec3&) { return Vec3{1e200, 0, 0}; });
  positions = {{0.75, 0.5, 0.5}};
  project_vertices(pool, steep, positions, {unit}, tree);
  EXPECT_EQ(positions[0], (Vec3{0.75, 0.5, 0.5}));

  // A huge value over a small gradient: the step factor overflows. The axes
  // on which the gradient is zero stay; the other ends at the box.
  FunctionField far([](const Vec3&) { return 1e300; },
                    [](const Vec3&) { return Vec3{-1e-9, 0, 0}; });
  positions = {{0.75, 0.5, 0.5}};
  project_vertices(pool, far, positions, {unit}, tree);
  EXPECT_EQ(positions[0], (Vec3{1, 0.5, 0.5}));
}

struct SlabCase {
  const char* name;
  Vec3 gradient;  // the same everywhere
  bool adaptive;
};

class InfiniteGradientSlab : public ::testing::TestWithParam<SlabCase> {};

// The slab z = 0.1 with gradients that are all infinite or overflowing: every
// vertex is finite, and lies on the slab (within the bisection's resolution)
// when the gradient points along z.
TEST_P(InfiniteGradientSlab, GivesFiniteVerticesOnTheSlab) {
  const SlabCase& c = GetParam();
  FunctionField slab([](const Vec3& p) { return p.z - 0.1; },
                     [g = c.gradient](const Vec3&) { return g; });
  MeshingOptions options;
  options.min_depth = 3;
  options.max_depth = 5;
  options.adaptive = c.adaptive;
  const BuildResult built = build_octree(slab, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
  const Mesh mesh = extract_surface(built.octree, slab, options);
  ASSERT_FALSE(mesh.vertices.empty());
  for (const Vec3& v : mesh.vertices) {
    ASSERT_TRUE(finite(v)) << v.x << " " << v.y << " " << v.z;
    if (c.gradient.x == 0 && c.gradient.y == 0) {
      EXPECT_NEAR(v.z, 0.1, 2.0 / 32 / 256);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Gradients, InfiniteGradientSlab,
    ::testing::Values(SlabCase{"inf_z_refined", {0, 0, kInf}, false},
                      SlabCase{"inf_z_balanced", {0, 0, kInf}, true},
                      SlabCase{"huge_z_refined", {0, 0, 1e300}, false},
                      SlabCase{"inf_everywhere_refined", {kInf, kInf, kInf}, false},
                      SlabCase{"inf_everywhere_balanced", {kInf, -kInf, kInf}, true}),
    [](const ::testing::TestParamInfo<SlabCase>& info) { return info.param.name; });

// --- The work context of an allocation failure -----------------------------

std::string described(const WorkContext& context) {
  char text[160];
  const std::size_t n = describe_work(context, text, sizeof text);
  EXPECT_EQ(n, std::string(text).size());
  return text;
}

TEST(WorkContext, DescribesTheSetPartsAndTruncatesSafely) {
  EXPECT_EQ(described({}), "");
  EXPECT_EQ(described({"building the octree", 12, nullptr, -1}), "building the octree (depth 12)");
  EXPECT_EQ(described({"building the octree", 12, "refining level", 9}),
            "building the octree (depth 12): refining level 9");
  EXPECT_EQ(described({"handing the mesh to NumPy", -1, "balancing", -1}),
            "handing the mesh to NumPy: balancing");
  char small[8];
  EXPECT_EQ(describe_work({"building the octree", 12, "refining level", 9}, small, sizeof small),
            7u);
  EXPECT_EQ(std::string(small), "buildin");
}

TEST(WorkContext, ScopesRestoreOnReturnAndStayAfterAThrow) {
  clear_work_context();
  {
    const TaskScope outer("outer", 1);
    {
      const TaskScope inner("inner", 2);
      set_work_stage("stage", 3);
      EXPECT_EQ(described(work_context()), "inner (depth 2): stage 3");
    }
    EXPECT_EQ(described(work_context()), "outer (depth 1)");
  }
  EXPECT_EQ(described(work_context()), "");

  try {
    const TaskScope task("failing", 4);
    set_work_stage("allocating");
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(described(work_context()), "failing (depth 4): allocating");
  }
  clear_work_context();
}

// Throws std::bad_alloc on its n-th call (1-based), standing in for an
// allocation that fails inside that stage.
class OutOfMemoryField : public Field {
 public:
  OutOfMemoryField(Field& inner, std::size_t fail_at) : inner_(inner), fail_at_(fail_at) {}
  EvalResult evaluate(std::span<const Vec3> points) override {
    if (++calls_ == fail_at_) throw std::bad_alloc();
    return inner_.evaluate(points);
  }

 private:
  Field& inner_;
  std::size_t fail_at_;
  std::size_t calls_ = 0;
};

std::string failure_context(std::size_t fail_at, bool balance) {
  clear_work_context();
  FunctionField sphere = testing::sphere({0, 0, 0}, 0.6);
  OutOfMemoryField field(sphere, fail_at);
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 4;
  options.adaptive = balance;
  try {
    const BuildResult built = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
    extract_surface(built.octree, field);
  } catch (const std::bad_alloc&) {
    const std::string text = described(work_context());
    clear_work_context();
    return text;
  }
  return "no failure";
}

TEST(WorkContext, BuildAndContouringNameTheirStages) {
  // Calls of a refined build at depths 2..4: the initial grid, one per
  // refinement level, the surface-cell refinement, then contouring: the
  // eight bisection batches and the normals.
  EXPECT_EQ(failure_context(1, false),
            "building the octree (depth 4): sampling the initial grid at level 2");
  EXPECT_EQ(failure_context(2, false), "building the octree (depth 4): refining level 2");
  EXPECT_EQ(failure_context(3, false), "building the octree (depth 4): refining level 3");
  EXPECT_EQ(failure_context(3, true), "building the octree (depth 4): refining level 3");
  // Nothing failed in the build: its own context is gone once it returned.
  const std::string contouring = failure_context(5, false);
  EXPECT_EQ(contouring.rfind("contouring the octree (depth 4): ", 0), 0u) << contouring;
  EXPECT_EQ(work_context().task, nullptr);
}

}  // namespace
}  // namespace karvex
