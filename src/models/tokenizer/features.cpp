#include "models/tokenizer/plan_impl.hpp"
#include "models/tokenizer/text/features.hpp"

namespace lorvane {

std::vector<float> TokenizerPlan::Impl::compute_features(
    const std::vector<detail::TokenizerUnit>& units) const {
  const detail::TokenizerFeatureSettings settings{feat_funcs,     feat_dim,         use_dictionary,
                                                  num_dict_feat,  lexicon_words,    lexicon_prefixes,
                                                  lexicon_suffixes};
  return detail::compute_tokenizer_features(settings, units);
}

}  // namespace lorvane
