#include "lorvane/coref.hpp"

#include <stdexcept>
#include <utility>

#include "lorvane/document.hpp"

namespace lorvane {
namespace {

// One link to be written: word row, chain position in the new chain list and
// the attachment flags.
struct PlannedAttachment {
  std::uint32_t row;
  std::uint32_t chain;
  bool is_start;
  bool is_end;
  bool is_representative;
};

// The row of the sentence's empty word id.empty_index, first in list order.
std::uint32_t find_empty_word(const DocumentStorage& storage, std::uint32_t sentence, std::int32_t id,
                              std::int32_t empty_index) {
  for (std::uint32_t row : storage.sentences.empty_words[sentence]) {
    if (storage.words.id[row] == id && storage.words.empty_index[row] == empty_index) return row;
  }
  throw std::out_of_range("a zero coreference mention has no matching empty word");
}

// Checks one mention against the document and appends the links it makes.
void plan_mention(const DocumentStorage& storage, const CorefMention& mention, std::uint32_t chain,
                  bool is_representative, std::vector<PlannedAttachment>& plan) {
  const std::int32_t sentence = mention.sentence();
  if (sentence < 0 || static_cast<std::uint64_t>(sentence) >= storage.num_sentences()) {
    throw std::out_of_range("a coreference mention has an invalid sentence index");
  }
  const auto s = static_cast<std::uint32_t>(sentence);
  const CorefWordPosition start = mention.start_word();
  const CorefWordPosition end = mention.end_word();
  if (start.empty_index) {
    if (!end.empty_index || end.word != start.word || *end.empty_index != *start.empty_index) {
      throw std::out_of_range("a zero coreference mention must name one empty word");
    }
    // A zero mention is never the representative: it has no surface text.
    plan.push_back({find_empty_word(storage, s, start.word, *start.empty_index), chain, true, true, false});
    return;
  }
  if (end.empty_index) throw std::out_of_range("a zero coreference mention must name one empty word");
  const std::uint32_t first_row = storage.sentences.word_offsets[s];
  const std::int64_t regular_words = static_cast<std::int64_t>(storage.sentences.word_offsets[s + 1]) - first_row;
  if (start.word < 0 || start.word > end.word || end.word > regular_words) {
    throw std::out_of_range("a coreference mention has an invalid word range");
  }
  for (std::int32_t p = start.word; p < end.word; ++p) {
    plan.push_back({first_row + static_cast<std::uint32_t>(p), chain, p == start.word, p + 1 == end.word,
                    is_representative});
  }
}

}  // namespace

CorefMention::CorefMention(int sentence, CorefWordPosition start_word, CorefWordPosition end_word)
    : sentence_(sentence), start_word_(start_word), end_word_(end_word) {
  if (sentence < 0) throw std::invalid_argument("a coreference mention sentence index cannot be negative");
}

CorefChain::CorefChain(int index, std::vector<CorefMention> mentions, std::string representative_text,
                       std::optional<int> representative_index)
    : index_(index),
      mentions_(std::move(mentions)),
      representative_text_(std::move(representative_text)),
      representative_index_(representative_index) {
  if (index < 0) throw std::invalid_argument("a coreference chain index cannot be negative");
  if (representative_index &&
      (*representative_index < 0 || static_cast<std::size_t>(*representative_index) >= mentions_.size())) {
    throw std::invalid_argument("the representative coreference mention index is invalid");
  }
}

CorefAttachment::CorefAttachment(std::shared_ptr<const CorefChain> chain, bool is_start, bool is_end,
                                 bool is_representative)
    : chain_(std::move(chain)), is_start_(is_start), is_end_(is_end), is_representative_(is_representative) {}

// Every mention is checked before anything is written, and the new values
// are assembled aside and swapped in, so a failure leaves the previous chains
// and attachments untouched.
void DocumentStorage::set_coref(const std::vector<CorefChain>& chains) {
  std::vector<std::shared_ptr<const CorefChain>> new_chains;
  new_chains.reserve(chains.size());
  std::vector<PlannedAttachment> plan;
  for (const CorefChain& chain : chains) {
    const auto position = static_cast<std::uint32_t>(new_chains.size());
    const auto& mentions = chain.mentions();
    const auto representative = chain.representative_index();
    for (std::size_t k = 0; k < mentions.size(); ++k) {
      const bool is_representative = representative && static_cast<std::size_t>(*representative) == k;
      plan_mention(*this, mentions[k], position, is_representative, plan);
    }
    new_chains.push_back(std::make_shared<const CorefChain>(chain));
  }

  std::vector<std::vector<CorefAttachment>> new_column(num_word_rows());
  for (const PlannedAttachment& link : plan) {
    new_column[link.row].emplace_back(new_chains[link.chain], link.is_start, link.is_end, link.is_representative);
  }
  words.coref.swap(new_column);
  coref_chains.swap(new_chains);
}

void Document::set_coref(const std::vector<CorefChain>& chains) { storage_->set_coref(chains); }

}  // namespace lorvane
