#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of a "tokenize" bundle: a two-level character LSTM that
// labels every unit of a paragraph as a token, sentence and multi-word-token
// end, and builds a new document from the labels.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT TokenizerPlan {
 public:
  TokenizerPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  TokenizerPlan(TokenizerPlan&& other) noexcept;
  TokenizerPlan& operator=(TokenizerPlan&& other) noexcept;
  TokenizerPlan(const TokenizerPlan&) = delete;
  TokenizerPlan& operator=(const TokenizerPlan&) = delete;
  ~TokenizerPlan();

  const ModelBundle& bundle() const;

  // A new document over the text of the given one.
  Document process(const Document& document) const;
  // Batched inference across documents; output i is built from input i.
  std::vector<Document> process_bulk(const std::vector<Document>& documents) const;
  // Per-unit labels (0..4) of a text that forms exactly one paragraph.
  std::vector<std::int64_t> predict_labels(const std::string& text) const;

  struct Impl;
  const Impl& impl() const { return *impl_; }  // for the library's own tests and tools

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
