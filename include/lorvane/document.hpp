#pragma once

// The columnar document store, the document handle, the row views over it and
// the lazy sequences of views, together with the plain records a document is
// built from.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/coref.hpp"
#include "lorvane/export.hpp"
#include "lorvane/text.hpp"
#include "lorvane/tree.hpp"

namespace lorvane {

// Cell markers for absent values (string cells and character offsets use kNoIndex).
inline constexpr std::int32_t kAbsentInt = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int8_t kAbsentFlag = -1;

class Document;
class Sentence;
class Token;
class Word;
class Span;
class SentenceSequence;
class TokenSequence;
class WordSequence;
class SpanSequence;

// ---------------------------------------------------------------------------
// Input records
// ---------------------------------------------------------------------------

// One word: a regular word of a token, or an empty word of a sentence (id 3.1
// is id 3 with empty_index 1). Plain value; validated when a document is built.
struct LORVANE_EXPORT WordInput {
  std::int32_t id = 0;
  std::optional<std::int32_t> empty_index;
  std::string text;
  std::optional<std::string> lemma;
  std::optional<std::string> upos;
  std::optional<std::string> xpos;
  std::optional<std::string> feats;
  std::optional<std::int32_t> head;
  std::optional<std::string> deprel;
  std::optional<std::string> deps;
  std::optional<std::string> misc;
  std::optional<std::uint32_t> start_char;
  std::optional<std::uint32_t> end_char;
  std::optional<bool> manual_expansion;
  std::vector<std::string> morphemes;
};

// One token with its regular words. Plain value.
struct LORVANE_EXPORT TokenInput {
  std::int32_t id_start = 0;
  std::int32_t id_end = 0;
  std::string text;
  std::optional<std::string> misc;
  std::optional<std::string> ner;
  std::vector<std::string> multi_ner;
  std::optional<std::uint32_t> start_char;
  std::optional<std::uint32_t> end_char;
  std::optional<bool> manual_expansion;
  std::string spaces_before;
  std::string spaces_after = " ";
  std::vector<WordInput> words;
};

// One sentence. Absent text and sent_id are derived when the document is built.
struct LORVANE_EXPORT SentenceInput {
  std::vector<TokenInput> tokens;
  std::vector<WordInput> empty_words;
  std::optional<std::string> text;
  std::optional<std::string> sent_id;
  std::optional<std::string> speaker;
  std::optional<std::string> doc_id;
  std::optional<std::int32_t> sentiment;
  std::vector<std::string> comments;
};

// ---------------------------------------------------------------------------
// Storage
// ---------------------------------------------------------------------------

// Optional strings are pool ids (kNoIndex = absent), optional ints kAbsentInt,
// optional offsets kNoIndex, optional flags kAbsentFlag.

struct LORVANE_EXPORT SentenceColumns {
  std::vector<std::uint32_t> token_offsets{0};  // one entry per sentence plus one
  std::vector<std::uint32_t> word_offsets{0};   // regular words only
  std::vector<std::vector<std::uint32_t>> empty_words;  // word rows, in the order added
  std::vector<std::uint32_t> span_offsets{0};
  std::vector<std::uint32_t> text;  // its size is the number of sentences
  std::vector<std::uint32_t> sent_id;
  std::vector<std::uint32_t> speaker;
  std::vector<std::uint32_t> doc_id;
  std::vector<std::int32_t> sentiment;
  std::vector<std::vector<std::uint32_t>> comments;
  std::vector<std::shared_ptr<const TreeNode>> constituency;  // null: no tree
};

struct LORVANE_EXPORT TokenColumns {
  std::vector<std::uint32_t> sentence;
  std::vector<std::int32_t> id_start;
  std::vector<std::int32_t> id_end;
  std::vector<std::uint32_t> word_begin;
  std::vector<std::uint32_t> word_end;
  std::vector<std::uint32_t> text;  // its size is the number of tokens
  std::vector<std::uint32_t> misc;
  std::vector<std::uint32_t> ner;
  std::vector<std::vector<std::uint32_t>> multi_ner;
  std::vector<std::uint32_t> start_char;
  std::vector<std::uint32_t> end_char;
  std::vector<std::int8_t> manual_expansion;
  std::vector<std::uint32_t> spaces_before;
  std::vector<std::uint32_t> spaces_after;
};

struct LORVANE_EXPORT WordColumns {
  std::vector<std::uint32_t> sentence;
  std::vector<std::uint32_t> parent_token;  // kNoIndex for an empty word
  std::vector<std::int32_t> id;
  std::vector<std::int32_t> empty_index;
  std::vector<std::uint32_t> text;  // its size is the number of word rows
  std::vector<std::uint32_t> lemma;
  std::vector<std::uint32_t> upos;
  std::vector<std::uint32_t> xpos;
  std::vector<std::uint32_t> feats;
  std::vector<std::int32_t> head;
  std::vector<std::uint32_t> deprel;
  std::vector<std::uint32_t> deps;
  std::vector<std::uint32_t> misc;
  std::vector<std::uint32_t> start_char;
  std::vector<std::uint32_t> end_char;
  std::vector<std::int8_t> manual_expansion;
  std::vector<std::vector<std::uint32_t>> morphemes;
  std::vector<std::vector<CorefAttachment>> coref;
};

struct LORVANE_EXPORT SpanColumns {
  std::vector<std::uint32_t> sentence;
  std::vector<std::uint32_t> token_begin;
  std::vector<std::uint32_t> token_end;
  std::vector<std::uint32_t> word_begin;
  std::vector<std::uint32_t> word_end;
  std::vector<std::uint32_t> text;  // its size is the number of spans
  std::vector<std::uint32_t> type;
  std::vector<std::uint32_t> start_char;
  std::vector<std::uint32_t> end_char;
};

// All annotations of one document, one vector per attribute.
// Invariants: the columns of one table have equal sizes; the offset columns
// start at 0, never decrease and end at the row counts; word rows
// [0, num_words) are the regular words in document order, the rows after them
// empty words (those of the input records up to built_word_count, then any
// added later).
// Not thread-safe: views and handles share it unsynchronised; rebuilding
// operations need exclusive use.
struct LORVANE_EXPORT DocumentStorage {
  explicit DocumentStorage(std::string text);  // validates the text
  explicit DocumentStorage(Utf8Text text);

