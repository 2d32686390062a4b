#pragma once

// The word cache shared in design by the three subword tokenizers: a fixed,
// direct-mapped table from a word (exactly as passed in) to its identifiers,
// behind one reader-writer lock. It only ever saves work: a word's identifiers
// are the same whether they come from the cache or are computed afresh.

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvane::detail {

struct CacheSlot {
  std::string word;
  std::vector<std::int64_t> ids;
  bool occupied = false;
};

// Safe to share across threads: look-ups take the lock shared, insertions
// exclusive, and the identifiers of a miss are computed outside the lock.
// A lock failure throws std::system_error.
class WordCache {
 public:
  static constexpr std::size_t kSlotCount = 8192;
  // Longer words are computed every time and never stored: a slot keeps its
  // word for the tokenizer's lifetime, so storing megabyte-long words could
  // pin up to kSlotCount times that much memory.
  static constexpr std::size_t kMaxCachedWordBytes = 1024;

  WordCache();
  ~WordCache();
  WordCache(const WordCache&) = delete;
  WordCache& operator=(const WordCache&) = delete;

  // The slot a word maps to (libstdc++'s string hash, masked to the slot count).
  static std::size_t slot_of(std::string_view word) noexcept;

  // The cached identifiers of word, or compute(word) stored in its slot (a
  // different word there is replaced). An exception from compute leaves the
  // cache unchanged and holds no lock.
  template <class Compute>
  std::vector<std::int64_t> ids_of(std::string_view word, Compute&& compute) const {
    if (word.size() > kMaxCachedWordBytes) return compute(word);
    const std::size_t slot = slot_of(word);
    if (std::optional<std::vector<std::int64_t>> hit = find(slot, word)) return std::move(*hit);
    std::vector<std::int64_t> ids = compute(word);
    store(slot, word, ids);
    return ids;
  }

  // Occupied slots, read under the shared lock.
  std::uint64_t size() const;

 private:
  std::optional<std::vector<std::int64_t>> find(std::size_t slot, std::string_view word) const;
  void store(std::size_t slot, std::string_view word, const std::vector<std::int64_t>& ids) const;

  mutable pthread_rwlock_t lock_ = PTHREAD_RWLOCK_INITIALIZER;
  mutable std::vector<CacheSlot> slots_;
  mutable std::uint64_t occupied_ = 0;
};

}  // namespace lorvane::detail
