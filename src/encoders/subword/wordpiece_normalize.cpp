#include "encoders/subword/wordpiece_normalize.hpp"

#include <array>
#include <cstdint>

#include "document/utf8_decode.hpp"
#include "encoders/subword/subword_common.hpp"
#include "encoders/unicode/unicode.hpp"
#include "encoders/unicode/unicode_lookup.hpp"
#include "encoders/unicode/unicode_tables.hpp"
#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

// What the cleaning and splitting pass does with one code point.
enum class Action : std::uint8_t { kDrop, kSplit, kAlone, kKeep };

bool in_cjk_ranges(char32_t c) {
  for (const CodePointRange& range : kCjkRanges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

Action classify_from_tables(char32_t c) {
  if (c == 0 || c == 0xFFFD) return Action::kDrop;
  // Controls go first, so U+000B, U+000C, U+001C..U+001F and U+0085 vanish
  // without splitting; tab, line feed and carriage return are kept to split.
  if (in_ranges(kControlRanges, c) && c != '\t' && c != '\n' && c != '\r') return Action::kDrop;
  if (in_ranges(kWhitespaceRanges, c)) return Action::kSplit;
  if (in_ranges(kPunctuationRanges, c) || in_cjk_ranges(c)) return Action::kAlone;
  return Action::kKeep;
}

// The ASCII answers, taken from the same tables once.
const std::array<Action, 128>& ascii_actions() {
  static const std::array<Action, 128> actions = [] {
    std::array<Action, 128> table{};
    for (char32_t c = 0; c < 128; ++c) table[c] = classify_from_tables(c);
    return table;
  }();
  return actions;
}

Action classify(char32_t c) { return c < 128 ? ascii_actions()[c] : classify_from_tables(c); }

std::string lower_case(std::string_view word) {
  if (!is_ascii(word)) return unicode_lower(word);
  std::string text(word);
  for (char& byte : text) {
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte + 0x20);
  }
  return text;
}

// Builds the pieces one code point at a time.
class PieceWriter {
 public:
  void add(char32_t c) {
    switch (classify(c)) {
      case Action::kDrop:
        return;
      case Action::kSplit:
        close_piece();
        return;
      case Action::kAlone:
        close_piece();
        append(c);
        close_piece();
        return;
      case Action::kKeep:
        append(c);
        return;
    }
  }

  WordPieces finish() {
    close_piece();
    return std::move(pieces_);
  }

 private:
  void append(char32_t c) {
    append_utf8(c, pieces_.text);
    pieces_.starts.push_back(pieces_.text.size());
  }
  void close_piece() {
    const std::size_t count = pieces_.starts.size() - 1;
    if (count > pieces_.piece_begin(pieces_.piece_count())) pieces_.piece_ends.push_back(count);
  }

  WordPieces pieces_;
};

}  // namespace

WordPieces split_wordpiece_pieces(std::string_view word, bool lowercase, bool strip_accents) {
  std::string lowered;
  if (lowercase) lowered = lower_case(word);
  const std::string_view text = lowercase ? std::string_view(lowered) : word;

  PieceWriter writer;
  decode_utf8_or_throw<WordPieceError>(text, [&](char32_t c, std::size_t, std::size_t) {
    if (strip_accents && c >= 0x80) {
      if (const CodePointReplacement* stripped = find_entry(kAccentStripTable, c)) {
        for (std::uint32_t k = 0; k < stripped->length; ++k) writer.add(stripped->mapped[k]);
        return;
      }
    }
    writer.add(c);
  });
  return writer.finish();
}

}  // namespace lorvane::detail
