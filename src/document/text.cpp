#include "lorvane/text.hpp"

#include <stdexcept>

#include "document/utf8_decode.hpp"

namespace lorvane {

namespace detail {
std::string utf8_error_message(std::size_t offset) {
  return "invalid UTF-8 sequence at byte offset " + std::to_string(offset);
}
}  // namespace detail

Utf8Text::Utf8Text(std::string text) : bytes_(std::move(text)) {
  offsets_.reserve(bytes_.size() + 1);
  detail::decode_utf8_or_throw<std::invalid_argument>(
      bytes_, [this](char32_t, std::size_t pos, std::size_t) { offsets_.push_back(pos); });
  offsets_.push_back(bytes_.size());
}

std::uint64_t Utf8Text::byte_offset(std::uint64_t index) const {
  if (index > codepoint_count()) throw std::out_of_range("code point index is outside the document");
  return offsets_.empty() ? 0 : offsets_[index];
}

std::string Utf8Text::slice(std::uint64_t begin, std::uint64_t end) const {
  if (end < begin || end > codepoint_count())
    throw std::out_of_range("code point slice is outside the document");
  if (begin == end) return {};
  return bytes_.substr(offsets_[begin], offsets_[end] - offsets_[begin]);
}

StringPool::StringPool() { intern(std::string_view{}); }

std::uint32_t StringPool::intern(std::string_view text) {
  if (const auto it = ids_.find(text); it != ids_.end()) return it->second;
  if (strings_.size() >= kNoIndex) throw std::overflow_error("the document string pool is full");
  const auto id = static_cast<std::uint32_t>(strings_.size());
  strings_.emplace_back(text);
  try {
    ids_.emplace(strings_.back(), id);
  } catch (...) {
    strings_.pop_back();
    throw;
  }
  return id;
}

std::uint32_t StringPool::intern_optional(const std::optional<std::string>& text) {
  return text ? intern(*text) : kNoIndex;
}

const std::string& StringPool::get(std::uint32_t id) const {
  if (id == kNoIndex || id >= strings_.size()) throw std::out_of_range("invalid string pool identifier");
  return strings_[id];
}

std::optional<std::string> StringPool::optional(std::uint32_t id) const {
  if (id == kNoIndex) return std::nullopt;
  return get(id);
}

std::vector<std::uint32_t> intern_all(StringPool& pool, const std::vector<std::string>& texts) {
  std::vector<std::uint32_t> ids;
  ids.reserve(texts.size());
  for (const auto& text : texts) ids.push_back(pool.intern(text));
  return ids;
}

std::string text_or_underscore(const StringPool& pool, std::uint32_t id) {
  if (id == kNoIndex) return "_";
  const std::string& text = pool.get(id);
  return text.empty() ? std::string("_") : text;
}

}  // namespace lorvane
