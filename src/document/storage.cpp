#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>

#include "document/row_limit.hpp"
#include "document/storage_builder.hpp"
#include "document/storage_rows.hpp"
#include "lorvane/document.hpp"

namespace lorvane {

namespace detail {

namespace {
std::atomic<std::uint64_t> g_row_limit{kDefaultDocumentRowLimit};
}  // namespace

std::uint64_t document_row_limit() noexcept { return g_row_limit.load(std::memory_order_relaxed); }

void set_document_row_limit(std::uint64_t limit) noexcept {
  g_row_limit.store(limit, std::memory_order_relaxed);
}

void ensure_row_room(std::uint64_t rows, const char* what) {
  const std::uint64_t limit = document_row_limit();
  if (rows + 1 >= limit)
    throw std::length_error("a document cannot hold " + std::to_string(limit) + " or more " + what);
}

std::uint32_t offset_cell(const std::optional<std::uint32_t>& offset) noexcept {
  return offset ? *offset : kNoIndex;
}

std::int32_t int_cell(const std::optional<std::int32_t>& value) noexcept {
  return value ? *value : kAbsentInt;
}

std::int8_t flag_cell(const std::optional<bool>& value) noexcept {
  if (!value) return kAbsentFlag;
  return *value ? 1 : 0;
}

bool offsets_inside(std::uint32_t start, std::uint32_t end, std::uint64_t codepoints) noexcept {
  return start != kNoIndex && end != kNoIndex && start <= end && end <= codepoints;
}

void truncate_word_rows(WordColumns& w, std::size_t rows) {
  const auto cut = [rows](auto& column) {
    if (column.size() > rows) column.erase(column.begin() + static_cast<std::ptrdiff_t>(rows), column.end());
  };
  cut(w.sentence), cut(w.parent_token), cut(w.id), cut(w.empty_index), cut(w.text);
  cut(w.lemma), cut(w.upos), cut(w.xpos), cut(w.feats), cut(w.head), cut(w.deprel);
  cut(w.deps), cut(w.misc), cut(w.start_char), cut(w.end_char), cut(w.manual_expansion);
  cut(w.morphemes), cut(w.coref);
}

}  // namespace detail

namespace {

using detail::flag_cell;
using detail::int_cell;
using detail::offset_cell;
using detail::offsets_inside;

// All cells of one word row, interned before any column grows, so that a row
// is either appended whole or not at all.
struct WordRow {
  std::uint32_t sentence;
  std::uint32_t parent_token;
  std::int32_t id;
  std::int32_t empty_index;
  std::uint32_t text, lemma, upos, xpos, feats;
  std::int32_t head;
  std::uint32_t deprel, deps, misc;
  std::uint32_t start_char, end_char;
  std::int8_t manual_expansion;
  std::vector<std::uint32_t> morphemes;
};

WordRow intern_word(StringPool& pool, const WordInput& w, std::uint32_t sentence,
                    std::uint32_t parent_token) {
  return WordRow{sentence,
                 parent_token,
                 w.id,
                 int_cell(w.empty_index),
                 pool.intern(w.text),
                 pool.intern_optional(w.lemma),
                 pool.intern_optional(w.upos),
                 pool.intern_optional(w.xpos),
                 pool.intern_optional(w.feats),
                 int_cell(w.head),
                 pool.intern_optional(w.deprel),
                 pool.intern_optional(w.deps),
                 pool.intern_optional(w.misc),
                 offset_cell(w.start_char),
                 offset_cell(w.end_char),
                 flag_cell(w.manual_expansion),
                 intern_all(pool, w.morphemes)};
}

std::uint32_t append_word_row(WordColumns& w, WordRow row) {
  const std::size_t before = w.text.size();
  try {
    w.sentence.push_back(row.sentence);
    w.parent_token.push_back(row.parent_token);
    w.id.push_back(row.id);
    w.empty_index.push_back(row.empty_index);
    w.text.push_back(row.text);
    w.lemma.push_back(row.lemma);
    w.upos.push_back(row.upos);
    w.xpos.push_back(row.xpos);
    w.feats.push_back(row.feats);
    w.head.push_back(row.head);
    w.deprel.push_back(row.deprel);
    w.deps.push_back(row.deps);
    w.misc.push_back(row.misc);
    w.start_char.push_back(row.start_char);
    w.end_char.push_back(row.end_char);
    w.manual_expansion.push_back(row.manual_expansion);
    w.morphemes.push_back(std::move(row.morphemes));
    w.coref.emplace_back();
  } catch (...) {
    detail::truncate_word_rows(w, before);
    throw;
  }
  return static_cast<std::uint32_t>(before);
}

// The token row is complete except for word_end, which follows its words.
std::uint32_t append_token_row(DocumentStorage& d, const TokenInput& t, std::uint32_t sentence) {
  TokenColumns& c = d.tokens;
  const auto row = static_cast<std::uint32_t>(c.text.size());
  const auto first_word = static_cast<std::uint32_t>(d.words.text.size());
  c.sentence.push_back(sentence);
  c.id_start.push_back(t.id_start);
  c.id_end.push_back(t.id_end);
  c.word_begin.push_back(first_word);
  c.word_end.push_back(first_word);
  c.text.push_back(d.pool.intern(t.text));
  c.misc.push_back(d.pool.intern_optional(t.misc));
  c.ner.push_back(d.pool.intern_optional(t.ner));
  c.multi_ner.push_back(intern_all(d.pool, t.multi_ner));
  c.start_char.push_back(offset_cell(t.start_char));
  c.end_char.push_back(offset_cell(t.end_char));
  c.manual_expansion.push_back(flag_cell(t.manual_expansion));
  c.spaces_before.push_back(d.pool.intern(t.spaces_before));
  c.spaces_after.push_back(d.pool.intern(t.spaces_after));
  return row;
}

void check_token(const TokenInput& t) {
  if (t.id_start < 1 || t.id_start > t.id_end)
    throw std::invalid_argument("a token has an invalid ID range");
  if (t.text.empty()) throw std::invalid_argument("a token must have non-empty text");
}

void check_regular_word(const WordInput& w) {
  if (w.id < 1 || w.empty_index || w.text.empty())
    throw std::invalid_argument("a word must have a positive ID and non-empty text");
}

void check_empty_word(const WordInput& w) {
  if (w.id >= 0 && w.empty_index && *w.empty_index >= 1 && !w.text.empty()) return;
  throw std::invalid_argument(
      "an empty word requires a nonnegative ID, positive empty index, and non-empty text; got id=" +
      std::to_string(w.id) +
      ", empty_index=" + (w.empty_index ? std::to_string(*w.empty_index) : std::string("none")) +
      ", text_size=" + std::to_string(w.text.size()));
}

void append_words_of_token(DocumentStorage& d, const TokenInput& t, std::uint32_t sentence,
                           std::uint32_t token_row) {
  const bool lends_offsets = t.words.size() == 1;
  for (const WordInput& w : t.words) {
    check_regular_word(w);
    detail::ensure_row_room(d.words.text.size(), "words");
    WordRow row = intern_word(d.pool, w, sentence, token_row);
    if (lends_offsets) {
      if (!w.start_char) row.start_char = offset_cell(t.start_char);
      if (!w.end_char) row.end_char = offset_cell(t.end_char);
    }
    append_word_row(d.words, std::move(row));
  }
  d.tokens.word_end[token_row] = static_cast<std::uint32_t>(d.words.text.size());
}

// The record's text, else the document slice covered by the tokens' offsets,
// else the token texts joined with their recorded whitespace.
std::uint32_t sentence_text(DocumentStorage& d, const SentenceInput& s) {
  if (s.text) return d.pool.intern(*s.text);
  if (s.tokens.empty()) return kNoIndex;
  const TokenInput& first = s.tokens.front();
  const TokenInput& last = s.tokens.back();
  if (first.start_char && last.end_char &&
      offsets_inside(*first.start_char, *last.end_char, d.text.codepoint_count()))
    return d.pool.intern(d.text.slice(*first.start_char, *last.end_char));
  std::string joined = first.text;
  for (std::size_t i = 1; i < s.tokens.size(); ++i) {
    joined += s.tokens[i].spaces_before;
    joined += s.tokens[i].text;
  }
  joined += last.spaces_after;
  return d.pool.intern(joined);
}

void append_sentence_row(DocumentStorage& d, const SentenceInput& s, std::size_t index) {
  SentenceColumns& c = d.sentences;
  c.token_offsets.push_back(static_cast<std::uint32_t>(d.tokens.text.size()));
  c.word_offsets.push_back(static_cast<std::uint32_t>(d.words.text.size()));
  c.text.push_back(sentence_text(d, s));
  c.sent_id.push_back(d.pool.intern(s.sent_id ? *s.sent_id : std::to_string(index)));
  c.speaker.push_back(d.pool.intern_optional(s.speaker));
  c.doc_id.push_back(d.pool.intern_optional(s.doc_id));
  c.sentiment.push_back(int_cell(s.sentiment));
  c.comments.push_back(intern_all(d.pool, s.comments));
  c.constituency.emplace_back();
}

// Whitespace around tokens with usable offsets is read from the text itself.
void derive_whitespace(DocumentStorage& d) {
  const std::uint64_t n = d.text.codepoint_count();
  TokenColumns& t = d.tokens;
  const std::size_t count = t.text.size();
  if (n == 0 || count == 0) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t start = t.start_char[i];
    const std::uint32_t end = t.end_char[i];
    if (!offsets_inside(start, end, n)) continue;
    if (i == 0) t.spaces_before[0] = d.pool.intern(d.text.slice(0, start));
    std::uint64_t upper = n;
    if (i + 1 < count && t.start_char[i + 1] != kNoIndex) upper = t.start_char[i + 1];
    if (upper >= end) t.spaces_after[i] = d.pool.intern(d.text.slice(end, upper));
  }
}

void reserve_rows(DocumentStorage& d, const std::vector<SentenceInput>& sentences) {
  std::size_t tokens = 0, words = 0;
  for (const SentenceInput& s : sentences) {
    tokens += s.tokens.size();
    words += s.empty_words.size();
    for (const TokenInput& t : s.tokens) words += t.words.size();
  }
  const auto reserve = [](auto& column, std::size_t n) { column.reserve(n); };
  SentenceColumns& sc = d.sentences;
  for (auto* c : {&sc.token_offsets, &sc.word_offsets}) reserve(*c, sentences.size() + 1);
  for (auto* c : {&sc.text, &sc.sent_id, &sc.speaker, &sc.doc_id}) reserve(*c, sentences.size());
  reserve(sc.sentiment, sentences.size());
  reserve(sc.comments, sentences.size());
  reserve(sc.constituency, sentences.size());
  TokenColumns& tc = d.tokens;
  for (auto* c : {&tc.sentence, &tc.word_begin, &tc.word_end, &tc.text, &tc.misc, &tc.ner,
                  &tc.start_char, &tc.end_char, &tc.spaces_before, &tc.spaces_after})
    reserve(*c, tokens);
  reserve(tc.id_start, tokens), reserve(tc.id_end, tokens), reserve(tc.multi_ner, tokens);
  reserve(tc.manual_expansion, tokens);
  WordColumns& wc = d.words;
  for (auto* c : {&wc.sentence, &wc.parent_token, &wc.text, &wc.lemma, &wc.upos, &wc.xpos,
                  &wc.feats, &wc.deprel, &wc.deps, &wc.misc, &wc.start_char, &wc.end_char})
    reserve(*c, words);
  reserve(wc.id, words), reserve(wc.empty_index, words), reserve(wc.head, words);
  reserve(wc.manual_expansion, words), reserve(wc.morphemes, words), reserve(wc.coref, words);
}

// The rows of one sentence record, appended as sentence `index`.
void append_sentence(DocumentStorage& d, const SentenceInput& record, std::size_t index) {
  detail::ensure_row_room(index, "sentences");
  const auto sentence = static_cast<std::uint32_t>(index);
  const auto words_before = static_cast<std::uint32_t>(d.words.text.size());
  for (const TokenInput& token : record.tokens) {
    check_token(token);
    detail::ensure_row_room(d.tokens.text.size(), "tokens");
    const std::uint32_t row = append_token_row(d, token, sentence);
    append_words_of_token(d, token, sentence, row);
  }
  append_sentence_row(d, record, index);
  d.sentences.empty_words.emplace_back();
  if (static_cast<std::uint32_t>(d.words.text.size()) < words_before)
    throw std::logic_error("invalid word offsets");
}

// After the last sentence: the empty words (stored after every regular
// word), derived whitespace and entity spans.
void finish_tables(DocumentStorage& d, const std::vector<std::vector<WordInput>>& empty_words) {
  d.num_words = d.words.text.size();
  for (std::size_t s = 0; s < empty_words.size(); ++s)
    for (const WordInput& word : empty_words[s]) d.add_empty_word(static_cast<std::uint32_t>(s), word);
  d.built_word_count = d.words.text.size();
  derive_whitespace(d);
  d.rebuild_entities();
}

// Empties every table, back to the state of a storage made from its text
// alone. Allocates nothing: clearing keeps capacity, and the offset columns
// held an entry before.
void clear_tables(DocumentStorage& d) noexcept {
  const auto clear = [](auto&... columns) { (columns.clear(), ...); };
  SentenceColumns& sc = d.sentences;
  clear(sc.token_offsets, sc.word_offsets, sc.empty_words, sc.span_offsets, sc.text, sc.sent_id, sc.speaker,
        sc.doc_id, sc.sentiment, sc.comments, sc.constituency);
  for (auto* offsets : {&sc.token_offsets, &sc.word_offsets, &sc.span_offsets}) offsets->push_back(0);
  TokenColumns& tc = d.tokens;
  clear(tc.sentence, tc.id_start, tc.id_end, tc.word_begin, tc.word_end, tc.text, tc.misc, tc.ner, tc.multi_ner,
        tc.start_char, tc.end_char, tc.manual_expansion, tc.spaces_before, tc.spaces_after);
  detail::truncate_word_rows(d.words, 0);
  SpanColumns& pc = d.spans;
  clear(pc.sentence, pc.token_begin, pc.token_end, pc.word_begin, pc.word_end, pc.text, pc.type, pc.start_char,
        pc.end_char);
  d.num_words = 0;
  d.built_word_count = 0;
}

}  // namespace

