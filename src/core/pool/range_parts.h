#pragma once

// The lists that the ranges of one parallel loop produce, joined in range
// order, so that the result does not depend on which thread ran which range
// or in what order they finished.
//
// No lock: each finished range links its list in with one atomic exchange.
// A task that took a lock here could be forked away holding it (a progress
// report between ranges may call os.fork()), and the calling thread, which
// goes on claiming ranges in the child, would then wait for it forever. A
// range whose thread vanished before linking its list is simply missing,
// and the pool refuses that loop in the child anyway.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace karvex {

template <class T>
class RangeParts {
 public:
  RangeParts() = default;
  RangeParts(const RangeParts&) = delete;
  RangeParts& operator=(const RangeParts&) = delete;
  ~RangeParts() {
    Node* node = head_.load(std::memory_order_acquire);
    while (node != nullptr) delete std::exchange(node, node->next);
  }

  // Adds the list of the range at `index` (LoopRange::index()); safe to call
  // from several threads at once. May throw std::bad_alloc (nothing is then
  // added).
  void add(std::size_t index, std::vector<T>&& items) {
    auto node = std::make_unique<Node>(index, std::move(items));
    Node* expected = head_.load(std::memory_order_relaxed);
    do {
      node->next = expected;
    } while (!head_.compare_exchange_weak(expected, node.get(), std::memory_order_release,
                                          std::memory_order_relaxed));
    static_cast<void>(node.release());
  }

  // The lists concatenated in range order. Call once, after the loop.
  std::vector<T> join() {
    std::vector<Node*> parts;
    for (Node* node = head_.load(std::memory_order_acquire); node != nullptr; node = node->next) {
      parts.push_back(node);
    }
    if (parts.size() == 1) return std::move(parts.front()->items);
    std::sort(parts.begin(), parts.end(),
              [](const Node* a, const Node* b) { return a->index < b->index; });
    std::size_t total = 0;
    for (const Node* part : parts) total += part->items.size();
    std::vector<T> joined;
    joined.reserve(total);
    for (Node* part : parts) {
      joined.insert(joined.end(), std::make_move_iterator(part->items.begin()),
                    std::make_move_iterator(part->items.end()));
      // Freed as it is copied: the joined list and all the parts are not
      // held at once.
      part->items = std::vector<T>();
    }
    return joined;
  }

 private:
  struct Node {
    Node(std::size_t index_, std::vector<T>&& items_) : index(index_), items(std::move(items_)) {}
    std::size_t index;
    std::vector<T> items;
    Node* next = nullptr;
  };

  std::atomic<Node*> head_{nullptr};
};

}  // namespace karvex
