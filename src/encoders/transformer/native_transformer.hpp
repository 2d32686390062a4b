#pragma once

// The transformer encoder that models build from their bundle's
// "transformer" assets: one vector per word.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"

namespace lorvane::detail {

// Safe to share across threads: all operations are const.
class NativeTransformer {
 public:
  // Builds the encoder from the bundle's compiled package artefact that the
  // assets name. Errors: TransformerError, or detail::JsonError for a missing
  // or mistyped asset.
  NativeTransformer(std::shared_ptr<const ModelBundle> bundle, const JsonValue& assets);
  ~NativeTransformer();
  NativeTransformer(const NativeTransformer&) = delete;
  NativeTransformer& operator=(const NativeTransformer&) = delete;

  // The configured width of every returned row.
  std::int64_t hidden_size() const noexcept;

  // [words, hidden_size], one row per word; with keep_endpoints
  // [words + 2, hidden_size], the leading endpoint row first and the trailing
  // one last.
  at::Tensor encode(const std::vector<std::string>& words, bool keep_endpoints) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane::detail