DocumentStorage::DocumentStorage(std::string document_text) : text(std::move(document_text)) {}

DocumentStorage::DocumentStorage(Utf8Text document_text) : text(std::move(document_text)) {}

void DocumentStorage::build(const std::vector<SentenceInput>& input) {
  detail::StorageBuilder builder(*this);
  builder.reserve(input);
  for (const SentenceInput& sentence : input) builder.add(sentence);
  builder.finish();
}

void DocumentStorage::replace(std::vector<SentenceInput> input) {
  const std::optional<std::string> language = pool.optional(lang);
  DocumentStorage fresh(text);
  fresh.build(input);
  fresh.lang = fresh.pool.intern_optional(language);
  *this = std::move(fresh);
}

namespace detail {

StorageBuilder::StorageBuilder(DocumentStorage& storage) : storage_(storage) {
  if (storage.num_sentences() != 0 || storage.num_tokens() != 0 || storage.num_word_rows() != 0 ||
      !storage.sentences.empty_words.empty())
    throw std::logic_error("a document storage can be built only once");
}

// A build abandoned half way (an exception between add calls) leaves no rows.
StorageBuilder::~StorageBuilder() {
  if (state_ != State::kFinished) clear_tables(storage_);
}

void StorageBuilder::reserve(const std::vector<SentenceInput>& sentences) {
  guarded([&] { reserve_rows(storage_, sentences); });
}

void StorageBuilder::add(const SentenceInput& sentence) {
  guarded([&] {
    append_sentence(storage_, sentence, sentences_++);
    empty_words_.push_back(sentence.empty_words);
  });
}

void StorageBuilder::finish() {
  guarded([&] { finish_tables(storage_, empty_words_); });
  state_ = State::kFinished;
  empty_words_.clear();
}

// A failed step empties the tables (half-filled tables would break the
// offset invariants that views and sequences rely on) and ends the build.
template <class Step>
void StorageBuilder::guarded(Step&& step) {
  if (state_ != State::kBuilding) throw std::logic_error("this document build has ended");
  try {
    step();
  } catch (...) {
    clear_tables(storage_);
    state_ = State::kFailed;
    throw;
  }
}

}  // namespace detail

std::uint32_t DocumentStorage::add_empty_word(std::uint32_t sentence, WordInput word) {
  if (sentence >= sentences.empty_words.size())
    throw std::out_of_range("an empty word has an invalid sentence");
  check_empty_word(word);
  std::vector<std::uint32_t>& listed = sentences.empty_words[sentence];
  for (const std::uint32_t row : listed)
    if (words.id[row] == word.id && words.empty_index[row] == *word.empty_index)
      throw std::invalid_argument("an empty word ID is duplicated within a sentence");
  detail::ensure_row_room(words.text.size(), "words");
  listed.reserve(listed.size() + 1);  // so that the push below cannot fail after the row is in
  const std::uint32_t row = append_word_row(words, intern_word(pool, word, sentence, kNoIndex));
  listed.push_back(row);
  return row;
}

void DocumentStorage::reset_generated_empty_words() {
  if (words.text.size() <= built_word_count) return;
  detail::truncate_word_rows(words, built_word_count);
  for (auto& listed : sentences.empty_words)
    std::erase_if(listed, [this](std::uint32_t row) { return row >= built_word_count; });
}

}  // namespace lorvane
