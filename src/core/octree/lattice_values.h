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

  LatticeValues() = default;
  // `read(context, key)` gives the value at `key`; `context` lives as long
  // as any copy of this.
  LatticeValues(ReadFn read, std::shared_ptr<const void> context)
      : read_(read), raw_(context.get()), context_(std::move(context)) {}

  // The value at lattice point `key`. Safe from several workers at once
  // when the read function is.
  double operator()(const CornerKey& key) const { return read_(raw_, key); }

  explicit operator bool() const { return read_ != nullptr; }

 private:
  ReadFn read_ = nullptr;
  const void* raw_ = nullptr;
  std::shared_ptr<const void> context_;
};

}  // namespace karvex
