#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lorvane/export.hpp"

namespace lorvane {

// Marks a missing row reference, an absent string cell and an absent
// character offset; as a word row it names the synthetic ROOT word.
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// Strictly validated UTF-8 text with the byte offset of every code point.
// All character offsets of the library count code points of such a text.
// Not thread-safe for writing; immutable after construction.
class LORVANE_EXPORT Utf8Text {
 public:
  // Throws std::invalid_argument "invalid UTF-8 sequence at byte offset N".
  explicit Utf8Text(std::string text);

  const std::string& bytes() const noexcept { return bytes_; }
  // A moved-from text has no offsets at all and reads as the empty text.
  std::uint64_t codepoint_count() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  // index may equal codepoint_count(), which yields the byte length.
  std::uint64_t byte_offset(std::uint64_t index) const;
  // Bytes of code points [begin, end).
  std::string slice(std::uint64_t begin, std::uint64_t end) const;

 private:
  std::string bytes_;
  std::vector<std::uint64_t> offsets_;  // one entry per code point plus the byte length
};

// Interned strings of one document. Identifier 0 is the empty string;
// kNoIndex is never assigned and marks an absent value. Only grows.
// Not thread-safe: changed through its document's setters only.
class LORVANE_EXPORT StringPool {
 public:
  StringPool();

  std::uint32_t intern(std::string_view text);
  std::uint32_t intern_optional(const std::optional<std::string>& text);
  const std::string& get(std::uint32_t id) const;
  std::optional<std::string> optional(std::uint32_t id) const;
  std::size_t size() const noexcept { return strings_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::vector<std::string> strings_;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> ids_;
};

LORVANE_EXPORT std::vector<std::uint32_t> intern_all(StringPool& pool, const std::vector<std::string>& texts);
// "_" for an absent value or the empty string, else a copy of the string.
LORVANE_EXPORT std::string text_or_underscore(const StringPool& pool, std::uint32_t id);

}  // namespace lorvane