  // Fills a new storage from the records (a storage is built once) and
  // derives sentence texts, sent_ids, offsets, whitespace and entity spans.
  // On failure the storage is left without rows, as it was.
  void build(const std::vector<SentenceInput>& sentences);
  // Rebuilds every annotation over the same text, keeping the language. On
  // failure the storage is unchanged.
  void replace(std::vector<SentenceInput> sentences);
  // Appends an empty word to the sentence and returns its word row.
  std::uint32_t add_empty_word(std::uint32_t sentence, WordInput word);
  // Removes the word rows added after building.
  void reset_generated_empty_words();
  // Derives the entity spans from the tokens' ner cells again. On failure the
  // previous span table is kept.
  void rebuild_entities();
  // Replaces the document's chains and every word's attachments.
  void set_coref(const std::vector<CorefChain>& chains);

  std::uint64_t num_sentences() const noexcept { return sentences.text.size(); }
  std::uint64_t num_tokens() const noexcept { return tokens.text.size(); }
  std::uint64_t num_word_rows() const noexcept { return words.text.size(); }
  std::uint64_t num_spans() const noexcept { return spans.text.size(); }

  Utf8Text text;
  StringPool pool;
  std::uint32_t lang = kNoIndex;
  SentenceColumns sentences;
  TokenColumns tokens;
  WordColumns words;
  SpanColumns spans;
  std::vector<std::shared_ptr<const CorefChain>> coref_chains;
  std::uint64_t num_words = 0;
  std::uint64_t built_word_count = 0;
};

// ---------------------------------------------------------------------------
// Sequences
// ---------------------------------------------------------------------------

// Rows covered by a sequence: element i is row start + i * step.
// Safe to share across threads: a plain value.
struct LORVANE_EXPORT SequenceRange {
  std::int64_t start = 0;
  std::int64_t step = 1;
  std::uint64_t size = 0;

