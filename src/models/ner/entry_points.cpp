// The plan's public operations and the write-back of tags into documents.

#include <exception>
#include <utility>

#include "lorvane/document.hpp"
#include "models/ner/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

std::vector<std::vector<std::string>> token_texts(const SentenceSequence& sentences) {
  std::vector<std::vector<std::string>> texts(sentences.size());
  for (std::size_t s = 0; s < texts.size(); ++s) {
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    texts[s].reserve(tokens.size());
    for (std::uint64_t t = 0; t < tokens.size(); ++t) texts[s].push_back(tokens.at(static_cast<std::int64_t>(t)).text());
  }
  return texts;
}

// Each tag as the token's NER tag and as its one-element multi-NER list.
void write_tags(const Sentence& sentence, const std::vector<std::string>& tags) {
  const TokenSequence tokens = sentence.tokens();
  for (std::size_t t = 0; t < tags.size(); ++t) {
    Token token = tokens.at(static_cast<std::int64_t>(t));
    token.set_ner(tags[t]);
    token.set_multi_ner({tags[t]});
  }
}

}  // namespace

NERPlan::NERPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NERPlan::NERPlan(NERPlan&& other) noexcept = default;
NERPlan& NERPlan::operator=(NERPlan&& other) noexcept = default;
NERPlan::~NERPlan() = default;

const ModelBundle& NERPlan::bundle() const { return *detail::loaded_impl(impl_, "NER").bundle; }

std::vector<std::string> NERPlan::tag(const std::vector<std::string>& tokens) const try {
  return detail::loaded_impl(impl_, "NER").tag(tokens);
} catch (...) {
  detail::rethrow_unexpected<NERModelError>();
}

// Sentences are tagged in batches and written once all are tagged. Should
// tagging fail, the sentences are tagged again one by one and written as
// they come, so the error leaves with every earlier sentence written, as a
// sentence-by-sentence run would leave the document.
Document NERPlan::process(Document document) const try {
  const Impl& impl = detail::loaded_impl(impl_, "NER");
  const SentenceSequence sentences = document.sentences();
  const std::vector<std::vector<std::string>> texts = token_texts(sentences);
  std::vector<std::vector<std::string>> tags;
  try {
    tags = impl.tag_many(texts);
  } catch (const std::exception&) {
    tags.clear();
    for (std::size_t s = 0; s < texts.size(); ++s) {
      write_tags(sentences.at(static_cast<std::int64_t>(s)), impl.tag(texts[s]));
    }
  }
  for (std::size_t s = 0; s < tags.size(); ++s) write_tags(sentences.at(static_cast<std::int64_t>(s)), tags[s]);
  document.rebuild_entities();
  return document;
} catch (...) {
  detail::rethrow_unexpected<NERModelError>();
}

}  // namespace lorvane
