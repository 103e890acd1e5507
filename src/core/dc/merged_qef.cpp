#include "dc/merged_qef.h"

#include <array>
#include <cmath>

#include "support/panic.h"

namespace karvex {

namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

// Eigen-decomposition of a symmetric 3x3 matrix by cyclic Jacobi rotations:
// on return `a` is (nearly) diagonal with the eigenvalues, and the columns
// of `v` are the eigenvectors. Eight sweeps are far more than a 3x3 needs;
// a fixed count keeps the operations, and so the bits, the same every time.
void jacobi_eigen(Matrix& a, Matrix& v) {
  v = {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  constexpr int kPairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  for (int sweep = 0; sweep < 8; ++sweep) {
    for (const auto& pair : kPairs) {
      const int p = pair[0];
      const int q = pair[1];
      const double apq = a[p][q];
      if (apq == 0.0) continue;
      // The rotation that zeroes a[p][q] (Golub and Van Loan, 8.4).
      const double theta = (a[q][q] - a[p][p]) / (2.0 * apq);
      const double t =
          (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
      const double c = 1.0 / std::sqrt(t * t + 1.0);
      const double s = t * c;
      for (int k = 0; k < 3; ++k) {
        const double akp = a[k][p];
        const double akq = a[k][q];
        a[k][p] = c * akp - s * akq;
        a[k][q] = s * akp + c * akq;
      }
      for (int k = 0; k < 3; ++k) {
        const double apk = a[p][k];
        const double aqk = a[q][k];
        a[p][k] = c * apk - s * aqk;
        a[q][k] = s * apk + c * aqk;
      }
      for (int k = 0; k < 3; ++k) {
        const double vkp = v[k][p];
        const double vkq = v[k][q];
        v[k][p] = c * vkp - s * vkq;
        v[k][q] = s * vkp + c * vkq;
      }
    }
  }
}

}  // namespace

void add_qef(Qef& into, const Qef& q) {
  into.a00 += q.a00;
  into.a01 += q.a01;
  into.a02 += q.a02;
  into.a11 += q.a11;
  into.a12 += q.a12;
  into.a22 += q.a22;
  into.b0 += q.b0;
  into.b1 += q.b1;
  into.b2 += q.b2;
  into.offsets += q.offsets;
  into.p0 += q.p0;
  into.p1 += q.p1;
  into.p2 += q.p2;
  into.count += q.count;
}

MergedSolution solve_merged_qef(const Qef& q, const VertexBox& clamp, double truncation) {
  if (q.count == 0) fail("a merged quadratic error function without crossings");
  const double n = static_cast<double>(q.count);
  const double pull = 1e-4 * n;
  // The planes alone: A^T A, A^T b and b^T b without the pull.
  const Matrix ata{
      {{q.a00 - pull, q.a01, q.a02}, {q.a01, q.a11 - pull, q.a12}, {q.a02, q.a12, q.a22 - pull}}};
  const Vec3 sum{q.p0, q.p1, q.p2};
  const Vec3 atb{q.b0 - 1e-4 * sum.x, q.b1 - 1e-4 * sum.y, q.b2 - 1e-4 * sum.z};
  const Vec3 mean{sum.x / n, sum.y / n, sum.z / n};

  // Residual of the normal equations at the mean, then the step from the
  // mean in the eigenbasis, the weak directions left out.
  std::array<double, 3> r{};
  for (int i = 0; i < 3; ++i) {
    r[i] = atb[i] - ((ata[i][0] * mean.x + ata[i][1] * mean.y) + ata[i][2] * mean.z);
  }
  Matrix diagonal = ata;
  Matrix v;
  jacobi_eigen(diagonal, v);
  double largest = 0.0;
  for (int k = 0; k < 3; ++k) largest = std::fmax(largest, std::fabs(diagonal[k][k]));
  MergedSolution out;
  Vec3 x = mean;
  for (int k = 0; k < 3; ++k) {
    const double lambda = diagonal[k][k];
    if (!(lambda > truncation * largest) || !(lambda > 0.0)) continue;
    ++out.rank;
    const double along = ((v[0][k] * r[0] + v[1][k] * r[1]) + v[2][k] * r[2]) / lambda;
    for (int i = 0; i < 3; ++i) x[i] += v[i][k] * along;
  }
  for (int axis = 0; axis < 3; ++axis) {
    x[axis] = checked_clamp(x[axis], clamp.lo[axis], clamp.hi[axis]);
  }
  out.position = x;

  // x^T A x - 2 x^T b + b^T b, measured from the mean so that the terms
  // stay small: with e = x - mean, E(x) = E(mean) + e^T A e - 2 e^T r.
  const Vec3 e{x.x - mean.x, x.y - mean.y, x.z - mean.z};
  double at_mean = q.offsets;
  double eae = 0.0;
  double er = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double am = (ata[i][0] * mean.x + ata[i][1] * mean.y) + ata[i][2] * mean.z;
    const double ae = (ata[i][0] * e.x + ata[i][1] * e.y) + ata[i][2] * e.z;
    at_mean += mean[i] * am - 2.0 * mean[i] * atb[i];
    eae += e[i] * ae;
    er += e[i] * r[i];
  }
  out.error = std::fmax(0.0, (at_mean + eae) - 2.0 * er);
  return out;
}

}  // namespace karvex