  // Python-style index (negative counts from the end) -> row, modulo 2^32.
  // Throws std::out_of_range "index is outside the sequence".
  std::uint32_t resolve(std::int64_t index) const { return static_cast<std::uint32_t>(row(position(index))); }
  // Position in [0, size) of a Python-style index.
  std::uint64_t position(std::int64_t index) const;
  // Row of a position, with wrapping arithmetic (never overflows).
  std::uint64_t row(std::uint64_t position) const noexcept {
    return static_cast<std::uint64_t>(start) + position * static_cast<std::uint64_t>(step);
  }
  // Arguments are relative to this range and already normalised by the caller.
  SequenceRange slice(std::int64_t slice_start, std::int64_t slice_step, std::uint64_t slice_size) const noexcept;
  SequenceRange reversed() const noexcept;

  bool operator==(const SequenceRange&) const = default;
};

namespace detail {

// Shared body of the sequences over one table of rows. The view is made only
// when an element is asked for.
template <class Derived, class View>
class RowSequence {
 public:
  RowSequence() = default;
  RowSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range)
      : storage_(std::move(storage)), range_(range) {}

  std::uint64_t size() const noexcept { return range_.size; }
  // Throws "index is outside the sequence", or the view's own error when the
  // row does not exist.
  View at(std::int64_t index) const { return View(storage_, range_.resolve(index)); }
  Derived slice(std::int64_t start, std::int64_t step, std::uint64_t size) const {
    return Derived(storage_, range_.slice(start, step, size));
  }
  Derived reversed() const { return Derived(storage_, range_.reversed()); }
  bool contains(const View& view) const noexcept {
    if (view.storage() != storage_) return false;
    for (std::uint64_t k = 0; k < range_.size; ++k)
      if (static_cast<std::uint32_t>(range_.row(k)) == view.index()) return true;
    return false;
  }

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  const SequenceRange& range() const noexcept { return range_; }

 private:
  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
};

}  // namespace detail

// Not thread-safe for writing through its views; an immutable value otherwise.
class LORVANE_EXPORT SentenceSequence : public detail::RowSequence<SentenceSequence, Sentence> {
 public:
  using RowSequence::RowSequence;
};

// Not thread-safe for writing through its views; an immutable value otherwise.
class LORVANE_EXPORT TokenSequence : public detail::RowSequence<TokenSequence, Token> {
 public:
  using RowSequence::RowSequence;
};

// Not thread-safe for writing through its views; an immutable value otherwise.
class LORVANE_EXPORT SpanSequence : public detail::RowSequence<SpanSequence, Span> {
 public:
  using RowSequence::RowSequence;
};

// Words over contiguous rows, or over an explicit shared list of rows (the
// range then indexes positions in the list). Slices share the list.
// Not thread-safe for writing through its views; an immutable value otherwise.
class LORVANE_EXPORT WordSequence {
 public:
  using RowList = std::vector<std::uint32_t>;

  WordSequence() = default;
  WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range);
  WordSequence(std::shared_ptr<DocumentStorage> storage, SequenceRange range,
               std::shared_ptr<const RowList> rows);
  WordSequence(std::shared_ptr<DocumentStorage> storage, RowList rows);

  std::uint64_t size() const noexcept { return range_.size; }
  // Throws std::out_of_range "index is outside the sequence".
  std::uint32_t resolve(std::int64_t index) const;
  // Words made here carry kNoIndex as their sentence.
  Word at(std::int64_t index) const;
  WordSequence slice(std::int64_t start, std::int64_t step, std::uint64_t size) const;
  WordSequence reversed() const;
  bool contains(const Word& word) const noexcept;

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  const SequenceRange& range() const noexcept { return range_; }
  const std::shared_ptr<const RowList>& rows() const noexcept { return rows_; }

 private:
  // Row at a position in [0, size), or nullopt when the list has no such entry.
  std::optional<std::uint32_t> row_at(std::uint64_t position) const noexcept;

  std::shared_ptr<DocumentStorage> storage_;
  SequenceRange range_;
  std::shared_ptr<const RowList> rows_;
};

