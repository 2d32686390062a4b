// The tensors of a constituency bundle: look-up by name, the checks made once
// at construction, and the LSTM weight sets.

#include <string>
#include <string_view>

#include "lorvane/errors.hpp"
#include "models/constituency/plan_impl.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {
namespace {

using Impl = ConstituencyPlan::Impl;

void require_presence(const Impl& impl) {
  impl.weight("embedding.weight");
  impl.weight("delta_embedding.weight");
  if (impl.tag_embedding_dim > 0) impl.weight("tag_embedding.weight");
  for (std::string_view name : {"word_to_constituent.weight", "word_to_constituent.bias",
                                "transition_embedding.weight", "dummy_embedding.weight", "reduce_linear.weight",
                                "reduce_linear.bias"}) {
    impl.weight(name);
  }
  if (impl.sentence_boundaries) {
    for (std::string_view name : {"word_start_embedding", "word_end_embedding", "transition_stack.start_embedding",
                                  "constituent_stack.start_embedding"}) {
      impl.weight(name);
    }
  }
  // Layer by layer across the three LSTMs, so that the first absent name in
  // that order is the one reported.
  for (std::int64_t layer = 0; layer < impl.num_lstm_layers; ++layer) {
    const std::string k = std::to_string(layer);
    for (const auto& [prefix, suffix] : {std::pair<std::string_view, std::string_view>{"word_lstm.", ""},
                                         {"word_lstm.", "_reverse"},
                                         {"transition_stack.lstm.", ""},
                                         {"constituent_stack.lstm.", ""}}) {
      for (std::string_view kind : {"weight_ih_l", "weight_hh_l", "bias_ih_l", "bias_hh_l"}) {
        impl.weight(std::string(prefix) + std::string(kind) + k + std::string(suffix));
      }
    }
  }
  for (std::int64_t i = 0; i < impl.num_output_layers; ++i) {
    const std::string prefix = "output_layers." + std::to_string(i);
    impl.weight(prefix + ".weight");
    impl.weight(prefix + ".bias");
  }
}

// Delta and tag rows are compared with the largest id the lists assign + 1,
// which equals the distinct count + 2 when no entry repeats.
void check_vocabulary_rows(const Impl& impl) {
  using detail::size_or_none;
  const bool rows_match =
      size_or_none(impl.weight("embedding.weight"), 0) == static_cast<std::int64_t>(impl.pretrain_vocab.size()) &&
      size_or_none(impl.weight("delta_embedding.weight"), 0) == impl.delta_rows &&
      (impl.tag_embedding_dim <= 0 || size_or_none(impl.weight("tag_embedding.weight"), 0) == impl.tag_rows) &&
      size_or_none(impl.weight("transition_embedding.weight"), 0) ==
          static_cast<std::int64_t>(impl.transitions.size());
  if (!rows_match) throw ConstituencyModelError("constituency vocabularies disagree with embedding rows");
}

void check_hidden_widths(const Impl& impl) {
  const at::Tensor& reduce = impl.weight("reduce_linear.weight");
  const bool widths_match = detail::size_or_none(impl.weight("dummy_embedding.weight"), 1) == impl.hidden_size &&
                            detail::size_or_none(impl.weight("word_to_constituent.weight"), 0) == impl.hidden_size &&
                            reduce.dim() == 2 && reduce.size(0) == impl.hidden_size &&
                            reduce.size(1) == impl.hidden_size;
  if (!widths_match) throw ConstituencyModelError("constituency hidden dimensions disagree");
}

// The width of a word's embedded row: pretrained, delta and tag embeddings
// and the character models' rows (the boundary rows' width); the word LSTM
// reads it with the transformer's row appended.
std::int64_t word_row_width(const Impl& impl) {
  std::int64_t width = detail::size_or_none(impl.weight("embedding.weight"), 1) + impl.delta_embedding_dim;
  if (impl.tag_embedding_dim > 0) width += impl.tag_embedding_dim;
  if (impl.forward_charlm) width += impl.forward_charlm->hidden_size();
  if (impl.backward_charlm) width += impl.backward_charlm->hidden_size();
  return width;
}

// Every tensor the parser reads, after the rules above: complete shapes, one
// floating type, every vocabulary id a row of its table and every Open's
// dummy row present.
void check_model_shapes(const Impl& impl) {
  using detail::kAnySize;
  const detail::ModelTensors& tensors = impl.tensors;
  const std::int64_t h = impl.hidden_size;
  const std::int64_t ht = impl.transition_hidden_size;
  const std::int64_t et = impl.transition_embedding_dim;
  const std::int64_t layers = impl.num_lstm_layers;
  const std::int64_t word_row = word_row_width(impl);
  const std::int64_t word_input = word_row + (impl.transformer ? impl.transformer->hidden_size() : 0);
  tensors.require("embedding.weight", {kAnySize, kAnySize});
  tensors.require("delta_embedding.weight", {impl.delta_rows, impl.delta_embedding_dim});
  if (impl.tag_embedding_dim > 0) tensors.require("tag_embedding.weight", {impl.tag_rows, impl.tag_embedding_dim});
  tensors.require("word_to_constituent.weight", {h, 2 * h});
  tensors.require("word_to_constituent.bias", {h});
  tensors.require("transition_embedding.weight", {static_cast<std::int64_t>(impl.transitions.size()), et});
  tensors.require("dummy_embedding.weight", {kAnySize, h});
  tensors.require("reduce_linear.weight", {h, h});
  tensors.require("reduce_linear.bias", {h});
  if (impl.sentence_boundaries) {
    tensors.require("word_start_embedding", {word_row});
    tensors.require("word_end_embedding", {word_row});
    tensors.require("transition_stack.start_embedding", {et});
    tensors.require("constituent_stack.start_embedding", {h});
  }
  detail::LstmWeights::checked(tensors, "word_lstm.", layers, true, word_input, h);
  detail::LstmWeights::checked(tensors, "transition_stack.lstm.", layers, false, et, ht);
  detail::LstmWeights::checked(tensors, "constituent_stack.lstm.", layers, false, h, h);
  // The parser's own messages for what it would meet at the first sentence.
  std::int64_t width = 2 * h + ht;
  for (std::int64_t i = 0; i < impl.num_output_layers; ++i) {
    const std::string prefix = "output_layers." + std::to_string(i);
    const at::Tensor& weight = impl.weight(prefix + ".weight");
    const std::int64_t out = i + 1 == impl.num_output_layers ? static_cast<std::int64_t>(impl.transitions.size())
                                                             : detail::size_or_none(weight, 0);
    if (!weight.sizes().equals({out, width}) || !impl.weight(prefix + ".bias").sizes().equals({out})) {
      throw ConstituencyModelError("constituency output layer has the wrong shape");
    }
    tensors.require(prefix + ".weight", {out, width});
    tensors.require(prefix + ".bias", {out});
    width = out;
  }
  const std::int64_t dummy_rows = impl.weight("dummy_embedding.weight").size(0);
  for (const Transition& transition : impl.transitions) {
    if (transition.kind == TransitionKind::Open && transition.open_index >= dummy_rows) {
      throw ConstituencyModelError("constituency Open index is outside dummy embeddings");
    }
  }
  if (auto message = detail::ids_outside_rows(impl.pretrain_vocab, impl.weight("embedding.weight").size(0),
                                              "embedding.weight", "assets.pretrain_vocab._unit2id")) {
    throw ConstituencyModelError(*message);
  }
}

}  // namespace

const at::Tensor& ConstituencyPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

void ConstituencyPlan::Impl::validate_tensors() const {
  require_presence(*this);
  check_vocabulary_rows(*this);
  check_hidden_widths(*this);
  check_model_shapes(*this);
}

detail::LstmWeights ConstituencyPlan::Impl::make_lstm_weights(std::string_view prefix, bool bidirectional) const {
  return detail::LstmWeights::from_names(prefix, num_lstm_layers, bidirectional,
                                         [this](std::string_view name) { return weight(name); });
}

}  // namespace lorvane
