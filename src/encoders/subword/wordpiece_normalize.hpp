#pragma once

// The first half of WordPiece tokenization: one word becomes an ordered list
// of pieces (optionally lower-cased and accent-stripped, cleaned of control
// characters, split on whitespace, punctuation and CJK ideographs).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::detail {

// The pieces of one word, stored flat. Piece k is code points
// [piece_ends[k-1], piece_ends[k]) (from 0 for k = 0); code point i occupies
// bytes [starts[i], starts[i + 1]) of text, so starts has one entry more than
// there are code points. Every piece is non-empty.
struct WordPieces {
  std::string text;
  std::vector<std::size_t> starts{0};
  std::vector<std::size_t> piece_ends;

  std::size_t piece_count() const { return piece_ends.size(); }
  std::size_t piece_begin(std::size_t k) const { return k == 0 ? 0 : piece_ends[k - 1]; }
  // The UTF-8 bytes of code points [begin, end).
  std::string_view bytes(std::size_t begin, std::size_t end) const {
    return std::string_view(text).substr(starts[begin], starts[end] - starts[begin]);
  }
};

// Lower-cases (when lowercase), decodes, strips accents (when strip_accents),
// then cleans and splits, in that fixed order. Ill-formed UTF-8 throws
// WordPieceError with its byte offset, or, when lowercase is set and the word
// is not ASCII, the std::invalid_argument of unicode_lower.
WordPieces split_wordpiece_pieces(std::string_view word, bool lowercase, bool strip_accents);

}  // namespace lorvane::detail
