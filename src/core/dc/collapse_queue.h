#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dc/collapse_candidate.h"
#include "dc/seed_radix_sort.h"

namespace karvex {

// The candidates least cost first, ties by (a, b) and then the versions: a
// total order on what is pushed, so the order of collapses depends on nothing but the mesh.
// Entries are never updated in place (lazy deletion): the caller pushes a
// new entry when an edge's cost or fan changes and skips stale ones as they
// come up; `compact` drops stale entries once they pile up.
//
// The entries given at the start (every edge, both ways) are sorted once
// and read off in order; entries popped and given back in the order they
// came (a batch's put-off candidates) are merged into a short sorted run
// of their own; other pushes go to a heap; pop takes the least of the three
// heads. Where few collapses pass nearly every entry is a seed, and where
// many do, most pops are put off a few times: a sorted run is much cheaper
// than a heap insertion and removal each. The order popped is the total
// order whichever way an entry came in.
class CollapseQueue {
 public:
  // Appends a starting entry; seal() orders them. Only before the first pop.
  void seed(CollapseCandidate c) { sorted_.push_back(finite(c)); }
  // Seeds are distinct by (a, b) as the collapse gives them, which the
  // radix sort needs; anything else takes the comparison sort.
  void seal() {
    std::vector<CollapseCandidate> scratch;
    if (!sort_seeds_least_last(sorted_, scratch)) {
      std::sort(sorted_.begin(), sorted_.end(), Later{});
    }
  }

  void push(CollapseCandidate c) {
    heap_.push_back(finite(c));
    std::push_heap(heap_.begin(), heap_.end(), Later{});
  }

  // Gives back entries popped since the last give_back, in the order they
  // were popped (so least first).
  void give_back(const std::vector<CollapseCandidate>& popped) {
    if (popped.empty()) return;
    merged_.resize(given_.size() + popped.size());
    std::merge(given_.begin(), given_.end(), popped.rbegin(), popped.rend(), merged_.begin(),
               Later{});
    given_.swap(merged_);
  }

  bool empty() const { return heap_.empty() && sorted_.empty() && given_.empty(); }
  std::size_t size() const { return heap_.size() + sorted_.size() + given_.size(); }

  // Removes and returns the least entry. Not on an empty queue.
  CollapseCandidate pop() {
    // The lesser of the two runs' last entries, then against the heap's top.
    std::vector<CollapseCandidate>* run = &sorted_;
    if (run->empty() || (!given_.empty() && Later{}(run->back(), given_.back()))) run = &given_;
    if (heap_.empty() || (!run->empty() && Later{}(heap_.front(), run->back()))) {
      const CollapseCandidate top = run->back();
      run->pop_back();
      return top;
    }
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    const CollapseCandidate top = heap_.back();
    heap_.pop_back();
    return top;
  }

  // Keeps only the entries `current` accepts when there are more than
  // `bound`; the order of what is kept is unchanged.
  template <class Current>
  void compact(std::size_t bound, Current current) {
    if (size() <= bound) return;
    const auto stale = [&](const CollapseCandidate& c) { return !current(c); };
    heap_.erase(std::remove_if(heap_.begin(), heap_.end(), stale), heap_.end());
    std::make_heap(heap_.begin(), heap_.end(), Later{});
    // remove_if keeps the order of what stays.
    sorted_.erase(std::remove_if(sorted_.begin(), sorted_.end(), stale), sorted_.end());
    given_.erase(std::remove_if(given_.begin(), given_.end(), stale), given_.end());
  }

 private:
  static CollapseCandidate finite(CollapseCandidate c) {
    if (std::isnan(c.cost)) c.cost = INFINITY;  // NaN would break the order
    return c;
  }

  // std::*_heap keep the greatest first: "greater" puts the least on top;
  // std::sort with it puts the least last, where sorted_ is read from.
  // A type, not a function pointer, so that the heap's loops inline it.
  struct Later {
    bool operator()(const CollapseCandidate& x, const CollapseCandidate& y) const {
      if (x.cost != y.cost) return x.cost > y.cost;
      if (x.a != y.a) return x.a > y.a;
      if (x.b != y.b) return x.b > y.b;
      if (x.version_a != y.version_a) return x.version_a > y.version_a;
      return x.version_b > y.version_b;
    }
  };

  std::vector<CollapseCandidate> heap_;
  std::vector<CollapseCandidate> sorted_;  // the seeds not yet popped, least last
  std::vector<CollapseCandidate> given_;   // given back, not yet popped, least last
  std::vector<CollapseCandidate> merged_;  // give_back's scratch
};

}  // namespace karvex
