// The public parsing operations: word and tag lists, documents and lists of
// documents. Sentences are checked, then encoded and parsed in batches of
// similar length; results and failures are reported as a one-by-one run in
// input order would report them.

#include <c10/core/InferenceMode.h>

#include <exception>
#include <utility>

#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "models/constituency/parsing.hpp"
#include "nn/batching.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace detail::constituency {
namespace {

using Impl = ConstituencyPlan::Impl;

// Sentences parsed in lockstep at most: enough rows for the stack LSTMs and
// the scorer to run as matrix products, few enough that sentences of similar
// length share a batch.
constexpr std::size_t kParseBatch = 64;

std::exception_ptr argument_error(const SentenceRef& sentence) {
  if (sentence.words->empty()) {
    return std::make_exception_ptr(ConstituencyModelError("constituency parser cannot parse an empty sentence"));
  }
  if (sentence.tags->size() != sentence.words->size()) {
    return std::make_exception_ptr(ConstituencyModelError("constituency words and tags have different lengths"));
  }
  return nullptr;
}

// Word rows of each sentence, or the failure that encoding it raised. A
// failed batch is encoded again sentence by sentence, so that a failure is
// charged to its own sentence only.
std::vector<at::Tensor> encode_batch(const Impl& impl, const std::vector<SentenceRef>& batch,
                                     std::vector<std::exception_ptr>& errors) {
  std::vector<at::Tensor> rows(batch.size());
  const auto split = [&](const EncodedSentences& encoded, std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto n = static_cast<std::int64_t>(batch[first + i].words->size());
      rows[first + i] = encoded.rows.narrow(0, encoded.offsets[i], n + 2);
    }
  };
  try {
    split(encode_sentences(impl, batch), 0, batch.size());
    return rows;
  } catch (...) {
    if (batch.size() == 1) {
      errors[0] = std::current_exception();
      return rows;
    }
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    try {
      split(encode_sentences(impl, {batch[i]}), i, 1);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  }
  return rows;
}

void parse_batch(const Impl& impl, const std::vector<SentenceRef>& sentences, const std::vector<std::size_t>& members,
                 bool keep_transitions, std::vector<ParseOutcome>& outcomes, ParseTimings* timings) {
  std::vector<SentenceRef> batch;
  batch.reserve(members.size());
  for (const std::size_t index : members) batch.push_back(sentences[index]);
  std::vector<std::exception_ptr> errors(batch.size());
  std::vector<at::Tensor> rows;
  timed(timings ? &timings->word_encoder : nullptr, [&] { rows = encode_batch(impl, batch, errors); });

  std::vector<SentenceRef> encoded;
  std::vector<at::Tensor> encoded_rows;
  std::vector<std::size_t> encoded_members;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (errors[i]) {
      outcomes[members[i]].error = errors[i];
      continue;
    }
    encoded.push_back(batch[i]);
    encoded_rows.push_back(rows[i]);
    encoded_members.push_back(members[i]);
  }
  if (encoded.empty()) return;
  std::vector<ParseOutcome> parsed = parse_encoded(impl, encoded, encoded_rows, keep_transitions, timings);
  for (std::size_t i = 0; i < parsed.size(); ++i) outcomes[encoded_members[i]] = std::move(parsed[i]);
}

std::size_t first_failure(const std::vector<ParseOutcome>& outcomes) {
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].error) return i;
  }
  return outcomes.size();
}

}  // namespace

std::vector<ParseOutcome> parse_sentences(const Impl& impl, const std::vector<SentenceRef>& sentences,
                                          bool keep_transitions, ParseTimings* timings) {
  std::vector<ParseOutcome> outcomes(sentences.size());
  std::size_t checked = 0;
  for (; checked < sentences.size(); ++checked) {
    if (std::exception_ptr error = argument_error(sentences[checked])) {
      outcomes[checked].error = std::move(error);
      break;
    }
  }
  c10::InferenceMode guard;
  std::vector<std::int64_t> lengths;
  lengths.reserve(checked);
  for (std::size_t i = 0; i < checked; ++i) lengths.push_back(static_cast<std::int64_t>(sentences[i].words->size()));
  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& range : cut_batches(order, lengths, kParseBatch, 0)) {
    // Once a sentence has failed, the sentences after it in input order
    // would never be reached one by one: they are left unparsed.
    const std::size_t stop = first_failure(outcomes);
    std::vector<std::size_t> members;
    for (std::size_t position = range.begin; position < range.end; ++position) {
      if (order[position] < stop) members.push_back(order[position]);
    }
    if (!members.empty()) parse_batch(impl, sentences, members, keep_transitions, outcomes, timings);
  }
  return outcomes;
}

void rethrow_first_failure(const std::vector<ParseOutcome>& outcomes) {
  const std::size_t failed = first_failure(outcomes);
  if (failed < outcomes.size()) std::rethrow_exception(outcomes[failed].error);
}

