// The two-level tokenizer network and its label decoding: one paragraph in
// windows, or several paragraphs as one padded batch of packed sequences.

#include "models/tokenizer/network.hpp"

#include <ATen/core/Tensor.h>
#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/log_sigmoid.h>
#include <ATen/ops/sigmoid.h>
#include <ATen/ops/zeros_like.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <utility>

#include "models/tokenizer/plan_impl.hpp"
#include "nn/batching.hpp"
#include "nn/lstm.hpp"

namespace lorvane {
namespace detail {
namespace {

using Plan = TokenizerPlan::Impl;

std::vector<std::int64_t> unit_ids(const Plan& plan, const TokenizerParagraph& units) {
  std::vector<std::int64_t> ids;
  ids.reserve(units.size());
  for (const TokenizerUnit& unit : units) {
    const auto found = plan.vocabulary.find(unit.text);
    ids.push_back(found == plan.vocabulary.end() ? plan.unk_id : found->second);
  }
  return ids;
}

// One bidirectional level over [S, T, input] from the zero state, each row
// read up to its own length; [S, T, 2H], zero past each row's length.
at::Tensor run_level(const LstmWeights& weights, const at::Tensor& input, const std::vector<std::int64_t>& lengths) {
  return run_lstm(weights, input, lengths).output;
}

// Summed logits of the three heads, each [S, T, 1]; `mwt` is undefined
// without multi-word-token heads. Plain value of one call.
struct Logits {
  at::Tensor tok;
  at::Tensor sent;
  at::Tensor mwt;
};

Logits run_network(const Plan& plan, const at::Tensor& ids, const at::Tensor& features,
                   const std::vector<std::int64_t>& lengths) {
  const at::Tensor embedded = at::embedding(plan.weight("embeddings.weight"), ids, plan.pad_id,
                                            /*scale_grad_by_freq=*/false, /*sparse=*/false);
  const at::Tensor first = run_level(plan.rnn, at::cat({embedded, features}, 2), lengths);

  const at::Tensor tok0 = at::linear(first, plan.weight("tok_clf.weight"), plan.weight("tok_clf.bias"));
  const at::Tensor sent0 = at::linear(first, plan.weight("sent_clf.weight"), plan.weight("sent_clf.bias"));
  at::Tensor mwt0;
  if (plan.use_mwt) {
    mwt0 = at::linear(first, plan.weight("mwt_clf.weight"), plan.weight("mwt_clf.bias"));
  }

  // The first level's token score gates what the second level sees; a
  // temperature of zero or below (or NaN) switches the gate off.
  at::Tensor gated = first;
  if (plan.hier_invtemp > 0.0) {
    gated = first * (1.0 - at::sigmoid(tok0.neg() * plan.hier_invtemp));
  }
  const at::Tensor second = run_level(plan.rnn2, gated, lengths);

  Logits logits;
  logits.tok = tok0 + at::linear(second, plan.weight("tok_clf2.weight"));
  logits.sent = sent0 + at::linear(second, plan.weight("sent_clf2.weight"));
  if (plan.use_mwt) logits.mwt = mwt0 + at::linear(second, plan.weight("mwt_clf2.weight"));
  return logits;
}

// Label codes [S, T] (int64): the argmax of the log-sigmoid class scores,
// the lowest class winning ties.
at::Tensor decode_labels(const Logits& logits) {
  const at::Tensor lt = at::log_sigmoid(logits.tok);
  const at::Tensor nt = at::log_sigmoid(logits.tok.neg());
  const at::Tensor ls = at::log_sigmoid(logits.sent);
  const at::Tensor ns = at::log_sigmoid(logits.sent.neg());
  at::Tensor scores;
  if (logits.mwt.defined()) {
    const at::Tensor lm = at::log_sigmoid(logits.mwt);
    const at::Tensor nm = at::log_sigmoid(logits.mwt.neg());
    scores = at::cat({nt, (lt + ns) + nm, (lt + ls) + nm, (lt + ns) + lm, (lt + ls) + lm}, 2);
  } else {
    scores = at::cat({nt, lt + ns, lt + ls}, 2);
  }
  return at::argmax(scores, 2, /*keepdim=*/false);
}

// [S, T, 3] float logits, the MWT column zero without MWT heads.
at::Tensor stacked_logits(const Logits& logits) {
  const at::Tensor mwt = logits.mwt.defined() ? logits.mwt : at::zeros_like(logits.tok);
  return at::cat({logits.tok, logits.sent, mwt}, 2).contiguous();
}

void append_logits(const at::Tensor& row, std::size_t count, HeadLogits& out) {
  const float* data = row.data_ptr<float>();
  out.insert(out.end(), data, data + count * 3);
}

// How many of a window's labels to keep when more units follow it: up to and
// including its last sentence end; without one, up to its last token end
// before its final unit, so that no word is cut at the window's edge (the
// final unit is labelled as if the text ended there, so a token end on it
// says nothing); without either, all of them. The units after the cut are
// labelled again in the next window, with the context that follows them.
std::size_t kept_labels(const std::int64_t* labels, std::size_t count, bool more_follow) {
  if (!more_follow) return count;
  for (std::size_t i = count; i > 0; --i) {
    if (is_sentence_end(labels[i - 1])) return i;
  }
  for (std::size_t i = count - 1; i > 0; --i) {
    if (labels[i - 1] != kLabelNone) return i;  // 1 or 3: no sentence end is left
  }
  return count;
}

void finish_paragraph(const TokenizerParagraph& units, std::vector<std::int64_t>& labels) {
  apply_final_unit_rule(labels);
  join_email_and_url_spans(units, labels);
}

at::Tensor wrap_int64(std::int64_t* data, at::IntArrayRef shape) {
  return at::from_blob(data, shape, at::TensorOptions().dtype(at::kLong));
}

at::Tensor wrap_float(float* data, at::IntArrayRef shape) {
  return at::from_blob(data, shape, at::TensorOptions().dtype(at::kFloat));
}


}  // namespace

std::vector<std::int64_t> predict_paragraph_with_logits(const TokenizerPlan::Impl& plan,
                                                        const TokenizerParagraph& units,
                                                        HeadLogits* logits) {
  std::vector<std::int64_t> labels;
  if (units.empty()) return labels;
  const std::size_t n = units.size();
  const auto feat_dim = static_cast<std::size_t>(plan.feat_dim);
  // Features and ids of the whole paragraph, once: paragraph-position
  // features never refer to a window's edges.
  std::vector<float> features = plan.compute_features(units);
  std::vector<std::int64_t> ids = unit_ids(plan, units);
  labels.reserve(n);
  if (logits) logits->reserve(n * 3);

  std::size_t offset = 0;
  while (offset < n) {
    const std::size_t count = std::min(kTokenizerWindow, n - offset);
    const auto width = static_cast<std::int64_t>(count);
    c10::InferenceMode inference;
    const at::Tensor window_ids = wrap_int64(ids.data() + offset, {1, width});
    const at::Tensor window_features =
        wrap_float(features.data() + offset * feat_dim, {1, width, plan.feat_dim});
    const Logits window = run_network(plan, window_ids, window_features, {width});
    const at::Tensor decoded = decode_labels(window).squeeze(0).contiguous();
    const std::int64_t* values = decoded.data_ptr<std::int64_t>();
    const std::size_t keep = kept_labels(values, count, offset + kTokenizerWindow < n);
    labels.insert(labels.end(), values, values + keep);
    if (logits) append_logits(stacked_logits(window), keep, *logits);
    offset += keep;
  }
  finish_paragraph(units, labels);
  return labels;
}

std::vector<std::vector<std::int64_t>> predict_batch_with_logits(
    const TokenizerPlan::Impl& plan, const std::vector<const TokenizerParagraph*>& paragraphs,
    std::vector<HeadLogits>* logits) {
  std::vector<std::vector<std::int64_t>> results(paragraphs.size());
  if (paragraphs.empty()) return results;
  std::vector<std::int64_t> paragraph_lengths;
  paragraph_lengths.reserve(paragraphs.size());
  for (const TokenizerParagraph* paragraph : paragraphs) {
    paragraph_lengths.push_back(static_cast<std::int64_t>(paragraph->size()));
  }
  // Rows longest first, equal lengths in input order.
  const std::vector<std::size_t> order = longest_first(paragraph_lengths);
  const auto rows = static_cast<std::int64_t>(paragraphs.size());
  const auto longest = static_cast<std::int64_t>(paragraphs[order.front()]->size());
  const auto feat_dim = static_cast<std::size_t>(plan.feat_dim);
  const auto row_units = static_cast<std::size_t>(longest);

  std::vector<std::int64_t> ids(static_cast<std::size_t>(rows) * row_units, plan.pad_id);
  std::vector<float> features(ids.size() * feat_dim, 0.0f);
  std::vector<std::int64_t> lengths(order.size());
  for (std::size_t row = 0; row < order.size(); ++row) {
    const TokenizerParagraph& units = *paragraphs[order[row]];
    lengths[row] = static_cast<std::int64_t>(units.size());
    const std::vector<std::int64_t> row_ids = unit_ids(plan, units);
    std::copy(row_ids.begin(), row_ids.end(), ids.begin() + row * row_units);
    const std::vector<float> row_features = plan.compute_features(units);
    std::copy(row_features.begin(), row_features.end(), features.begin() + row * row_units * feat_dim);
  }

  c10::InferenceMode inference;
  const at::Tensor id_tensor = wrap_int64(ids.data(), {rows, longest});
  const at::Tensor feature_tensor = wrap_float(features.data(), {rows, longest, plan.feat_dim});
  const Logits batch = run_network(plan, id_tensor, feature_tensor, lengths);
  const at::Tensor decoded = decode_labels(batch).contiguous();
  const std::int64_t* values = decoded.data_ptr<std::int64_t>();
  at::Tensor stacked;
  if (logits) {
    stacked = stacked_logits(batch);
    logits->assign(paragraphs.size(), HeadLogits{});
  }
  for (std::size_t row = 0; row < order.size(); ++row) {
    const std::size_t input = order[row];
    const auto count = static_cast<std::size_t>(lengths[row]);
    const std::int64_t* row_values = values + row * row_units;
    results[input].assign(row_values, row_values + count);
    if (logits) append_logits(stacked[static_cast<std::int64_t>(row)], count, (*logits)[input]);
    finish_paragraph(*paragraphs[input], results[input]);
  }
  return results;
}

void apply_final_unit_rule(std::vector<std::int64_t>& labels) noexcept {
  if (labels.empty()) return;
  std::int64_t& last = labels.back();
  last = (last == kLabelMwt || last == kLabelMwtSentence) ? kLabelMwtSentence : kLabelSentence;
}

}  // namespace detail

std::vector<std::int64_t> TokenizerPlan::Impl::predict_paragraph(
    const std::vector<detail::TokenizerUnit>& units) const {
  return detail::predict_paragraph_with_logits(*this, units, nullptr);
}

std::vector<std::vector<std::int64_t>> TokenizerPlan::Impl::predict_batch(
    const std::vector<const std::vector<detail::TokenizerUnit>*>& paragraphs) const {
  return detail::predict_batch_with_logits(*this, paragraphs, nullptr);
}

}  // namespace lorvane
