#pragma once

// The tokenizer's fixed regular expressions: four lexical feature patterns and
// the e-mail / web-address pattern. Matching follows ECMAScript semantics over
// UTF-8 bytes (leftmost match, first alternative and greedy repetition win,
// ASCII-only \s, \w and \b, bytes >= 0x80 are neither word nor space
// characters) and enumerates matches as std::regex_iterator does, but runs in
// time linear in the text and with a stack depth independent of it, so that
// long runs of digits or letters in ordinary input cannot exhaust the stack.

#include <cstddef>
#include <string_view>
#include <vector>

namespace lorvane::detail {

enum class TokenizerPattern { labeled_field, phone_id, date_pattern, currency, email_or_url };

// The pattern as an ECMAScript regular expression, byte for byte.
std::string_view ecmascript_source(TokenizerPattern pattern) noexcept;

struct PatternMatch {
  std::size_t position;  // byte offset of the first matched byte
  std::size_t length;    // in bytes; never 0
  friend bool operator==(const PatternMatch&, const PatternMatch&) = default;
};

// Every match of the pattern in the text, left to right and non-overlapping:
// each search starts where the previous match ended and sees the byte before
// that point for \b, as std::regex_iterator does with default flags.
// Thread-safe: the compiled patterns are built once per process and shared.
std::vector<PatternMatch> find_pattern_matches(TokenizerPattern pattern, std::string_view text);

// The same matches found by the memoising backtracker alone, which
// find_pattern_matches uses for e-mail texts that could hold a quoted local
// part or an address literal; also linear. For tests and benchmarks.
std::vector<PatternMatch> find_pattern_matches_backtracking(TokenizerPattern pattern,
                                                            std::string_view text);

// Marks with 1.0 the units covered by matches of the pattern; other entries
// keep their values. joined_text is the concatenation of the texts of exactly
// column.size() UTF-8 units (each unit's length follows from its lead byte). A
// match marks the units from the one holding its first byte up to, but not
// including, the one holding the byte just after it: a match that begins inside
// a multi-byte unit marks that unit, one that ends inside it does not.
// Throws std::invalid_argument when the text does not split into exactly
// column.size() units that way.
void mark_pattern_matches(std::string_view joined_text, TokenizerPattern pattern,
                          std::vector<float>& column);

}  // namespace lorvane::detail
