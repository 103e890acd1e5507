#pragma once

// Hash map and hash set with open addressing and linear probing, for the
// core's small fixed-size keys (lattice points, cell addresses, offsets in a
// region).
//
// Keys and values sit together in one array of slots, so a lookup that hits
// reads one cache line; the capacity is a power of two and at most half of it
// is used, so probe runs stay short. The hash functors must spread their
// output over the low bits (the table masks the hash, it does not take a
// modulus); the core's hashes end in a 64-bit finaliser for that reason.
//
// What the core needs and nothing more: insert-if-absent, lookup, a visit of
// every entry and a bulk erase by predicate (which rebuilds the table; it
// runs only on failure paths). Which slot a key lands in depends on the hash
// and the insertion history; no caller lets that order decide a result, and
// for_each is only used where the order of the visit cannot matter.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace karvex {

// 64-bit finaliser (splitmix64): good low bits for power-of-two tables.
inline std::uint64_t mix64(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return h;
}

template <class Key, class Value, class Hash>
class FlatHashMap {
 public:
  FlatHashMap() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The value stored for `key`, or null. The pointer is valid until the next
  // insertion.
  const Value* find(const Key& key) const {
    if (size_ == 0) return nullptr;
    for (std::size_t i = Hash{}(key)&mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.full) return nullptr;
      if (slot.key == key) return &slot.value;
    }
  }
  bool contains(const Key& key) const { return find(key) != nullptr; }

  // Starts loading the slot where a lookup of `key` begins, so that a loop
  // over many keys can overlap their cache misses. Changes nothing.
  void prefetch(const Key& key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Hash{}(key)&mask_]);
  }

  // Stores `value` for `key` unless the key is present. Returns the stored
  // value (the old one or `value`) and whether it was added. The pointer is
  // valid until the next insertion.
  std::pair<Value*, bool> try_emplace(const Key& key, const Value& value) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    std::size_t i = Hash{}(key)&mask_;
    for (;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.full) break;
      if (slot.key == key) return {&slot.value, false};
    }
    Slot& slot = slots_[i];
    slot.key = key;
    slot.value = value;
    slot.full = true;
    ++size_;
    return {&slot.value, true};
  }

  // Makes room for `count` entries in all, so that inserting up to that
  // many moves no slot.
  void reserve(std::size_t count) {
    std::size_t capacity = slots_.empty() ? kMinCapacity : slots_.size();
    while (2 * count > capacity) capacity *= 2;
    if (capacity != slots_.size()) rebuild(capacity);
  }

  // Calls fn(key, value) for every entry, in slot order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    if (size_ == 0) return;
    for (const Slot& slot : slots_) {
      if (slot.full) fn(slot.key, slot.value);
    }
  }

  // Removes every entry for which pred(key, value) holds.
  template <class Pred>
  void erase_if(Pred&& pred) {
    std::vector<Slot> old;
    old.swap(slots_);
    size_ = 0;
    mask_ = 0;
    for (const Slot& slot : old) {
      if (slot.full && !pred(slot.key, slot.value)) try_emplace(slot.key, slot.value);
    }
  }

  // Removes every entry and gives the memory back.
  void clear() {
    std::vector<Slot>().swap(slots_);
    size_ = 0;
    mask_ = 0;
  }

 private:
  struct Slot {
    Key key{};
    [[no_unique_address]] Value value{};
    bool full = false;
  };

  static constexpr std::size_t kMinCapacity = 16;

  // Doubles the capacity (or allocates the first slots).
  void grow() { rebuild(slots_.empty() ? kMinCapacity : 2 * slots_.size()); }

  // Moves every entry, in slot order, into `capacity` slots (a power of two).
  void rebuild(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& from : old) {
      if (!from.full) continue;
      std::size_t i = Hash{}(from.key) & mask_;
      while (slots_[i].full) i = (i + 1) & mask_;
      slots_[i] = from;
    }
  }

  std::vector<Slot> slots_;  // empty, or a power of two of them
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
};

template <class Key, class Hash>
class FlatHashSet {
 public:
  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  bool contains(const Key& key) const { return map_.contains(key); }
  // Adds `key`; false when it was present already.
  bool insert(const Key& key) { return map_.try_emplace(key, Nothing{}).second; }
  // Makes room for `count` keys in all.
  void reserve(std::size_t count) { map_.reserve(count); }
  void clear() { map_.clear(); }

 private:
  struct Nothing {};
  FlatHashMap<Key, Nothing, Hash> map_;
};

}  // namespace karvex
