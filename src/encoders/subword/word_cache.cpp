#include "encoders/subword/word_cache.hpp"

#include <cerrno>
#include <functional>
#include <system_error>

namespace lorvane::detail {
namespace {

void check_lock_result(int result, const char* what) {
  if (result != 0) throw std::system_error(result, std::generic_category(), what);
}

// Holds the lock shared (Exclusive = false) or exclusive for one scope.
template <bool Exclusive>
class RwLockGuard {
 public:
  explicit RwLockGuard(pthread_rwlock_t& lock) : lock_(lock) {
    check_lock_result(Exclusive ? pthread_rwlock_wrlock(&lock_) : pthread_rwlock_rdlock(&lock_),
                      "word cache lock");
  }
  ~RwLockGuard() { pthread_rwlock_unlock(&lock_); }
  RwLockGuard(const RwLockGuard&) = delete;
  RwLockGuard& operator=(const RwLockGuard&) = delete;

 private:
  pthread_rwlock_t& lock_;
};

static_assert((WordCache::kSlotCount & (WordCache::kSlotCount - 1)) == 0,
              "the slot mask needs a power-of-two slot count");

}  // namespace

WordCache::WordCache() : slots_(kSlotCount) {}

WordCache::~WordCache() { pthread_rwlock_destroy(&lock_); }

std::size_t WordCache::slot_of(std::string_view word) noexcept {
  return std::hash<std::string_view>{}(word) & (kSlotCount - 1);
}

std::optional<std::vector<std::int64_t>> WordCache::find(std::size_t slot,
                                                         std::string_view word) const {
  RwLockGuard<false> guard(lock_);
  const CacheSlot& entry = slots_[slot];
  if (entry.occupied && entry.word == word) return entry.ids;
  return std::nullopt;
}

void WordCache::store(std::size_t slot, std::string_view word,
                      const std::vector<std::int64_t>& ids) const {
  // Copied before locking and swapped in, so that the lock is held briefly,
  // a failed copy leaves the slot as it was, and the replaced word and ids
  // are freed (with these locals) after the lock is released.
  std::string new_word(word);
  std::vector<std::int64_t> new_ids(ids);
  RwLockGuard<true> guard(lock_);
  CacheSlot& entry = slots_[slot];
  entry.word.swap(new_word);
  entry.ids.swap(new_ids);
  if (!entry.occupied) {
    entry.occupied = true;
    ++occupied_;
  }
}

std::uint64_t WordCache::size() const {
  RwLockGuard<false> guard(lock_);
  return occupied_;
}

}  // namespace lorvane::detail
