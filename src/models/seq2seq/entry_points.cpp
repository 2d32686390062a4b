// predict and predict_many: argument checks, the order of words in batches,
// and results back in input order.

#include <c10/core/InferenceMode.h>

#include <utility>

#include "models/seq2seq/plan_impl.hpp"
#include "nn/batching.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

std::int64_t Seq2SeqPlan::Impl::resolve_beam_size(std::optional<std::int64_t> requested) const {
  const std::int64_t beam = requested.value_or(beam_size);
  if (beam <= 0) throw Seq2SeqModelError("beam size must be positive");
  return beam;
}

namespace {

std::int64_t required_tag(const Seq2SeqPlan::Impl& plan, const std::optional<std::string>& tag) {
  if (!tag) throw Seq2SeqModelError("this seq2seq bundle requires a POS tag");
  return plan.pos_id(*tag);
}

}  // namespace

std::vector<std::vector<std::size_t>> Seq2SeqPlan::Impl::batch_plan(
    const std::vector<detail::SourceEncoding>& sources) const {
  std::vector<std::int64_t> lengths;
  lengths.reserve(sources.size());
  for (const detail::SourceEncoding& source : sources) lengths.push_back(static_cast<std::int64_t>(source.ids.size()));
  const std::vector<std::size_t> order = detail::longest_first(lengths);
  std::vector<std::vector<std::size_t>> batches;
  for (const detail::BatchRange& range : detail::cut_batches(order, lengths, static_cast<std::size_t>(batch_size), 0)) {
    batches.emplace_back(order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                         order.begin() + static_cast<std::ptrdiff_t>(range.end));
  }
  return batches;
}

Seq2SeqPrediction Seq2SeqPlan::Impl::predict(const std::string& word, const std::optional<std::string>& pos_tag,
                                             std::optional<std::int64_t> beam_size, bool forbid_unk) const {
  c10::InferenceMode guard;
  const detail::SourceEncoding source = encode_source(char_vocab, word);
  std::vector<std::int64_t> pos_ids;
  if (pos) pos_ids.push_back(required_tag(*this, pos_tag));
  const detail::EncodedBatch encoded = encode_batch({&source}, pos_ids);
  const std::int64_t beam = resolve_beam_size(beam_size);
  const std::vector<std::int64_t> ids =
      beam == 1 ? greedy_decode_many(encoded, forbid_unk).front() : beam_search(encoded, beam, forbid_unk);
  return {output_text(ids, source), encoded.edits.front()};
}

std::vector<Seq2SeqPrediction> Seq2SeqPlan::Impl::predict_many(
    const std::vector<std::string>& words, const std::vector<std::optional<std::string>>& pos_tags,
    std::optional<std::int64_t> beam_size, bool forbid_unk) const {
  if (words.size() != pos_tags.size()) {
    throw Seq2SeqModelError("seq2seq text and POS batches must have equal lengths");
  }
  const std::int64_t beam = resolve_beam_size(beam_size);
  std::vector<Seq2SeqPrediction> results;
  if (beam != 1) {
    results.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      results.push_back(predict(words[i], pos_tags[i], beam, forbid_unk));
    }
    return results;
  }

  c10::InferenceMode guard;
  std::vector<detail::SourceEncoding> sources;
  sources.reserve(words.size());
  for (const std::string& word : words) sources.push_back(encode_source(char_vocab, word));
  results.resize(words.size());
  for (const std::vector<std::size_t>& items : batch_plan(sources)) {
    std::vector<const detail::SourceEncoding*> batch;
    std::vector<std::int64_t> pos_ids;
    for (const std::size_t item : items) {
      batch.push_back(&sources[item]);
      if (pos) pos_ids.push_back(required_tag(*this, pos_tags[item]));
    }
    const detail::EncodedBatch encoded = encode_batch(batch, pos_ids);
    const std::vector<std::vector<std::int64_t>> ids = greedy_decode_many(encoded, forbid_unk);
    for (std::size_t row = 0; row < items.size(); ++row) {
      results[items[row]] = {output_text(ids[row], sources[items[row]]), encoded.edits[row]};
    }
  }
  return results;
}

Seq2SeqPrediction Seq2SeqPlan::predict(const std::string& word, const std::optional<std::string>& pos,
                                       std::optional<std::int64_t> beam_size, bool forbid_unk) const try {
  return detail::loaded_impl(impl_, "seq2seq").predict(word, pos, beam_size, forbid_unk);
} catch (...) {
  detail::rethrow_unexpected<Seq2SeqModelError>();
}

std::vector<Seq2SeqPrediction> Seq2SeqPlan::predict_many(const std::vector<std::string>& words,
                                                         const std::vector<std::optional<std::string>>& pos,
                                                         std::optional<std::int64_t> beam_size,
                                                         bool forbid_unk) const try {
  return detail::loaded_impl(impl_, "seq2seq").predict_many(words, pos, beam_size, forbid_unk);
} catch (...) {
  detail::rethrow_unexpected<Seq2SeqModelError>();
}

}  // namespace lorvane
