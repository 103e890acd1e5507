#pragma once

// A source of field values at lattice points, for trees that keep no leaf
// records: a plain function and the context it reads from.

#include <memory>
#include <utility>

namespace karvex {

struct CornerKey;  // octree.h

// The value at one lattice point, read through a plain function pointer and
// an opaque context the function knows the type of. Extraction asks for two
// values per crossing, millions per mesh, each one direct call with no
// type-erased wrapper in between. Copies share the context. Empty (false)
// until set; calling an empty one is undefined.
class LatticeValues {
 public:
  using ReadFn = double (*)(const void* context, const CornerKey& key);
  using PrefetchFn = void (*)(const void* context, const CornerKey& key);

  LatticeValues() = default;
  // `read(context, key)` gives the value at `key`; `context` lives as long
  // as any copy of this. `prefetch(context, key)`, if given, asks the
  // memory for what reading `key` will load, and reads nothing.
  LatticeValues(ReadFn read, std::shared_ptr<const void> context, PrefetchFn prefetch = nullptr)
      : read_(read), prefetch_(prefetch), raw_(context.get()), context_(std::move(context)) {}

  // The value at lattice point `key`. Safe from several workers at once
  // when the read function is.
  double operator()(const CornerKey& key) const { return read_(raw_, key); }

  // A hint that `key` will be read soon: callers that read keys far apart
  // in memory name one a few reads ahead. Does nothing without a prefetch
  // function.
  void prefetch(const CornerKey& key) const {
    if (prefetch_ != nullptr) prefetch_(raw_, key);
  }

  explicit operator bool() const { return read_ != nullptr; }

 private:
  ReadFn read_ = nullptr;
  PrefetchFn prefetch_ = nullptr;
  const void* raw_ = nullptr;
  std::shared_ptr<const void> context_;
};

}  // namespace karvex