namespace {

// The words and tags of every sentence of a document, in order.
struct DocumentSentences {
  std::vector<std::vector<std::string>> words;
  std::vector<std::vector<std::string>> tags;
};

DocumentSentences gather_sentences(const Document& document, bool uses_xpos) {
  const SentenceSequence sentences = document.sentences();
  DocumentSentences gathered;
  gathered.words.reserve(sentences.size());
  gathered.tags.reserve(sentences.size());
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    const WordSequence words = sentences.at(static_cast<std::int64_t>(s)).words();
    std::vector<std::string>& texts = gathered.words.emplace_back();
    std::vector<std::string>& tags = gathered.tags.emplace_back();
    texts.reserve(words.size());
    tags.reserve(words.size());
    for (std::uint64_t w = 0; w < words.size(); ++w) {
      const Word word = words.at(static_cast<std::int64_t>(w));
      std::optional<std::string> tag = uses_xpos ? word.xpos() : word.upos();
      if (!tag) {
        throw ConstituencyModelError(std::string("constituency requires ") + (uses_xpos ? "XPOS" : "UPOS") +
                                     " on every word");
      }
      texts.push_back(word.text());
      tags.push_back(std::move(*tag));
    }
  }
  return gathered;
}

void append_refs(const DocumentSentences& gathered, std::vector<SentenceRef>& refs) {
  for (std::size_t i = 0; i < gathered.words.size(); ++i) refs.push_back({&gathered.words[i], &gathered.tags[i]});
}

// Stores the trees of outcomes [first, first + sentence count) in the document.
void store_trees(Document& document, std::vector<ParseOutcome>& outcomes, std::size_t first) {
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    sentences.at(static_cast<std::int64_t>(s)).set_constituency(outcomes[first + s].tree);
  }
}

}  // namespace
}  // namespace detail::constituency

namespace cst = detail::constituency;

ConstituencyTree ConstituencyPlan::parse(const std::vector<std::string>& words,
                                         const std::vector<std::string>& tags) const try {
  return detail::loaded_impl(impl_, "constituency").parse(words, tags);
} catch (...) {
  detail::rethrow_unexpected<ConstituencyModelError>();
}

std::vector<ConstituencyTree> ConstituencyPlan::parse_many(const std::vector<std::vector<std::string>>& words,
                                                           const std::vector<std::vector<std::string>>& tags) const try {
  const Impl& impl = detail::loaded_impl(impl_, "constituency");
  if (words.size() != tags.size()) {
    throw ConstituencyModelError("constituency sentence and tag batches have different lengths");
  }
  std::vector<cst::SentenceRef> refs;
  refs.reserve(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) refs.push_back({&words[i], &tags[i]});
  std::vector<cst::ParseOutcome> outcomes = cst::parse_sentences(impl, refs, false);
  cst::rethrow_first_failure(outcomes);
  std::vector<ConstituencyTree> trees;
  trees.reserve(outcomes.size());
  for (cst::ParseOutcome& outcome : outcomes) trees.push_back(*outcome.tree);
  return trees;
} catch (...) {
  detail::rethrow_unexpected<ConstituencyModelError>();
}

Document ConstituencyPlan::process(Document document) const try {
  std::vector<Document> documents;
  documents.push_back(std::move(document));
  return std::move(process_bulk(std::move(documents)).front());
} catch (...) {
  detail::rethrow_unexpected<ConstituencyModelError>();
}

// The sentences of all documents are parsed together. Documents are then
// written in order up to the first one that fails (a missing tag, or the
// first failing sentence), whose error is thrown: the documents before it
// keep their trees, it and those after it stay as they were.
std::vector<Document> ConstituencyPlan::process_bulk(std::vector<Document> documents) const try {
  const Impl& impl = detail::loaded_impl(impl_, "constituency");
  std::vector<cst::DocumentSentences> gathered;
  gathered.reserve(documents.size());
  std::exception_ptr gather_error;
  for (const Document& document : documents) {
    try {
      gathered.push_back(cst::gather_sentences(document, impl.uses_xpos));
    } catch (...) {
      gather_error = std::current_exception();
      break;
    }
  }
  std::vector<cst::SentenceRef> refs;
  for (const cst::DocumentSentences& sentences : gathered) cst::append_refs(sentences, refs);
  std::vector<cst::ParseOutcome> outcomes = cst::parse_sentences(impl, refs, false);

  std::size_t first = 0;
  for (std::size_t d = 0; d < gathered.size(); ++d) {
    const std::size_t count = gathered[d].words.size();
    for (std::size_t s = first; s < first + count; ++s) {
      if (outcomes[s].error) std::rethrow_exception(outcomes[s].error);
    }
    cst::store_trees(documents[d], outcomes, first);
    first += count;
  }
  if (gather_error) std::rethrow_exception(gather_error);
  return documents;
} catch (...) {
  detail::rethrow_unexpected<ConstituencyModelError>();
}

}  // namespace lorvane
