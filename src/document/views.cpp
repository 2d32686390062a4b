#include <algorithm>
#include <stdexcept>
#include <utility>

#include "document/storage_rows.hpp"
#include "lorvane/document.hpp"

namespace lorvane {

namespace {

std::optional<std::uint32_t> offset_value(std::uint32_t cell) noexcept {
  if (cell == kNoIndex) return std::nullopt;
  return cell;
}

std::optional<std::int32_t> int_value(std::int32_t cell) noexcept {
  if (cell == kAbsentInt) return std::nullopt;
  return cell;
}

std::optional<bool> flag_value(std::int8_t cell) noexcept {
  if (cell < 0) return std::nullopt;
  return cell != 0;
}

std::vector<std::string> strings_of(const StringPool& pool, const std::vector<std::uint32_t>& ids) {
  std::vector<std::string> out;
  out.reserve(ids.size());
  for (const std::uint32_t id : ids) out.push_back(pool.get(id));
  return out;
}

// Rows [begin, end) as a step-1 range; the size is computed in uint32.
SequenceRange rows_between(std::uint32_t begin, std::uint32_t end) noexcept {
  return SequenceRange{begin, 1, static_cast<std::uint32_t>(end - begin)};
}

bool view_storage_missing(const std::shared_ptr<DocumentStorage>& storage) noexcept { return !storage; }

}  // namespace

// --- Document --------------------------------------------------------------

Document::Document(std::string text) : storage_(std::make_shared<DocumentStorage>(std::move(text))) {}

Document::Document(std::shared_ptr<DocumentStorage> storage) : storage_(std::move(storage)) {
  if (!storage_) throw std::invalid_argument("a document storage pointer cannot be null");
}

Document::Document(std::string text, std::vector<SentenceInput> sentences)
    : storage_(std::make_shared<DocumentStorage>(std::move(text))) {
  storage_->build(sentences);
}

std::optional<std::string> Document::lang() const { return storage_->pool.optional(storage_->lang); }

void Document::set_lang(const std::optional<std::string>& lang) {
  storage_->lang = storage_->pool.intern_optional(lang);
}

SentenceSequence Document::sentences() const {
  return SentenceSequence(storage_, SequenceRange{0, 1, storage_->num_sentences()});
}

TokenSequence Document::tokens() const {
  return TokenSequence(storage_, SequenceRange{0, 1, storage_->num_tokens()});
}

WordSequence Document::words() const {
  return WordSequence(storage_, SequenceRange{0, 1, storage_->num_words});
}

SpanSequence Document::ents() const {
  return SpanSequence(storage_, SequenceRange{0, 1, storage_->num_spans()});
}

// --- Sentence --------------------------------------------------------------

Sentence::Sentence(std::shared_ptr<DocumentStorage> storage, std::uint32_t index)
    : storage_(std::move(storage)), index_(index) {
  checked();
}

DocumentStorage& Sentence::checked() const {
  if (view_storage_missing(storage_) || index_ >= storage_->num_sentences())
    throw std::out_of_range("invalid sentence view");
  return *storage_;
}

std::string Sentence::text() const {
  const DocumentStorage& d = checked();
  const std::uint32_t id = d.sentences.text[index_];
  return id == kNoIndex ? std::string() : d.pool.get(id);
}

std::optional<std::string> Sentence::sent_id() const {
  const DocumentStorage& d = checked();
  return d.pool.optional(d.sentences.sent_id[index_]);
}

std::optional<std::string> Sentence::speaker() const {
  const DocumentStorage& d = checked();
  return d.pool.optional(d.sentences.speaker[index_]);
}

std::optional<std::string> Sentence::doc_id() const {
  const DocumentStorage& d = checked();
  return d.pool.optional(d.sentences.doc_id[index_]);
}

std::optional<int> Sentence::sentiment() const { return int_value(checked().sentences.sentiment[index_]); }

void Sentence::set_sentiment(std::optional<int> sentiment) {
  checked().sentences.sentiment[index_] = detail::int_cell(sentiment);
}

std::vector<std::string> Sentence::comments() const {
  const DocumentStorage& d = checked();
  return strings_of(d.pool, d.sentences.comments[index_]);
}

Document Sentence::doc() const {
  checked();
  return Document(storage_);
}

TokenSequence Sentence::tokens() const {
  const auto& offsets = checked().sentences.token_offsets;
  return TokenSequence(storage_, rows_between(offsets[index_], offsets[index_ + 1]));
}

WordSequence Sentence::words() const {
  const auto& offsets = checked().sentences.word_offsets;
  return WordSequence(storage_, rows_between(offsets[index_], offsets[index_ + 1]));
}

SpanSequence Sentence::ents() const {
  const auto& offsets = checked().sentences.span_offsets;
  return SpanSequence(storage_, rows_between(offsets[index_], offsets[index_ + 1]));
}

WordSequence Sentence::empty_words() const {
  return WordSequence(storage_, checked().sentences.empty_words[index_]);
}

WordSequence Sentence::all_words() const {
  const DocumentStorage& d = checked();
  const std::uint32_t first = d.sentences.word_offsets[index_];
  const std::uint32_t last = d.sentences.word_offsets[index_ + 1];
  const auto& empty = d.sentences.empty_words[index_];
  std::vector<std::uint32_t> rows;
  rows.reserve(static_cast<std::size_t>(last - first) + empty.size());
  for (std::uint32_t row = first; row < last; ++row) rows.push_back(row);
  rows.insert(rows.end(), empty.begin(), empty.end());
  const auto key = [&d](std::uint32_t row) {
    return std::pair<std::int32_t, std::int32_t>(d.words.id[row], d.words.empty_index[row]);
  };
  std::stable_sort(rows.begin(), rows.end(),
                   [&key](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  return WordSequence(storage_, std::move(rows));
}

std::optional<ConstituencyTree> Sentence::constituency() const {
  const auto& node = checked().sentences.constituency[index_];
  if (!node) return std::nullopt;
  return ConstituencyTree(node);
}

void Sentence::set_constituency(const std::optional<ConstituencyTree>& tree) {
  checked().sentences.constituency[index_] = tree ? tree->node() : nullptr;
}

// --- Token -----------------------------------------------------------------

Token::Token(std::shared_ptr<DocumentStorage> storage, std::uint32_t index)
    : storage_(std::move(storage)), index_(index) {
  checked();
}

DocumentStorage& Token::checked() const {
  if (view_storage_missing(storage_) || index_ >= storage_->num_tokens())
    throw std::out_of_range("invalid token view");
  return *storage_;
}

std::pair<std::int32_t, std::int32_t> Token::id_range() const {
  const DocumentStorage& d = checked();
  return {d.tokens.id_start[index_], d.tokens.id_end[index_]};
}

std::string Token::text() const {
  const DocumentStorage& d = checked();
  return d.pool.get(d.tokens.text[index_]);
}

void Token::set_text(std::string text) {
  DocumentStorage& d = checked();
  if (text.empty()) throw std::invalid_argument("a token must have non-empty text");
  d.tokens.text[index_] = d.pool.intern(text);
}

std::optional<std::string> Token::misc() const {
  const DocumentStorage& d = checked();
  return d.pool.optional(d.tokens.misc[index_]);
}

void Token::set_misc(const std::optional<std::string>& misc) {
  DocumentStorage& d = checked();
  d.tokens.misc[index_] = d.pool.intern_optional(misc);
}

std::optional<std::string> Token::ner() const {
  const DocumentStorage& d = checked();
  return d.pool.optional(d.tokens.ner[index_]);
}

void Token::set_ner(const std::optional<std::string>& ner) {
  DocumentStorage& d = checked();
  d.tokens.ner[index_] = d.pool.intern_optional(ner);
}

std::vector<std::string> Token::multi_ner() const {
  const DocumentStorage& d = checked();
  return strings_of(d.pool, d.tokens.multi_ner[index_]);
}

void Token::set_multi_ner(const std::vector<std::string>& tags) {
  DocumentStorage& d = checked();
  d.tokens.multi_ner[index_] = intern_all(d.pool, tags);
}

std::optional<std::uint32_t> Token::start_char() const { return offset_value(checked().tokens.start_char[index_]); }

std::optional<std::uint32_t> Token::end_char() const { return offset_value(checked().tokens.end_char[index_]); }

std::optional<bool> Token::manual_expansion() const {
  return flag_value(checked().tokens.manual_expansion[index_]);
}

void Token::set_manual_expansion(std::optional<bool> value) {
  checked().tokens.manual_expansion[index_] = detail::flag_cell(value);
}

std::string Token::spaces_before() const {
  const DocumentStorage& d = checked();
  return d.pool.get(d.tokens.spaces_before[index_]);
}

void Token::set_spaces_before(std::string spaces) {
  DocumentStorage& d = checked();
  d.tokens.spaces_before[index_] = d.pool.intern(spaces);
}

std::string Token::spaces_after() const {
  const DocumentStorage& d = checked();
  return d.pool.get(d.tokens.spaces_after[index_]);
}

void Token::set_spaces_after(std::string spaces) {
  DocumentStorage& d = checked();
  d.tokens.spaces_after[index_] = d.pool.intern(spaces);
}

bool Token::is_mwt() const {
  const DocumentStorage& d = checked();
  const std::uint32_t begin = d.tokens.word_begin[index_];
  const std::uint32_t end = d.tokens.word_end[index_];
  return end > begin && end - begin > 1;
}

WordSequence Token::words() const {
  const DocumentStorage& d = checked();
  return WordSequence(storage_, rows_between(d.tokens.word_begin[index_], d.tokens.word_end[index_]));
}

Sentence Token::sent() const { return Sentence(storage_, checked().tokens.sentence[index_]); }

// --- Word ------------------------------------------------------------------

Word::Word(std::shared_ptr<DocumentStorage> storage, std::uint32_t index, std::uint32_t sentence)
    : storage_(std::move(storage)), index_(index), sentence_(sentence) {
  if (view_storage_missing(storage_) || (index_ == kNoIndex && sentence_ == kNoIndex) ||
      (index_ != kNoIndex && index_ >= storage_->num_word_rows()))
    throw std::out_of_range("invalid word view");
}

DocumentStorage& Word::checked() const {
  if (view_storage_missing(storage_) || index_ >= storage_->num_word_rows())
    throw std::out_of_range("invalid word view");
  return *storage_;
}

DocumentStorage& Word::checked_mutable() const {
  if (is_root()) throw std::logic_error("the synthetic ROOT word is immutable");
  return checked();
}

std::int32_t Word::id() const { return is_root() ? 0 : checked().words.id[index_]; }

std::optional<std::int32_t> Word::empty_index() const {
  if (is_root()) return std::nullopt;
  return int_value(checked().words.empty_index[index_]);
}

std::string Word::text() const {
  if (is_root()) return "ROOT";
  const DocumentStorage& d = checked();
  return d.pool.get(d.words.text[index_]);
}

#define LORVANE_WORD_OPTIONAL_STRING(name)                      \
  std::optional<std::string> Word::name() const {               \
    if (is_root()) return std::nullopt;                         \
    const DocumentStorage& d = checked();                       \
    return d.pool.optional(d.words.name[index_]);               \
  }                                                             \
  void Word::set_##name(const std::optional<std::string>& value) { \
    DocumentStorage& d = checked_mutable();                     \
    d.words.name[index_] = d.pool.intern_optional(value);       \
  }

LORVANE_WORD_OPTIONAL_STRING(lemma)
LORVANE_WORD_OPTIONAL_STRING(upos)
LORVANE_WORD_OPTIONAL_STRING(xpos)
LORVANE_WORD_OPTIONAL_STRING(feats)
LORVANE_WORD_OPTIONAL_STRING(deprel)
LORVANE_WORD_OPTIONAL_STRING(deps)
LORVANE_WORD_OPTIONAL_STRING(misc)

#undef LORVANE_WORD_OPTIONAL_STRING

std::optional<std::int32_t> Word::head() const {
  if (is_root()) return std::nullopt;
  return int_value(checked().words.head[index_]);
}

std::optional<std::uint32_t> Word::start_char() const {
  if (is_root()) return std::nullopt;
  return offset_value(checked().words.start_char[index_]);
}

std::optional<std::uint32_t> Word::end_char() const {
  if (is_root()) return std::nullopt;
  return offset_value(checked().words.end_char[index_]);
}

std::optional<bool> Word::manual_expansion() const {
  if (is_root()) return std::nullopt;
  return flag_value(checked().words.manual_expansion[index_]);
}

std::vector<std::string> Word::morphemes() const {
  if (is_root()) return {};
  const DocumentStorage& d = checked();
  return strings_of(d.pool, d.words.morphemes[index_]);
}

std::vector<CorefAttachment> Word::coref_chains() const {
  if (is_root()) return {};
  return checked().words.coref[index_];
}

Sentence Word::sent() const {
  if (is_root()) return Sentence(storage_, sentence_);
  return Sentence(storage_, checked().words.sentence[index_]);
}

std::optional<Token> Word::parent() const {
  if (is_root()) return std::nullopt;
  const std::uint32_t token = checked().words.parent_token[index_];
  if (token == kNoIndex) return std::nullopt;
  return Token(storage_, token);
}

void Word::set_text(std::string text) {
  DocumentStorage& d = checked_mutable();
  if (text.empty()) throw std::invalid_argument("a word must have non-empty text");
  d.words.text[index_] = d.pool.intern(text);
}

void Word::set_head(std::optional<int> head) { checked_mutable().words.head[index_] = detail::int_cell(head); }

void Word::set_morphemes(const std::vector<std::string>& morphemes) {
  DocumentStorage& d = checked_mutable();
  d.words.morphemes[index_] = intern_all(d.pool, morphemes);
}

// --- Span ------------------------------------------------------------------

Span::Span(std::shared_ptr<DocumentStorage> storage, std::uint32_t index)
    : storage_(std::move(storage)), index_(index) {
  checked();
}

DocumentStorage& Span::checked() const {
  if (view_storage_missing(storage_) || index_ >= storage_->num_spans())
    throw std::out_of_range("invalid span view");
  return *storage_;
}

std::string Span::text() const {
  const DocumentStorage& d = checked();
  return d.pool.get(d.spans.text[index_]);
}

std::string Span::type() const {
  const DocumentStorage& d = checked();
  return d.pool.get(d.spans.type[index_]);
}

std::optional<std::uint32_t> Span::start_char() const { return offset_value(checked().spans.start_char[index_]); }

std::optional<std::uint32_t> Span::end_char() const { return offset_value(checked().spans.end_char[index_]); }

TokenSequence Span::tokens() const {
  const DocumentStorage& d = checked();
  return TokenSequence(storage_, rows_between(d.spans.token_begin[index_], d.spans.token_end[index_]));
}

WordSequence Span::words() const {
  const DocumentStorage& d = checked();
  return WordSequence(storage_, rows_between(d.spans.word_begin[index_], d.spans.word_end[index_]));
}

Sentence Span::sent() const { return Sentence(storage_, checked().spans.sentence[index_]); }

Document Span::doc() const {
  checked();
  return Document(storage_);
}

}  // namespace lorvane
