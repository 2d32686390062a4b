#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

class Document;
class ModelBundle;

// The loaded form of an "mwt" bundle: expands tokens marked "MWT=Yes" into
// their syntactic words.
// Safe to share across threads: all operations are const.
class LORVANE_EXPORT MWTPlan {
 public:
  // Throws MWTModelError "expected an MWT bundle, got '<processor>'" for a
  // bundle of another processor, and MWTModelError for a model it cannot run.
  MWTPlan(std::filesystem::path bundle_dir, bool verify_checksums);
  MWTPlan(MWTPlan&& other) noexcept;
  MWTPlan& operator=(MWTPlan&& other) noexcept;
  MWTPlan(const MWTPlan&) = delete;
  MWTPlan& operator=(const MWTPlan&) = delete;
  ~MWTPlan();

  const ModelBundle& bundle() const;
  // Rebuilds the document's store with every marked token split into the
  // words of its expansion; returns a handle on that same store.
  Document process(const Document& document) const;
  // The token's words separated by single spaces; an unsplit token unchanged.
  std::string expand(const std::string& token) const;

  struct Impl;
  // Adopts a loaded model. For the library's own loaders and tests.
  explicit MWTPlan(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
