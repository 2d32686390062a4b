// Turning encoded words into output ids, greedily for a whole batch in
// lock-step or by beam search for one word, and output ids into text.

#include <ATen/ops/empty.h>
#include <ATen/ops/full.h>
#include <ATen/ops/index_select.h>
#include <ATen/ops/tensor.h>
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

// The rows of a batch that greedy decoding still advances, with their slices
// of the batch's tensors.
struct ActiveRows {
  std::vector<std::size_t> original;  // the batch row of each active row
  std::vector<bool> finished;         // produced 3 already: carried, ignored
  at::Tensor previous;  // int64 [n]: the ids to feed next
  detail::DecoderState state;
  at::Tensor encoder_outputs, source_ext_ids, attention_mask, column_limits;

  explicit ActiveRows(const detail::EncodedBatch& batch)
      : original(static_cast<std::size_t>(batch.encoder_outputs.size(0))),
        finished(original.size(), false),
        previous(at::full({static_cast<std::int64_t>(original.size())}, detail::kSosId, at::kLong)),
        state(batch.initial),
        encoder_outputs(batch.encoder_outputs),
        source_ext_ids(batch.source_ext_ids),
        attention_mask(batch.attention_mask),
        column_limits(batch.column_limits) {
    for (std::size_t row = 0; row < original.size(); ++row) original[row] = row;
  }

  const at::Tensor* mask() const { return attention_mask.defined() ? &attention_mask : nullptr; }
  const at::Tensor* limits() const { return column_limits.defined() ? &column_limits : nullptr; }

  void drop_finished_rows() {
    const auto unfinished = static_cast<std::size_t>(std::count(finished.begin(), finished.end(), false));
    if (unfinished * 4 > original.size() * 3) return;
    std::vector<std::int64_t> kept;
    std::vector<std::size_t> kept_original;
    for (std::size_t row = 0; row < original.size(); ++row) {
      if (finished[row]) continue;
      kept.push_back(static_cast<std::int64_t>(row));
      kept_original.push_back(original[row]);
    }
    const at::Tensor index = at::tensor(kept, at::kLong);
    previous = previous.index_select(0, index);
    state = {state.h.index_select(0, index), state.c.index_select(0, index)};
    encoder_outputs = encoder_outputs.index_select(0, index);
    source_ext_ids = source_ext_ids.index_select(0, index);
    if (attention_mask.defined()) attention_mask = attention_mask.index_select(0, index);
    if (column_limits.defined()) column_limits = column_limits.index_select(0, index);
    original = std::move(kept_original);
    finished.assign(original.size(), false);
  }
};

// One hypothesis of the beam. Its recurrent state is the row of the beam's
// state tensors at the hypothesis's position in the beam.
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
    const detail::EncodedBatch& batch, bool forbid_unk) const {
  const std::int64_t rows = batch.encoder_outputs.size(0);
  std::vector<std::vector<std::int64_t>> outputs(static_cast<std::size_t>(rows));
  // The rows still decoded: finished rows are carried along (their choices
  // ignored) until a quarter of the rows has finished, then dropped from every
  // tensor. Rows never influence each other, so this changes no result.
  ActiveRows active(batch);
  std::vector<std::int64_t> chosen(static_cast<std::size_t>(rows));
  for (std::int64_t step = 0; step < max_dec_len; ++step) {
    const detail::DecoderStepOutput out =
        decode_step(active.previous, active.state, active.encoder_outputs, active.source_ext_ids, batch.ext_width,
                    forbid_unk, active.mask(), active.limits());
    chosen.resize(active.original.size());
    argmax_rows(out.log_probs, chosen);
    active.state = {out.h, out.c};
    bool emitted = false;
    std::int64_t* next = active.previous.data_ptr<std::int64_t>();
    for (std::size_t row = 0; row < chosen.size(); ++row) {
      next[row] = chosen[row];
      if (active.finished[row]) continue;
      if (chosen[row] == detail::kEosId) {
        active.finished[row] = true;
      } else {
        outputs[active.original[row]].push_back(chosen[row]);
        emitted = true;
      }
    }
    if (!emitted) break;
    active.drop_finished_rows();
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
