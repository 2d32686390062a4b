#pragma once

// Subword tokenizers of the transformer encoder. Each turns a list of words
// (the tokens of one sentence) into vocabulary identifiers, remembering the
// identifiers of recent words in a fixed-size per-tokenizer word cache.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/errors.hpp"
#include "lorvane/export.hpp"

namespace lorvane {

// The identifiers of a list of words. The three vectors have one entry per
// position; word_ids holds the 0-based index of the word each position came
// from, or -1 for a special token. No padding is ever produced, so the
// attention mask is all ones.
struct LORVANE_EXPORT WordPieceEncoding {
  std::vector<std::int64_t> input_ids;
  std::vector<std::int64_t> attention_mask;
  std::vector<std::int64_t> word_ids;
};

// Greedy longest-match-first WordPiece over normalised pieces of each word
// (optional lower-casing and accent stripping; split on whitespace,
// punctuation and CJK ideographs). Every word yields at least one identifier.
// Safe to share across threads: all operations are const (the word cache
// takes its own lock). A moved-from tokenizer throws std::logic_error.
class LORVANE_EXPORT WordPieceTokenizer {
 public:
  // Throws WordPieceError: an empty vocabulary, max_input_characters_per_word
  // of 0, a duplicate token, or a missing unknown/CLS/SEP token (in that order).
  WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase, bool strip_accents,
                     std::string unknown_token, std::string cls_token, std::string sep_token,
                     std::string continuing_subword_prefix,
                     std::uint64_t max_input_characters_per_word);
  WordPieceTokenizer(WordPieceTokenizer&& other) noexcept;
  WordPieceTokenizer& operator=(WordPieceTokenizer&& other) noexcept;
  WordPieceTokenizer(const WordPieceTokenizer&) = delete;
  WordPieceTokenizer& operator=(const WordPieceTokenizer&) = delete;
  ~WordPieceTokenizer();

  // [CLS] word ids... [SEP] (the specials only with add_special_tokens).
  // Ill-formed UTF-8 throws WordPieceError, or std::invalid_argument when
  // lower-casing is on (the case mapping rejects it first).
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;

  std::uint64_t vocabulary_size() const;
  // Occupied slots of the word cache (at most 8,192).
  std::uint64_t cache_size() const;
  std::int64_t unknown_id() const;
  std::int64_t cls_id() const;
  std::int64_t sep_id() const;
  static bool highway_enabled() { return true; }

  struct Impl;
  const Impl& impl() const;  // for the library's own tests and tools

 private:
  std::unique_ptr<Impl> impl_;
};

// Byte-level BPE: each word is pre-tokenized by character class (letters with
// marks, numbers, whitespace, other; contractions such as 's; a space joins
// the piece that follows it), every byte becomes the vocabulary entry of its
// printable substitute character, and adjacent entries are merged by rank.
// Safe to share across threads: all operations are const (the word cache
// takes its own lock). A moved-from tokenizer throws std::logic_error.
class LORVANE_EXPORT ByteBPETokenizer {
 public:
  // Throws SubwordError: an empty vocabulary, a duplicate entry, a missing
  // unknown/CLS/SEP token, a byte without an entry, or a merge whose parts or
  // concatenation are not entries (in that order).
  ByteBPETokenizer(std::vector<std::string> vocabulary,
                   std::vector<std::pair<std::string, std::string>> merges, std::string unknown_token,
                   std::string cls_token, std::string sep_token, bool add_prefix_space);
  ByteBPETokenizer(ByteBPETokenizer&& other) noexcept;
  ByteBPETokenizer& operator=(ByteBPETokenizer&& other) noexcept;
  ByteBPETokenizer(const ByteBPETokenizer&) = delete;
  ByteBPETokenizer& operator=(const ByteBPETokenizer&) = delete;
  ~ByteBPETokenizer();

  // The ids of text taken as one word (empty for the empty text). Ill-formed
  // UTF-8 throws SubwordError with its byte offset in text.
  std::vector<std::int64_t> tokenize(const std::string& text) const;
  // As WordPieceTokenizer::encode; a word with no ids contributes nothing.
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;

  std::uint64_t vocabulary_size() const;
  std::uint64_t cache_size() const;
  std::int64_t unknown_id() const;
  std::int64_t cls_id() const;
  std::int64_t sep_id() const;
  static bool highway_enabled() { return true; }

  struct Impl;
  const Impl& impl() const;  // for the library's own tests and tools

 private:
  std::unique_ptr<Impl> impl_;
};

// Unigram segmentation with a precompiled character map (XLM-R): each word is
// normalised cluster by cluster through the map's double-array trie, split on
// whitespace into runs, and each run, prefixed with U+2581, is cut into the
// vocabulary entries of highest total score (float32 Viterbi); a code point
// where no entry begins becomes the unknown id. Duplicate vocabulary entries
// are allowed (the first index is used).
// Safe to share across threads: all operations are const (the word cache
// takes its own lock). A moved-from tokenizer throws std::logic_error.
class LORVANE_EXPORT XLMRobertaTokenizer {
 public:
  // Throws SubwordError: empty or unequal vocabulary and scores, unknown_id
  // out of range, a missing CLS/SEP token, or a malformed character map (in
  // that order). The character map is a 32-bit little-endian trie size T, T
  // bytes of trie units, then the replacement strings.
  XLMRobertaTokenizer(std::vector<std::string> vocabulary, std::vector<float> scores,
                      std::vector<std::uint8_t> precompiled_charsmap, std::int64_t unknown_id,
                      std::string cls_token, std::string sep_token);
  XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept;
  XLMRobertaTokenizer& operator=(XLMRobertaTokenizer&& other) noexcept;
  XLMRobertaTokenizer(const XLMRobertaTokenizer&) = delete;
  XLMRobertaTokenizer& operator=(const XLMRobertaTokenizer&) = delete;
  ~XLMRobertaTokenizer();

  // The ids of text taken as one word (empty when it normalises to
  // whitespace). Ill-formed UTF-8 throws SubwordError with its byte offset in
  // text (or in the normalised text, when the map's replacement is ill-formed).
  std::vector<std::int64_t> tokenize(const std::string& text) const;
  // As WordPieceTokenizer::encode; a word with no ids contributes nothing.
  WordPieceEncoding encode(const std::vector<std::string>& words, bool add_special_tokens) const;

  // Entries given, duplicates included.
  std::uint64_t vocabulary_size() const;
  std::uint64_t cache_size() const;
  std::int64_t unknown_id() const;
  std::int64_t cls_id() const;
  std::int64_t sep_id() const;
  static bool highway_enabled() { return true; }

  struct Impl;
  const Impl& impl() const;  // for the library's own tests and tools

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace lorvane
