#pragma once

// The loaded transformer encoder, its tensor operations and the test seam
// that reaches the output guards a well-formed package never trips.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "lorvane/subword.hpp"
#include "lorvane/transformer.hpp"

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace lorvane::detail {

// Lets a test see and replace what the package produced (set_run_seam).
struct TransformerRunSeam {
  // Each run's raw outputs, before they are checked.
  std::function<void(std::vector<at::Tensor>& outputs)> package_outputs;
  // Each window's checked rows [window length, hidden] (0-based window
  // index), before they are stitched into the sentence's rows.
  std::function<void(std::size_t window, at::Tensor& rows)> window_rows;
};

using SubwordTokenizer = std::variant<WordPieceTokenizer, ByteBPETokenizer, XLMRobertaTokenizer>;

}  // namespace lorvane::detail

namespace lorvane {

struct TransformerEncoder::Impl {
  // Checks the path, the maximum length and the thread count, then loads the
  // package. Throws TransformerError.
  Impl(std::filesystem::path model_path, detail::SubwordTokenizer tokenizer,
       std::uint64_t intra_op_threads, std::uint64_t model_max_length);
  ~Impl();

  // Members in the order they are built; destruction releases the loader
  // first, then the tokenizer, then the path.
  std::filesystem::path model_path;
  detail::SubwordTokenizer tokenizer;
  std::uint64_t model_max_length;
  std::unique_ptr<torch::inductor::AOTIModelPackageLoader> loader;
  // The package's runner returns its single model instance to the pool
  // without waking waiting callers when a run throws, so concurrent callers
  // could wait forever; runs are serialised here instead (the runner
  // serialises them anyway with one instance).
  mutable std::mutex run_mutex;
  detail::TransformerRunSeam seam;

  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;
  std::int64_t unknown_id() const;
  // One run over exactly these identifiers (not empty): [n, hidden].
  at::Tensor run_tensor(const std::vector<std::int64_t>& input_ids,
                        const std::vector<std::int64_t>& attention_mask) const;
  // One row per word (plus the endpoint rows), windowed as needed.
  at::Tensor encode_tensor(const std::vector<std::string>& words, bool keep_endpoints) const;
};

}  // namespace lorvane

namespace lorvane::detail {

// float32 [words, hidden], or [words + 2, hidden] with keep_endpoints.
at::Tensor encode_words_tensor(const TransformerEncoder& encoder, const std::vector<std::string>& words,
                               bool keep_endpoints);
// Installs the seam. Not synchronised: only before the encoder is shared.
void set_run_seam(TransformerEncoder& encoder, TransformerRunSeam seam);

// float32 [ids, hidden] from one run; empty input_ids give [0, 0].
at::Tensor encode_ids_tensor(const TransformerEncoder& encoder, const std::vector<std::int64_t>& input_ids,
                             const std::vector<std::int64_t>& attention_mask);

}  // namespace lorvane::detail