// ---------------------------------------------------------------------------
// Document and views
// ---------------------------------------------------------------------------

// A handle to one storage; copies share it and see each other's writes.
// Not thread-safe: cells are read and written unsynchronised.
class LORVANE_EXPORT Document {
 public:
  explicit Document(std::string text);
  // Throws std::invalid_argument "a document storage pointer cannot be null".
  explicit Document(std::shared_ptr<DocumentStorage> storage);
  Document(std::string text, std::vector<SentenceInput> sentences);
  // Copy-only: a move would leave a null storage behind, which no handle may hold.
  Document(const Document&) = default;
  Document& operator=(const Document&) = default;

  const std::string& text() const noexcept { return storage_->text.bytes(); }
  std::uint64_t codepoint_count() const noexcept { return storage_->text.codepoint_count(); }
  std::uint64_t byte_offset(std::uint64_t codepoint) const { return storage_->text.byte_offset(codepoint); }
  std::optional<std::string> lang() const;
  void set_lang(const std::optional<std::string>& lang);
  std::uint64_t num_tokens() const noexcept { return storage_->num_tokens(); }
  std::uint64_t num_words() const noexcept { return storage_->num_words; }
  const std::vector<std::shared_ptr<const CorefChain>>& coref() const noexcept { return storage_->coref_chains; }
  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  bool same_storage(const Document& other) const noexcept { return storage_ == other.storage_; }

  SentenceSequence sentences() const;
  TokenSequence tokens() const;
  WordSequence words() const;  // regular words only
  SpanSequence ents() const;

  void set_coref(const std::vector<CorefChain>& chains);
  void rebuild_entities();
  std::string to_conll() const;

 private:
  std::shared_ptr<DocumentStorage> storage_;
};

// Every view checks its row when made and again on every access, so a view
// kept across a rebuild that removed its row throws its own out-of-range
// error instead of reading outside the columns.

// A sentence row. Not thread-safe: cells are read and written unsynchronised.
class LORVANE_EXPORT Sentence {
 public:
  // Throws std::out_of_range "invalid sentence view".
  Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t index);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return index_; }
  bool same_view(const Sentence& other) const noexcept {
    return storage_ == other.storage_ && index_ == other.index_;
  }

  std::string text() const;  // empty when absent
  std::optional<std::string> sent_id() const;
  std::optional<std::string> speaker() const;
  std::optional<std::string> doc_id() const;
  std::optional<int> sentiment() const;
  void set_sentiment(std::optional<int> sentiment);
  std::vector<std::string> comments() const;
  Document doc() const;
  TokenSequence tokens() const;
  WordSequence words() const;        // regular words only
  SpanSequence ents() const;
  WordSequence empty_words() const;  // in the order added
  WordSequence all_words() const;    // ordered by (id, empty index)
  std::optional<ConstituencyTree> constituency() const;
  void set_constituency(const std::optional<ConstituencyTree>& tree);
  std::string to_conll() const;

 private:
  DocumentStorage& checked() const;

  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t index_;
};

