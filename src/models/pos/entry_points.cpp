// The plan's operations: tag a word list, tag the sentences of one document
// or of many documents in batches, and write the tags back to the words.

#include <c10/core/InferenceMode.h>

#include <optional>
#include <utility>

#include "lorvane/document.hpp"
#include "models/pos/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

std::optional<std::string> field_value(const std::string& value) {
  if (value == "_") return std::nullopt;
  return value;
}

void write_pos_tags(const WordSequence& words, const std::vector<POSTag>& tags) {
  if (words.size() != tags.size()) throw POSModelError("POS word and tag counts disagree");
  for (std::size_t k = 0; k < tags.size(); ++k) {
    Word word = words.at(static_cast<std::int64_t>(k));
    word.set_upos(field_value(tags[k].upos));
    word.set_xpos(field_value(tags[k].xpos));
    word.set_feats(field_value(tags[k].feats));
  }
}

std::vector<std::string> word_texts(const WordSequence& words) {
  std::vector<std::string> texts;
  texts.reserve(words.size());
  for (std::uint64_t k = 0; k < words.size(); ++k) texts.push_back(words.at(static_cast<std::int64_t>(k)).text());
  return texts;
}

std::vector<POSTag> tag_sentence(const POSPlan::Impl& impl, const std::vector<std::string>& words) {
  c10::InferenceMode guard(true);
  return impl.tag_encoded(impl.encode(words, nullptr, nullptr), words.size());
}

// The tags of every sentence (an empty list for an empty one), computed
// together: the character language models once over all sentences, then the
// encoder and the heads in length-sorted batches.
std::vector<std::vector<POSTag>> tag_together(const POSPlan::Impl& impl,
                                              const std::vector<std::vector<std::string>>& texts) {
  std::vector<at::Tensor> forward_rows;
  std::vector<at::Tensor> backward_rows;
  if (impl.use_charlm) {
    forward_rows = impl.forward_charlm->encode_many(texts);
    backward_rows = impl.backward_charlm->encode_many(texts);
  }
  c10::InferenceMode guard(true);
  return impl.tag_encoded_many(impl.encode_many(texts, forward_rows, backward_rows), texts);
}

// The sentences of the documents in order, with their word texts.
struct Gathered {
  std::vector<WordSequence> words;
  std::vector<std::vector<std::string>> texts;
};

void gather(const Document& document, Gathered& gathered) {
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t i = 0; i < sentences.size(); ++i) {
    gathered.words.push_back(sentences.at(static_cast<std::int64_t>(i)).words());
    gathered.texts.push_back(word_texts(gathered.words.back()));
  }
}

}  // namespace

std::vector<POSTag> POSPlan::tag(const std::vector<std::string>& words) const try {
  const Impl& impl = detail::loaded_impl(impl_, "POS");
  if (words.empty()) return {};
  return tag_sentence(impl, words);
} catch (...) {
  detail::rethrow_unexpected<POSModelError>();
}

// The sentences are tagged together, as in process_bulk, which gives the
// tags of tagging them one by one (up to float rounding) at a fraction of the
// cost. Should that fail, the document is tagged one sentence after the
// other, writing each sentence before the next is read, so that the failing
// sentence reports its error with the sentences before it tagged.
Document POSPlan::process(Document document) const try {
  const Impl& impl = detail::loaded_impl(impl_, "POS");
  Gathered gathered;
  gather(document, gathered);
  std::vector<std::vector<POSTag>> tags;
  try {
    tags = tag_together(impl, gathered.texts);
  } catch (...) {
    for (std::size_t s = 0; s < gathered.words.size(); ++s) {
      if (!gathered.texts[s].empty()) write_pos_tags(gathered.words[s], tag_sentence(impl, gathered.texts[s]));
    }
    return document;
  }
  for (std::size_t s = 0; s < gathered.words.size(); ++s) write_pos_tags(gathered.words[s], tags[s]);
  return document;
} catch (...) {
  detail::rethrow_unexpected<POSModelError>();
}

std::vector<Document> POSPlan::process_bulk(std::vector<Document> documents) const try {
  const Impl& impl = detail::loaded_impl(impl_, "POS");
  Gathered gathered;
  for (const Document& document : documents) gather(document, gathered);
  const std::vector<std::vector<POSTag>> tags = tag_together(impl, gathered.texts);
  for (std::size_t s = 0; s < gathered.words.size(); ++s) write_pos_tags(gathered.words[s], tags[s]);
  return documents;
} catch (...) {
  detail::rethrow_unexpected<POSModelError>();
}

}  // namespace lorvane
