#pragma once

// Building a document storage one sentence record at a time, so that a
// producer of many sentences (the tokenizer on a long text) never holds the
// records of the whole document.

#include <cstddef>
#include <vector>

#include "lorvane/document.hpp"

namespace lorvane::detail {

// Fills an empty storage with the rules, checks and messages of
// DocumentStorage::build, which is this builder run over a whole list: add
// every sentence in order, then finish. A failed step, or a builder
// destroyed before finish, leaves the storage without rows.
// Not thread-safe: owns the storage while it builds.
class StorageBuilder {
 public:
  // Throws std::logic_error "a document storage can be built only once" for
  // a storage that has rows.
  explicit StorageBuilder(DocumentStorage& storage);
  ~StorageBuilder();
  StorageBuilder(const StorageBuilder&) = delete;
  StorageBuilder& operator=(const StorageBuilder&) = delete;

  // Optional: room for the rows of these records.
  void reserve(const std::vector<SentenceInput>& sentences);
  void add(const SentenceInput& sentence);
  // Empty words (kept from add until now), whitespace and entity spans.
  void finish();

 private:
  enum class State { kBuilding, kFinished, kFailed };
  template <class Step>
  void guarded(Step&& step);

  DocumentStorage& storage_;
  std::size_t sentences_ = 0;
  std::vector<std::vector<WordInput>> empty_words_;
  State state_ = State::kBuilding;
};

}  // namespace lorvane::detail
