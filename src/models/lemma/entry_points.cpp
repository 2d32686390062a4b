#include "models/lemma/entry_points.hpp"

#include <utility>

namespace lorvane::detail {

namespace {

// The regular words of some documents in document order, with the texts and
// tags that the rules read.
struct GatheredWords {
  std::vector<WordSequence> documents;
  std::vector<std::string> texts;
  std::vector<std::optional<std::string>> upos;

  void add(const Document& document) {
    documents.push_back(document.words());
    const WordSequence& words = documents.back();
    texts.reserve(texts.size() + words.size());
    upos.reserve(upos.size() + words.size());
    for (std::uint64_t k = 0; k < words.size(); ++k) {
      const Word word = words.at(static_cast<std::int64_t>(k));
      texts.push_back(word.text());
      upos.push_back(word.upos());
    }
  }

  // Gives the j-th word of the walk the j-th lemma.
  void write(std::vector<std::string> lemmas) const {
    std::size_t j = 0;
    for (const WordSequence& words : documents) {
      for (std::uint64_t k = 0; k < words.size(); ++k) {
        words.at(static_cast<std::int64_t>(k)).set_lemma(std::move(lemmas[j++]));
      }
    }
  }
};

}  // namespace

Document lemmatize_document(const LemmaPlan::Impl& plan, Document document, LemmaModelObserver* observer) {
  GatheredWords gathered;
  gathered.add(document);
  std::vector<std::string> lemmas;
  try {
    lemmas = plan.lemmatize_many(gathered.texts, gathered.upos, observer);
  } catch (...) {
    const WordSequence& words = gathered.documents.front();
    for (std::size_t k = 0; k < gathered.texts.size(); ++k) {
      words.at(static_cast<std::int64_t>(k)).set_lemma(plan.lemmatize(gathered.texts[k], gathered.upos[k], observer));
    }
    return document;
  }
  gathered.write(std::move(lemmas));
  return document;
}

std::vector<Document> lemmatize_documents(const LemmaPlan::Impl& plan, std::vector<Document> documents,
                                          LemmaModelObserver* observer) {
  GatheredWords gathered;
  for (const Document& document : documents) gathered.add(document);
  gathered.write(plan.lemmatize_many(gathered.texts, gathered.upos, observer));
  return documents;
}

}  // namespace lorvane::detail
