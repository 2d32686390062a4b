#pragma once

// The transformer encoder that models build from their bundle's
// "transformer" assets: one vector per word.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/subword.hpp"

namespace lorvane::detail {

// Safe to share across threads: all operations are const.
class NativeTransformer {
 public:
  // Builds the encoder from the bundle's compiled package artefact that the
  // assets (the value at assets.transformer) name. Errors: TransformerError,
  // the tokenizers' own errors, or detail::JsonError for a missing or
  // mistyped asset. A null bundle throws std::invalid_argument.
  NativeTransformer(std::shared_ptr<const ModelBundle> bundle, const JsonValue& assets);
  ~NativeTransformer();
  NativeTransformer(const NativeTransformer&) = delete;
  NativeTransformer& operator=(const NativeTransformer&) = delete;

  // The configured width of every returned row.
  std::int64_t hidden_size() const noexcept;

  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;

  // float32 [words, hidden_size], one row per word; with keep_endpoints
  // [words + 2, hidden_size], the leading endpoint row first and the trailing
  // one last. A package whose width is not hidden_size throws
  // TransformerError on the first non-empty result.
  at::Tensor encode(const std::vector<std::string>& words, bool keep_endpoints) const;

  // float32 [ids, hidden_size] from one run of the package over exactly
  // these identifiers (no windows); checked as encode.
  at::Tensor encode_ids(const std::vector<std::int64_t>& input_ids,
                        const std::vector<std::int64_t>& attention_mask) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Standard base64 with "=" padding, each group of four decoded on its own.
// Throws TransformerError "invalid base64 tokenizer charsmap length" or
// "invalid base64 tokenizer charsmap".
std::vector<std::uint8_t> decode_base64_charsmap(std::string_view text);

}  // namespace lorvane::detail
