#pragma once

// The transformer encoder: one vector per word of a sentence, from an
// ahead-of-time compiled model package run over the sentence's subword
// identifiers. Sentences longer than the package's maximum length are run in
// overlapping windows and stitched back together.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"
#include "lorvane/subword.hpp"

namespace lorvane {

// Owns one subword tokenizer (chosen by the constructor) and the loaded
// package. The package takes identifiers and an attention mask, both int64
// [1, n], and returns one float32 tensor [1, n, hidden].
// Safe to share across threads: all operations are const; runs of the
// package are serialised inside the encoder. A moved-from encoder throws
// std::logic_error.
class LORVANE_EXPORT TransformerEncoder {
 public:
  // Each constructor builds its tokenizer first (its own error type), then
  // checks, in order: the package path names a file or directory,
  // model_max_length is at least 5, intra_op_threads is 0 or the current
  // process-wide intra-op thread count (the encoder never changes it), and
  // the package loads. Those failures throw TransformerError.
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     bool lowercase, bool strip_accents, std::uint64_t intra_op_threads,
                     std::uint64_t model_max_length, std::string unknown_token,
                     std::string cls_token, std::string sep_token,
                     std::string continuing_subword_prefix,
                     std::uint64_t max_input_characters_per_word);
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     std::vector<std::pair<std::string, std::string>> merges, bool add_prefix_space,
                     std::uint64_t intra_op_threads, std::uint64_t model_max_length,
                     std::string unknown_token, std::string cls_token, std::string sep_token);
  TransformerEncoder(std::filesystem::path model_path, std::vector<std::string> vocabulary,
                     std::vector<float> scores, std::vector<std::uint8_t> precompiled_charsmap,
                     std::int64_t unknown_id, std::uint64_t intra_op_threads,
                     std::uint64_t model_max_length, std::string cls_token, std::string sep_token);
  TransformerEncoder(TransformerEncoder&& other) noexcept;
  TransformerEncoder& operator=(TransformerEncoder&& other) noexcept;
  TransformerEncoder(const TransformerEncoder&) = delete;
  TransformerEncoder& operator=(const TransformerEncoder&) = delete;
  ~TransformerEncoder();

  // The held tokenizer's encoding of the words.
  WordPieceEncoding tokenize(const std::vector<std::string>& words, bool add_special_tokens) const;

  // One row per word: the state of the word's last subword. With
  // keep_endpoints the rows of the leading and trailing special tokens come
  // first and last. A word that yields no subword (a zero-width space the
  // character map deletes, an empty word) is run as the unknown token, so
  // every word gets a row. Empty words list: 0 rows, or 2 with endpoints.
  std::vector<std::vector<float>> encode(const std::vector<std::string>& words,
                                         bool keep_endpoints) const;

  // One row per identifier from a single run of the package (no windows:
  // the caller keeps the sequence within what the package accepts). An empty
  // mask means all ones; another mask length throws TransformerError. Empty
  // identifiers give no rows without running the package.
  std::vector<std::vector<float>> encode_ids(const std::vector<std::int64_t>& input_ids,
                                             const std::vector<std::int64_t>& attention_mask) const;

  // The package path exactly as given to the constructor.
  const std::filesystem::path& model_path() const;
  // The version of the libtorch runtime that runs the packages ("2.13.0").
  static std::string runtime_version();

  struct Impl;
  const Impl& impl() const;  // for the library's own code and tests

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
