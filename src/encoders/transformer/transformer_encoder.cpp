#include <ATen/Parallel.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/index_select.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/version.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "encoders/transformer/encoder_impl.hpp"

namespace lorvane {
namespace {

// The message of a libtorch failure without its backtrace. Failures inside a
// package reach us as plain runtime errors that carry libtorch's backtrace
// text, which is cut off as well.
std::string cause_of(const std::exception& error) {
  if (const auto* torch_error = dynamic_cast<const c10::Error*>(&error)) {
    return torch_error->what_without_backtrace();
  }
  std::string text = error.what();
  if (const std::size_t at = text.find("\nException raised from "); at != std::string::npos) {
    text.resize(at);
  }
  return text;
}

bool names_file_or_directory(const std::filesystem::path& path) {
  std::error_code ignored;
  const auto status = std::filesystem::status(path, ignored);
  return std::filesystem::is_regular_file(status) || std::filesystem::is_directory(status);
}

// An int64 [1, n] tensor over the vector's elements, without a copy. The
// package only reads its inputs.
at::Tensor row_view(const std::vector<std::int64_t>& values) {
  return at::from_blob(const_cast<std::int64_t*>(values.data()),
                       {1, static_cast<std::int64_t>(values.size())}, at::kLong);
}

// The encoding with every word that produced no subword given the unknown
// id, at the place its subwords would have been, so that every word index
// below `words` owns at least one position.
WordPieceEncoding with_every_word(WordPieceEncoding encoding, std::int64_t words, std::int64_t unknown_id) {
  WordPieceEncoding filled;
  const std::size_t n = encoding.input_ids.size();
  filled.input_ids.reserve(n + static_cast<std::size_t>(words));
  filled.word_ids.reserve(n + static_cast<std::size_t>(words));
  std::int64_t next_word = 0;  // the lowest word index without a position yet
  const auto fill_until = [&](std::int64_t end) {
    for (; next_word < end; ++next_word) {
      filled.input_ids.push_back(unknown_id);
      filled.word_ids.push_back(next_word);
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t word = encoding.word_ids[i];
    if (word >= 0 && word < words) {
      fill_until(word);
      next_word = std::max(next_word, word + 1);
    } else if (i > 0) {
      fill_until(words);  // a trailing special token follows the last word
    }
    filled.input_ids.push_back(encoding.input_ids[i]);
    filled.word_ids.push_back(word);
  }
  fill_until(words);
  filled.attention_mask.assign(filled.input_ids.size(), 1);
  return filled;
}

std::vector<std::vector<float>> rows_of(const at::Tensor& tensor) {
  std::vector<std::vector<float>> rows;
  if (tensor.size(0) == 0) return rows;
  const at::Tensor values = tensor.contiguous();
  const auto width = static_cast<std::size_t>(values.size(1));
  const float* data = values.data_ptr<float>();
  rows.reserve(static_cast<std::size_t>(values.size(0)));
  for (std::int64_t r = 0; r < values.size(0); ++r, data += width) rows.emplace_back(data, data + width);
  return rows;
}

const TransformerEncoder::Impl& loaded(const std::unique_ptr<TransformerEncoder::Impl>& impl) {
  if (!impl) throw std::logic_error("the transformer encoder has been moved from");
  return *impl;
}

}  // namespace

TransformerEncoder::Impl::Impl(std::filesystem::path model_path_in, detail::SubwordTokenizer tokenizer_in,
                               std::uint64_t intra_op_threads, std::uint64_t model_max_length_in)
    : model_path(std::move(model_path_in)),
      tokenizer(std::move(tokenizer_in)),
      model_max_length(model_max_length_in) {
  if (!names_file_or_directory(model_path)) {
    throw TransformerError("AOTInductor transformer model does not exist: " + model_path.string());
  }
  if (model_max_length <= 4) throw TransformerError("transformer model_max_length must be at least 5");
  if (intra_op_threads != 0 && intra_op_threads != static_cast<std::uint64_t>(at::get_num_threads())) {
    throw TransformerError(
        "intra_op_threads cannot change the process-wide ATen thread pool during TransformerEncoder "
        "construction; call torch.set_num_threads() before constructing Lorvane models");
  }
  try {
    loader = std::make_unique<torch::inductor::AOTIModelPackageLoader>(model_path.string(), "model",
                                                                       false, 1, -1);
  } catch (const std::exception& error) {
    throw TransformerError("could not load AOTInductor transformer '" + model_path.string() +
                           "': " + cause_of(error));
  }
}

TransformerEncoder::Impl::~Impl() = default;

WordPieceEncoding TransformerEncoder::Impl::tokenize(const std::vector<std::string>& words,
                                                     bool add_special_tokens) const {
  return std::visit([&](const auto& held) { return held.encode(words, add_special_tokens); }, tokenizer);
}

std::int64_t TransformerEncoder::Impl::unknown_id() const {
  return std::visit([](const auto& held) { return held.unknown_id(); }, tokenizer);
}

at::Tensor TransformerEncoder::Impl::run_tensor(const std::vector<std::int64_t>& input_ids,
                                                const std::vector<std::int64_t>& attention_mask) const {
  const auto n = static_cast<std::int64_t>(input_ids.size());
  std::vector<std::int64_t> mask = attention_mask;
  if (mask.empty()) {
    mask.assign(input_ids.size(), 1);
  } else if (mask.size() != input_ids.size()) {
    throw TransformerError("transformer attention mask length does not match input ids");
  }
  c10::InferenceMode guard;
  std::vector<at::Tensor> outputs;
  try {
    const std::vector<at::Tensor> inputs = {row_view(input_ids), row_view(mask)};
    const std::lock_guard<std::mutex> lock(run_mutex);
    outputs = loader->run(inputs);
  } catch (const std::exception& error) {
    throw TransformerError("AOTInductor transformer inference failed: " + cause_of(error));
  }
  if (seam.package_outputs) seam.package_outputs(outputs);
  if (outputs.size() != 1) throw TransformerError("AOTInductor transformer must return exactly one tensor");
  const at::Tensor& output = outputs.front();
  if (output.scalar_type() != at::kFloat) throw TransformerError("AOTInductor transformer output must be float32");
  if (output.dim() != 3 || output.size(0) != 1 || output.size(1) != n || output.size(2) <= 0) {
    throw TransformerError("AOTInductor transformer output must have shape [1, subwords, hidden]");
  }
  return output.select(0, 0).contiguous();
}

at::Tensor TransformerEncoder::Impl::encode_tensor(const std::vector<std::string>& words,
                                                   bool keep_endpoints) const {
  const auto word_count = static_cast<std::int64_t>(words.size());
  const WordPieceEncoding encoding = with_every_word(tokenize(words, true), word_count, unknown_id());
  const std::vector<std::int64_t>& ids = encoding.input_ids;
  const auto n = static_cast<std::int64_t>(ids.size());
  if (n == 0) return at::empty({0, 0}, at::kFloat);

  c10::InferenceMode guard;
  const auto length = static_cast<std::int64_t>(std::min<std::uint64_t>(model_max_length, INT64_MAX));
  at::Tensor states;
  if (n <= length) {
    states = run_tensor(ids, {});
  } else {
    // Overlapping windows; each position keeps its state from the earliest
    // window that holds it, so every later window contributes its rows after
    // `overlap` positions of left context.
    const std::int64_t step = std::max(std::max<std::int64_t>(length, 20) - 20, length / 2);
    if (step <= 4) throw TransformerError("transformer model_max_length is too small for overlapping slices");
    const std::int64_t overlap = length - step;
    std::int64_t start = 0;
    std::int64_t end = length;
    std::int64_t written = 0;
    for (std::size_t window = 0;; ++window) {
      at::Tensor rows = run_tensor(std::vector<std::int64_t>(ids.begin() + start, ids.begin() + end), {});
      if (seam.window_rows) seam.window_rows(window, rows);
      if (!states.defined()) {
        states = at::empty({n, rows.size(1)}, rows.options());
      } else if (rows.size(1) != states.size(1)) {
        throw TransformerError("AOTInductor transformer hidden size changed across slices");
      }
      const std::int64_t skip = start == 0 ? 0 : overlap;
      if (rows.size(0) < skip) throw TransformerError("AOTInductor transformer overlap exceeds final slice");
      const std::int64_t fresh = rows.size(0) - skip;
      if (fresh > n - written) {
        throw TransformerError("AOTInductor transformer slices did not reconstruct the subword sequence");
      }
      states.narrow(0, written, fresh).copy_(rows.narrow(0, skip, fresh));
      written += fresh;
      if (end == n) break;
      start += step;
      end = std::min(start + length, n);
    }
    if (written != n) {
      throw TransformerError("AOTInductor transformer slices did not reconstruct the subword sequence");
    }
  }

  // Each word is represented by its last subword.
  std::vector<std::int64_t> last_position(words.size(), -1);
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t word = encoding.word_ids[static_cast<std::size_t>(i)];
    if (word >= 0 && word < word_count) last_position[static_cast<std::size_t>(word)] = i;
  }
  std::vector<std::int64_t> selected;
  selected.reserve(words.size() + 2);
  if (keep_endpoints) selected.push_back(0);
  selected.insert(selected.end(), last_position.begin(), last_position.end());
  if (keep_endpoints) selected.push_back(n - 1);
  if (selected.empty()) return at::empty({0, states.size(1)}, states.options());
  const at::Tensor index =
      at::from_blob(selected.data(), {static_cast<std::int64_t>(selected.size())}, at::kLong);
  return at::index_select(states, 0, index).contiguous();
}

namespace {

template <class Tokenizer>
std::unique_ptr<TransformerEncoder::Impl> make_impl(std::filesystem::path model_path, Tokenizer tokenizer,
                                                    std::uint64_t intra_op_threads,
                                                    std::uint64_t model_max_length) {
  return std::make_unique<TransformerEncoder::Impl>(std::move(model_path),
                                                    detail::SubwordTokenizer(std::move(tokenizer)),
                                                    intra_op_threads, model_max_length);
}

}  // namespace

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                                       bool lowercase, bool strip_accents, std::uint64_t intra_op_threads,
                                       std::uint64_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::uint64_t max_input_characters_per_word)
    : impl_(make_impl(std::move(model_path),
                      WordPieceTokenizer(std::move(vocabulary), lowercase, strip_accents,
                                         std::move(unknown_token), std::move(cls_token), std::move(sep_token),
                                         std::move(continuing_subword_prefix), max_input_characters_per_word),
                      intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                                       std::vector<std::pair<std::string, std::string>> merges,
                                       bool add_prefix_space, std::uint64_t intra_op_threads,
                                       std::uint64_t model_max_length, std::string unknown_token,
                                       std::string cls_token, std::string sep_token)
    : impl_(make_impl(std::move(model_path),
                      ByteBPETokenizer(std::move(vocabulary), std::move(merges), std::move(unknown_token),
                                       std::move(cls_token), std::move(sep_token), add_prefix_space),
                      intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                                       std::vector<float> scores, std::vector<std::uint8_t> precompiled_charsmap,
                                       std::int64_t unknown_id, std::uint64_t intra_op_threads,
                                       std::uint64_t model_max_length, std::string cls_token,
                                       std::string sep_token)
    : impl_(make_impl(std::move(model_path),
                      XLMRobertaTokenizer(std::move(vocabulary), std::move(scores),
                                          std::move(precompiled_charsmap), unknown_id, std::move(cls_token),
                                          std::move(sep_token)),
                      intra_op_threads, model_max_length)) {}

TransformerEncoder::TransformerEncoder(TransformerEncoder&& other) noexcept = default;
TransformerEncoder& TransformerEncoder::operator=(TransformerEncoder&& other) noexcept = default;
TransformerEncoder::~TransformerEncoder() = default;

WordPieceEncoding TransformerEncoder::tokenize(const std::vector<std::string>& words,
                                               bool add_special_tokens) const {
  return loaded(impl_).tokenize(words, add_special_tokens);
}

std::vector<std::vector<float>> TransformerEncoder::encode(const std::vector<std::string>& words,
                                                           bool keep_endpoints) const {
  return rows_of(loaded(impl_).encode_tensor(words, keep_endpoints));
}

std::vector<std::vector<float>> TransformerEncoder::encode_ids(
    const std::vector<std::int64_t>& input_ids, const std::vector<std::int64_t>& attention_mask) const {
  const Impl& impl = loaded(impl_);
  if (input_ids.empty()) return {};
  return rows_of(impl.run_tensor(input_ids, attention_mask));
}

const std::filesystem::path& TransformerEncoder::model_path() const { return loaded(impl_).model_path; }

std::string TransformerEncoder::runtime_version() {
  return std::to_string(TORCH_VERSION_MAJOR) + "." + std::to_string(TORCH_VERSION_MINOR) + "." +
         std::to_string(TORCH_VERSION_PATCH);
}

const TransformerEncoder::Impl& TransformerEncoder::impl() const { return loaded(impl_); }

}  // namespace lorvane

namespace lorvane::detail {

at::Tensor encode_words_tensor(const TransformerEncoder& encoder, const std::vector<std::string>& words,
                               bool keep_endpoints) {
  return encoder.impl().encode_tensor(words, keep_endpoints);
}

void set_run_seam(TransformerEncoder& encoder, TransformerRunSeam seam) {
  // The implementation is a heap object owned by a non-const encoder.
  const_cast<TransformerEncoder::Impl&>(encoder.impl()).seam = std::move(seam);
}

at::Tensor encode_ids_tensor(const TransformerEncoder& encoder, const std::vector<std::int64_t>& input_ids,
                             const std::vector<std::int64_t>& attention_mask) {
  const TransformerEncoder::Impl& impl = encoder.impl();
  if (input_ids.empty()) return at::empty({0, 0}, at::kFloat);
  return impl.run_tensor(input_ids, attention_mask);
}

}  // namespace lorvane::detail
