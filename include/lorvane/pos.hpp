#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The tags of one word. "_" in `xpos` or `feats` means no value; `feats` lists
// the features as "Name=Value" joined by "|", in ascending byte order of the
// names.
struct POSTag {
  std::string upos;
  std::string xpos;
  std::string feats;
};

// The loaded form of a "pos" bundle: universal and language-specific tags and
// morphological features of words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT POSPlan {
 public:
  // Throws POSModelError "expected a POS bundle, got '<processor>'" for a
  // bundle of another processor, and POSModelError for a model it cannot run
  // (JSON errors of the assets included, with the parser's message); errors of
  // the bundle itself, the character language models and the transformer keep
  // their own types.
  POSPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  POSPlan(POSPlan&& other) noexcept;
  POSPlan& operator=(POSPlan&& other) noexcept;
  POSPlan(const POSPlan&) = delete;
  POSPlan& operator=(const POSPlan&) = delete;
  ~POSPlan();

  const ModelBundle& bundle() const;

  // One tag per word form, in order.
  std::vector<POSTag> tag(const std::vector<std::string>& words) const;
  // Sets UPOS, XPOS and features on every word of every sentence, one
  // sentence after the other: when sentence i fails, sentences before it stay
  // tagged. A predicted "_" clears the field.
  Document process(Document document) const;
  // The same for all sentences of all documents at once, in batches. Nothing
  // is written unless every sentence was tagged.
  std::vector<Document> process_bulk(std::vector<Document> documents) const;

  struct Impl;
  const Impl& impl() const;  // for the library's own tests and tools

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
