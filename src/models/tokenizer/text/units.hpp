#pragma once

// Tokenizer text units: one record per code point of the text, and paragraphs
// of whitespace-normalised units. Torch-free; every tokenizer component passes
// text around in this form.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::detail {

// One code point of tokenizer text.
// Plain value; safe to share across threads when not modified.
struct TokenizerUnit {
  std::string text;              // the code point's UTF-8 bytes; " " for normalised whitespace
  std::uint32_t code_point = 0;  // 0x20 for normalised whitespace
  std::uint32_t offset = 0;      // code-point index in the decoded text
};

using TokenizerParagraph = std::vector<TokenizerUnit>;

// Offsets are 32 bits wide and a token's end offset (last offset + 1) must
// not collide with the absent-offset marker 0xFFFFFFFF, so a text may hold at
// most this many code points.
inline constexpr std::uint64_t kMaxTokenizerCodePoints = 0xFFFFFFFEu;

// The 60 code points that count as whitespace for paragraph breaks and
// normalisation.
bool is_unit_space(char32_t code_point) noexcept;
// The 29 code points trimmed from the end of a paragraph.
bool is_trim_space(char32_t code_point) noexcept;

// One unit per code point, unnormalised, offsets counting from 0. Throws
// TokenizerModelError "invalid UTF-8 sequence at byte offset N", or
// "tokenizer text exceeds N code points" beyond kMaxTokenizerCodePoints.
std::vector<TokenizerUnit> decode_units(const char* data, std::size_t size);
// As above with a different code-point limit (tests lower it).
std::vector<TokenizerUnit> decode_units(const char* data, std::size_t size,
                                        std::uint64_t max_code_points);

// Cuts text into paragraphs at newlines separated only by whitespace, trims
// trailing whitespace and collapses each whitespace run into one space unit
// that keeps the offset of the run's first code point. With skip_newline,
// U+000A inside a paragraph is dropped. Never yields an empty paragraph.
// Throws as decode_units.
std::vector<TokenizerParagraph> split_paragraphs(const char* data, std::size_t size,
                                                 bool skip_newline);

// The paragraphs of split_paragraphs one at a time: memory holds one
// paragraph, never the units of the whole text. The text must outlive the
// reader. Not thread-safe: one reader per pass over a text.
class ParagraphReader {
 public:
  // Validates the whole text first and throws as decode_units, so that a
  // malformed text fails before any paragraph is read.
  ParagraphReader(std::string_view text, bool skip_newline,
                  std::uint64_t max_code_points = kMaxTokenizerCodePoints);

  // Moves the next paragraph into `paragraph`; false when there is none.
  bool next(TokenizerParagraph& paragraph);

 private:
  // The unit at the read position, and the byte length of its code point.
  TokenizerUnit unit_at(std::size_t pos, std::uint32_t offset, std::size_t& length) const;
  // When the newline unit just read opens a paragraph break (the whitespace
  // after it holds another newline), moves the read position past the break's
  // last newline and returns true.
  bool skip_break();

  std::string_view text_;
  bool skip_newline_ = false;
  std::size_t pos_ = 0;        // byte position of the next unread code point
  std::uint32_t offset_ = 0;   // its code-point index
  std::vector<TokenizerUnit> raw_;  // the current paragraph's units, unnormalised
};

// The units' texts concatenated, in order: the text the pattern matchers see.
std::string join_unit_texts(const std::vector<TokenizerUnit>& units);

}  // namespace lorvane::detail
