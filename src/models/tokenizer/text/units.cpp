#include "models/tokenizer/text/units.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "document/utf8_decode.hpp"
#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

constexpr char32_t kNewline = 0x0A;
constexpr char32_t kSpace = 0x20;

// Shared by both whitespace sets: U+0009..U+000D, U+001C..U+0020, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_common_space(char32_t cp) noexcept {
  if (cp < 0x80) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
  if (cp == 0xA0 || cp == 0x1680 || cp == 0x3000) return true;
  if (cp >= 0x2000 && cp <= 0x200A) return true;
  return cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F;
}

[[noreturn]] void throw_too_long(std::uint64_t max_code_points) {
  throw TokenizerModelError("tokenizer text exceeds " + std::to_string(max_code_points) +
                            " code points");
}

struct Range {
  std::size_t begin;
  std::size_t end;
};

// Trims trailing whitespace and collapses whitespace runs; empty when the
// range holds nothing else.
TokenizerParagraph normalise_range(const std::vector<TokenizerUnit>& units, Range range,
                                   bool skip_newline) {
  std::size_t end = range.end;
  while (end > range.begin && is_trim_space(units[end - 1].code_point)) --end;
  TokenizerParagraph paragraph;
  if (end == range.begin) return paragraph;
  paragraph.reserve(end - range.begin);
  for (std::size_t i = range.begin; i < end; ++i) {
    const TokenizerUnit& unit = units[i];
    if (skip_newline && unit.code_point == kNewline) continue;
    if (!is_unit_space(unit.code_point)) {
      paragraph.push_back(unit);
    } else if (paragraph.empty() || paragraph.back().code_point != kSpace) {
      paragraph.push_back({" ", kSpace, unit.offset});
    }
  }
  return paragraph;
}

}  // namespace

bool is_unit_space(char32_t code_point) noexcept {
  return is_common_space(code_point) || (code_point >= 0x80 && code_point <= 0x9F);
}

bool is_trim_space(char32_t code_point) noexcept {
  return is_common_space(code_point) || code_point == 0x85;
}

std::vector<TokenizerUnit> decode_units(const char* data, std::size_t size) {
  return decode_units(data, size, kMaxTokenizerCodePoints);
}

std::vector<TokenizerUnit> decode_units(const char* data, std::size_t size,
                                        std::uint64_t max_code_points) {
  std::vector<TokenizerUnit> units;
  // One record per byte is the worst case; beyond the limit the call fails,
  // so the vector never reallocates.
  units.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size, max_code_points + 1)));
  decode_utf8_or_throw<TokenizerModelError>(
      std::string_view(data, size), [&](char32_t cp, std::size_t pos, std::size_t len) {
        if (units.size() >= max_code_points) throw_too_long(max_code_points);
        units.push_back({std::string(data + pos, len), static_cast<std::uint32_t>(cp),
                         static_cast<std::uint32_t>(units.size())});
      });
  return units;
}

std::vector<TokenizerParagraph> split_paragraphs(const char* data, std::size_t size,
                                                 bool skip_newline) {
  std::vector<TokenizerParagraph> paragraphs;
  ParagraphReader reader(std::string_view(data, size), skip_newline);
  TokenizerParagraph paragraph;
  while (reader.next(paragraph)) paragraphs.push_back(std::move(paragraph));
  return paragraphs;
}

ParagraphReader::ParagraphReader(std::string_view text, bool skip_newline, std::uint64_t max_code_points)
    : text_(text), skip_newline_(skip_newline) {
  std::uint64_t count = 0;
  decode_utf8_or_throw<TokenizerModelError>(text, [&](char32_t, std::size_t, std::size_t) {
    if (count >= max_code_points) throw_too_long(max_code_points);
    ++count;
  });
}

TokenizerUnit ParagraphReader::unit_at(std::size_t pos, std::uint32_t offset, std::size_t& length) const {
  char32_t code_point = 0;
  decode_code_point(reinterpret_cast<const unsigned char*>(text_.data()), text_.size(), pos, code_point, length);
  return {std::string(text_.substr(pos, length)), static_cast<std::uint32_t>(code_point), offset};
}

bool ParagraphReader::skip_break() {
  std::size_t pos = pos_;
  std::uint32_t offset = offset_;
  std::size_t after_newline = 0;  // byte position after the run's last newline, 0 when none
  std::uint32_t offset_after = 0;
  while (pos < text_.size()) {
    std::size_t length = 0;
    const TokenizerUnit unit = unit_at(pos, offset, length);
    if (!is_unit_space(unit.code_point)) break;
    pos += length;
    ++offset;
    if (unit.code_point == kNewline) {
      after_newline = pos;
      offset_after = offset;
    }
  }
  if (after_newline == 0) return false;
  pos_ = after_newline;
  offset_ = offset_after;
  return true;
}

bool ParagraphReader::next(TokenizerParagraph& paragraph) {
  while (pos_ < text_.size()) {
    raw_.clear();
    bool at_break = false;
    while (pos_ < text_.size() && !at_break) {
      std::size_t length = 0;
      raw_.push_back(unit_at(pos_, offset_, length));
      pos_ += length;
      ++offset_;
      // A newline that is not the text's last code point may open a break;
      // the newline itself belongs to neither paragraph.
      if (raw_.back().code_point == kNewline && pos_ < text_.size() && skip_break()) {
        raw_.pop_back();
        at_break = true;
      }
    }
    paragraph = normalise_range(raw_, {0, raw_.size()}, skip_newline_);
    if (!paragraph.empty()) return true;
  }
  return false;
}

std::string join_unit_texts(const std::vector<TokenizerUnit>& units) {
  std::size_t bytes = 0;
  for (const TokenizerUnit& unit : units) bytes += unit.text.size();
  std::string joined;
  joined.reserve(bytes);
  for (const TokenizerUnit& unit : units) joined += unit.text;
  return joined;
}

}  // namespace lorvane::detail
