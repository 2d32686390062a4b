// The tensors of a constituency bundle: look-up by name, the checks made once
// at construction, and the LSTM weight sets.

#include <string>
#include <string_view>

#include "lorvane/errors.hpp"
#include "models/constituency/plan_impl.hpp"

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
  const bool rows_match =
      impl.weight("embedding.weight").size(0) == static_cast<std::int64_t>(impl.pretrain_vocab.size()) &&
      impl.weight("delta_embedding.weight").size(0) == impl.delta_rows &&
      (impl.tag_embedding_dim <= 0 || impl.weight("tag_embedding.weight").size(0) == impl.tag_rows) &&
      impl.weight("transition_embedding.weight").size(0) == static_cast<std::int64_t>(impl.transitions.size());
  if (!rows_match) throw ConstituencyModelError("constituency vocabularies disagree with embedding rows");
}

void check_hidden_widths(const Impl& impl) {
  const at::Tensor& reduce = impl.weight("reduce_linear.weight");
  const bool widths_match = impl.weight("dummy_embedding.weight").size(1) == impl.hidden_size &&
                            impl.weight("word_to_constituent.weight").size(0) == impl.hidden_size &&
                            reduce.dim() == 2 && reduce.size(0) == impl.hidden_size &&
                            reduce.size(1) == impl.hidden_size;
  if (!widths_match) throw ConstituencyModelError("constituency hidden dimensions disagree");
}

}  // namespace

const at::Tensor& ConstituencyPlan::Impl::weight(std::string_view name) const { return tensors.require(name); }

void ConstituencyPlan::Impl::validate_tensors() const {
  require_presence(*this);
  check_vocabulary_rows(*this);
  check_hidden_widths(*this);
}

detail::LstmWeights ConstituencyPlan::Impl::make_lstm_weights(std::string_view prefix, bool bidirectional) const {
  return detail::LstmWeights::from_names(prefix, num_lstm_layers, bidirectional,
                                         [this](std::string_view name) { return weight(name); });
}

}  // namespace lorvane
