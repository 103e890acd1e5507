#include "field/recalling_field.h"

#include <bit>
#include <vector>

#include "support/panic.h"

namespace karvex {

namespace {

constexpr std::size_t kRecalled = ~std::size_t{0};
// How many points ahead the answers' slots are loaded.
constexpr std::size_t kAhead = 8;

}  // namespace

std::size_t RecallingField::PointBitsHash::operator()(const PointBits& p) const {
  return mix64(p.x ^ mix64(p.y ^ mix64(p.z)));
}

RecallingField::PointBits RecallingField::bits_of(const Vec3& p) {
  return {std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(p.y),
          std::bit_cast<std::uint64_t>(p.z)};
}

EvalResult RecallingField::evaluate(std::span<const Vec3> points) {
  const std::size_t n = points.size();
  asked_ += n;
  if (n > capacity_) return inner_.evaluate(points);

  // Per point, its recalled answer, or the index of its point in `fresh`.
  std::vector<Answer> recalled(n);
  std::vector<std::size_t> fresh_index(n, kRecalled);
  std::vector<Vec3> fresh;
  FlatHashMap<PointBits, std::size_t, PointBitsHash> in_batch;
  bool recalled_gradients = false;
  bool mixed = false;
  bool any_recalled = false;
  for (std::size_t i = 0; i < n; ++i) {
    // The table is far larger than the caches: its slots are loaded a few
    // points ahead.
    if (i + kAhead < n) answers_.prefetch(bits_of(points[i + kAhead]));
    const PointBits key = bits_of(points[i]);
    if (const Answer* answer = answers_.find(key)) {
      recalled[i] = *answer;
      mixed = mixed || (any_recalled && answer->has_gradient != recalled_gradients);
      recalled_gradients = answer->has_gradient;
      any_recalled = true;
      ++recalled_;
      continue;
    }
    const auto [index, added] = in_batch.try_emplace(key, fresh.size());
    if (added) {
      fresh.push_back(points[i]);
    } else {
      ++recalled_;
    }
    fresh_index[i] = *index;
  }

  EvalResult asked;
  if (!fresh.empty()) asked = inner_.evaluate(fresh);
  const bool gradients = fresh.empty() ? recalled_gradients : asked.gradients.has_value();
  if (mixed || (any_recalled && recalled_gradients != gradients)) {
    return inner_.evaluate(points);
  }

  EvalResult out;
  out.values.resize(n);
  if (gradients) out.gradients.emplace(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = fresh_index[i];
    if (j == kRecalled) {
      out.values[i] = recalled[i].value;
      if (gradients) (*out.gradients)[i] = recalled[i].gradient;
    } else {
      out.values[i] = checked_at(asked.values, j);
      if (gradients) (*out.gradients)[i] = checked_at(*asked.gradients, j);
    }
  }
  if (answers_.size() + fresh.size() > capacity_) answers_.clear();
  answers_.reserve(answers_.size() + fresh.size());
  for (std::size_t j = 0; j < fresh.size(); ++j) {
    if (j + kAhead < fresh.size()) answers_.prefetch(bits_of(fresh[j + kAhead]));
    Answer answer{asked.values[j], {}, gradients};
    if (gradients) answer.gradient = (*asked.gradients)[j];
    answers_.try_emplace(bits_of(fresh[j]), answer);
  }
  return out;
}

}  // namespace karvex
