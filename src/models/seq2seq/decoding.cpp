// Turning encoded words into output ids, greedily for a whole batch in
// lock-step or by beam search for one word, and output ids into text.

#include <ATen/ops/empty.h>
#include <ATen/ops/full.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/topk.h>

#include <algorithm>
#include <vector>

#include "models/seq2seq/plan_impl.hpp"

namespace lorvane {
namespace {

// The column of the largest value of each row (the first one on ties).
template <class T>
void row_argmax(const at::Tensor& log_probs, std::vector<std::int64_t>& chosen) {
  const std::int64_t width = log_probs.size(1);
  const T* value = log_probs.data_ptr<T>();
  for (std::size_t row = 0; row < chosen.size(); ++row, value += width) {
    chosen[row] = std::max_element(value, value + width) - value;
  }
}

void argmax_rows(const at::Tensor& log_probs, std::vector<std::int64_t>& chosen) {
  if (log_probs.scalar_type() == at::kFloat) {
    row_argmax<float>(log_probs, chosen);
  } else {
    row_argmax<double>(log_probs, chosen);
  }
}

// One hypothesis of the beam. Its recurrent state is row `index` of the
// beam's state tensors.
struct BeamHypothesis {
  double score = 0.0;
  std::vector<std::int64_t> tokens;  // emitted ids; may continue past a 3
  std::int64_t last_token = detail::kSosId;
};

// Every hypothesis's score added to each of its row's log-probabilities, in
// the model's type, flattened row by row: candidate i * W + t is hypothesis i
// followed by id t.
template <class T>
at::Tensor candidate_scores(const std::vector<BeamHypothesis>& beam, const at::Tensor& log_probs) {
  const std::int64_t width = log_probs.size(1);
  at::Tensor candidates = at::empty({static_cast<std::int64_t>(beam.size()) * width}, log_probs.options());
  const T* value = log_probs.data_ptr<T>();
  T* out = candidates.data_ptr<T>();
  for (const BeamHypothesis& hypothesis : beam) {
    const auto score = static_cast<T>(hypothesis.score);
    for (std::int64_t t = 0; t < width; ++t) *out++ = static_cast<T>(score + *value++);
  }
  return candidates;
}

}  // namespace

std::vector<std::vector<std::int64_t>> Seq2SeqPlan::Impl::greedy_decode_many(
    const detail::EncodedBatch& batch, const at::Tensor* attention_mask, const at::Tensor* column_limits,
    bool forbid_unk) const {
  const std::int64_t rows = batch.encoder_outputs.size(0);
  std::vector<std::vector<std::int64_t>> outputs(static_cast<std::size_t>(rows));
  std::vector<bool> finished(static_cast<std::size_t>(rows), false);
  std::vector<std::int64_t> chosen(static_cast<std::size_t>(rows));
  at::Tensor previous = at::full({rows}, detail::kSosId, at::kLong);
  detail::DecoderState state = batch.initial;
  for (std::int64_t step = 0; step < max_dec_len; ++step) {
    const detail::DecoderStepOutput out =
        decode_step(previous, state, batch.encoder_outputs, batch.source_ext_ids, batch.ext_width, forbid_unk,
                    attention_mask, column_limits);
    argmax_rows(out.log_probs, chosen);
    state = {out.h, out.c};
    bool emitted = false;
    std::int64_t* next = previous.data_ptr<std::int64_t>();
    for (std::size_t row = 0; row < chosen.size(); ++row) {
      // Finished rows are still fed their choice; their outputs are ignored.
      next[row] = chosen[row];
      if (finished[row]) continue;
      if (chosen[row] == detail::kEosId) {
        finished[row] = true;
      } else {
        outputs[row].push_back(chosen[row]);
        emitted = true;
      }
    }
    if (!emitted) break;
  }
  return outputs;
}

std::vector<std::int64_t> Seq2SeqPlan::Impl::beam_search(const detail::EncodedBatch& word, std::int64_t beam,
                                                         bool forbid_unk) const {
  std::vector<BeamHypothesis> hypotheses(1);
  detail::DecoderState state = word.initial;
  for (std::int64_t step = 0; step < max_dec_len; ++step) {
    const auto n = static_cast<std::int64_t>(hypotheses.size());
    at::Tensor previous = at::empty({n}, at::kLong);
    std::int64_t* last = previous.data_ptr<std::int64_t>();
    for (const BeamHypothesis& hypothesis : hypotheses) *last++ = hypothesis.last_token;
    const at::Tensor outputs = word.encoder_outputs.expand({n, -1, -1});
    const at::Tensor sources = word.source_ext_ids.expand({n, -1}).contiguous();
    const detail::DecoderStepOutput out =
        decode_step(previous, state, outputs, sources, word.ext_width, forbid_unk, nullptr, nullptr);

    const std::int64_t width = out.log_probs.size(1);
    const at::Tensor candidates = out.log_probs.scalar_type() == at::kFloat
                                      ? candidate_scores<float>(hypotheses, out.log_probs)
                                      : candidate_scores<double>(hypotheses, out.log_probs);
    const std::int64_t k = std::min(beam, n * width);
    const auto [values, indices] = at::topk(candidates, k);
    const at::Tensor scores = values.to(at::kDouble);
    const double* score = scores.data_ptr<double>();
    const std::int64_t* index = indices.data_ptr<std::int64_t>();

    std::vector<BeamHypothesis> next(static_cast<std::size_t>(k));
    at::Tensor parents = at::empty({k}, at::kLong);
    std::int64_t* parent = parents.data_ptr<std::int64_t>();
    for (std::int64_t i = 0; i < k; ++i) {
      parent[i] = index[i] / width;
      const std::int64_t token = index[i] % width;
      BeamHypothesis& hypothesis = next[static_cast<std::size_t>(i)];
      hypothesis.tokens = hypotheses[static_cast<std::size_t>(parent[i])].tokens;
      hypothesis.tokens.push_back(token);
      hypothesis.score = score[i];
      hypothesis.last_token = token;
    }
    state = {out.h.index_select(0, parents), out.c.index_select(0, parents)};
    hypotheses = std::move(next);
    if (hypotheses.front().last_token == detail::kEosId) break;
  }
  std::vector<std::int64_t> best = std::move(hypotheses.front().tokens);
  best.erase(std::find(best.begin(), best.end(), detail::kEosId), best.end());
  return best;
}

std::string Seq2SeqPlan::Impl::output_text(const std::vector<std::int64_t>& ids,
                                           const detail::SourceEncoding& source) const {
  const auto known = static_cast<std::int64_t>(char_vocab.id2unit.size());
  std::string text;
  for (const std::int64_t id : ids) {
    if (const std::string* unit = detail::unit_at(char_vocab.id2unit, id)) {
      text += *unit;
    } else if (const std::string* copied = id >= known ? detail::unit_at(source.oov_units, id - known) : nullptr) {
      text += *copied;
    } else {
      text += "<UNK>";
    }
  }
  return text;
}

}  // namespace lorvane
