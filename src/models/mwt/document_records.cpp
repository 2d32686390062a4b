#include "models/mwt/document_records.hpp"

#include <optional>
#include <utility>

namespace lorvane::detail {
namespace {

std::optional<std::string> optional_string(const DocumentStorage& d, std::uint32_t id) {
  return d.pool.optional(id);
}

std::optional<std::int32_t> optional_int(std::int32_t cell) {
  if (cell == kAbsentInt) return std::nullopt;
  return cell;
}

std::optional<std::uint32_t> optional_offset(std::uint32_t cell) {
  if (cell == kNoIndex) return std::nullopt;
  return cell;
}

std::optional<bool> optional_flag(std::int8_t cell) {
  if (cell < 0) return std::nullopt;
  return cell != 0;
}

WordInput word_input(const DocumentStorage& d, std::uint32_t row) {
  const WordColumns& c = d.words;
  WordInput w;
  w.id = c.id[row];
  w.empty_index = optional_int(c.empty_index[row]);
  w.text = d.pool.get(c.text[row]);
  w.lemma = optional_string(d, c.lemma[row]);
  w.upos = optional_string(d, c.upos[row]);
  w.xpos = optional_string(d, c.xpos[row]);
  w.feats = optional_string(d, c.feats[row]);
  w.head = optional_int(c.head[row]);
  w.deprel = optional_string(d, c.deprel[row]);
  w.deps = optional_string(d, c.deps[row]);
  w.misc = optional_string(d, c.misc[row]);
  w.start_char = optional_offset(c.start_char[row]);
  w.end_char = optional_offset(c.end_char[row]);
  w.manual_expansion = optional_flag(c.manual_expansion[row]);
  w.morphemes = pool_strings(d, c.morphemes[row]);
  return w;
}

TokenInput token_input(const DocumentStorage& d, std::uint32_t row) {
  const TokenColumns& c = d.tokens;
  TokenInput t;
  t.id_start = c.id_start[row];
  t.id_end = c.id_end[row];
  t.text = d.pool.get(c.text[row]);
  t.misc = optional_string(d, c.misc[row]);
  t.ner = optional_string(d, c.ner[row]);
  t.multi_ner = pool_strings(d, c.multi_ner[row]);
  t.start_char = optional_offset(c.start_char[row]);
  t.end_char = optional_offset(c.end_char[row]);
  t.manual_expansion = optional_flag(c.manual_expansion[row]);
  t.spaces_before = d.pool.get(c.spaces_before[row]);
  t.spaces_after = d.pool.get(c.spaces_after[row]);
  t.words.reserve(c.word_end[row] - c.word_begin[row]);
  for (std::uint32_t w = c.word_begin[row]; w < c.word_end[row]; ++w) t.words.push_back(word_input(d, w));
  return t;
}

SentenceInput sentence_input(const DocumentStorage& d, std::uint32_t s) {
  const SentenceColumns& c = d.sentences;
  SentenceInput sentence;
  sentence.text = optional_string(d, c.text[s]);
  sentence.sent_id = optional_string(d, c.sent_id[s]);
  sentence.speaker = optional_string(d, c.speaker[s]);
  sentence.doc_id = optional_string(d, c.doc_id[s]);
  sentence.sentiment = optional_int(c.sentiment[s]);
  sentence.comments = pool_strings(d, c.comments[s]);
  sentence.tokens.reserve(c.token_offsets[s + 1] - c.token_offsets[s]);
  for (std::uint32_t t = c.token_offsets[s]; t < c.token_offsets[s + 1]; ++t) {
    sentence.tokens.push_back(token_input(d, t));
  }
  sentence.empty_words.reserve(c.empty_words[s].size());
  for (const std::uint32_t row : c.empty_words[s]) sentence.empty_words.push_back(word_input(d, row));
  return sentence;
}

}  // namespace

std::vector<std::string> pool_strings(const DocumentStorage& storage, const std::vector<std::uint32_t>& ids) {
  std::vector<std::string> strings;
  strings.reserve(ids.size());
  for (const std::uint32_t id : ids) strings.push_back(storage.pool.get(id));
  return strings;
}

std::vector<SentenceInput> to_sentence_inputs(const Document& document) {
  const DocumentStorage& d = *document.storage();
  std::vector<SentenceInput> sentences;
  sentences.reserve(d.num_sentences());
  for (std::uint32_t s = 0; s < d.num_sentences(); ++s) sentences.push_back(sentence_input(d, s));
  return sentences;
}

}  // namespace lorvane::detail