// A token row. Not thread-safe: cells are read and written unsynchronised.
class LORVANE_EXPORT Token {
 public:
  // Throws std::out_of_range "invalid token view".
  Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t index);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return index_; }
  bool same_view(const Token& other) const noexcept {
    return storage_ == other.storage_ && index_ == other.index_;
  }

  std::pair<std::int32_t, std::int32_t> id_range() const;
  std::string text() const;
  // Throws std::invalid_argument "a token must have non-empty text".
  void set_text(std::string text);
  std::optional<std::string> misc() const;
  void set_misc(const std::optional<std::string>& misc);
  std::optional<std::string> ner() const;
  void set_ner(const std::optional<std::string>& ner);
  std::vector<std::string> multi_ner() const;
  void set_multi_ner(const std::vector<std::string>& tags);
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  std::optional<bool> manual_expansion() const;
  void set_manual_expansion(std::optional<bool> value);
  std::string spaces_before() const;
  void set_spaces_before(std::string spaces);
  std::string spaces_after() const;
  void set_spaces_after(std::string spaces);
  bool is_mwt() const;
  WordSequence words() const;
  Sentence sent() const;

 private:
  DocumentStorage& checked() const;

  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t index_;
};

// A word row, or with index kNoIndex the synthetic ROOT word of the sentence
// named by `sentence` (read-only). Words made by sequences carry kNoIndex as
// their sentence. Not thread-safe: cells are read and written unsynchronised.
class LORVANE_EXPORT Word {
 public:
  // Throws std::out_of_range "invalid word view".
  Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t index, std::uint32_t sentence);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return index_; }
  std::uint32_t sentence() const noexcept { return sentence_; }
  bool same_view(const Word& other) const noexcept {
    return storage_ == other.storage_ && index_ == other.index_ && sentence_ == other.sentence_;
  }

  bool is_root() const noexcept { return index_ == kNoIndex; }
  std::int32_t id() const;
  std::optional<std::int32_t> empty_index() const;
  std::string text() const;  // "ROOT" for the ROOT word
  std::optional<std::string> lemma() const;
  std::optional<std::string> upos() const;
  std::optional<std::string> xpos() const;
  std::optional<std::string> feats() const;
  std::optional<std::int32_t> head() const;
  std::optional<std::string> deprel() const;
  std::optional<std::string> deps() const;
  std::optional<std::string> misc() const;
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  std::optional<bool> manual_expansion() const;
  std::vector<std::string> morphemes() const;
  std::vector<CorefAttachment> coref_chains() const;
  Sentence sent() const;
  std::optional<Token> parent() const;

  // Each setter throws std::logic_error "the synthetic ROOT word is immutable"
  // on the ROOT word before any other check.
  // Throws std::invalid_argument "a word must have non-empty text".
  void set_text(std::string text);
  void set_lemma(const std::optional<std::string>& lemma);
  void set_upos(const std::optional<std::string>& upos);
  void set_xpos(const std::optional<std::string>& xpos);
  void set_feats(const std::optional<std::string>& feats);
  void set_head(std::optional<int> head);
  void set_deprel(const std::optional<std::string>& deprel);
  void set_deps(const std::optional<std::string>& deps);
  void set_misc(const std::optional<std::string>& misc);
  void set_morphemes(const std::vector<std::string>& morphemes);

 private:
  // The storage of a regular word whose row still exists.
  DocumentStorage& checked() const;
  DocumentStorage& checked_mutable() const;

  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t index_;
  std::uint32_t sentence_;
};

// An entity span row (read-only; spans are derived from token tags).
// Not thread-safe: cells are read unsynchronised.
class LORVANE_EXPORT Span {
 public:
  // Throws std::out_of_range "invalid span view".
  Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t index);

  const std::shared_ptr<DocumentStorage>& storage() const noexcept { return storage_; }
  std::uint32_t index() const noexcept { return index_; }
  bool same_view(const Span& other) const noexcept {
    return storage_ == other.storage_ && index_ == other.index_;
  }

  std::string text() const;
  std::string type() const;
  std::optional<std::uint32_t> start_char() const;
  std::optional<std::uint32_t> end_char() const;
  TokenSequence tokens() const;
  WordSequence words() const;
  Sentence sent() const;
  Document doc() const;

 private:
  DocumentStorage& checked() const;

  std::shared_ptr<DocumentStorage> storage_;
  std::uint32_t index_;
};

}  // namespace lorvane
