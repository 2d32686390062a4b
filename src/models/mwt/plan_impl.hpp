#pragma once

// The loaded state of an MWT plan: the expansion dictionary, the character
// vocabulary and the one model the configuration asks for (none, the
// exact-piece split classifier, or the sequence-to-sequence model). Private
// to the model: only .cpp files that already need libtorch include it.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lorvane/bundle.hpp"
#include "lorvane/mwt.hpp"
#include "lorvane/seq2seq.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {

namespace detail {

// The code points of a strictly valid UTF-8 text, one string each. Throws
// std::invalid_argument "invalid UTF-8 sequence at byte offset N".
std::vector<std::string> split_code_points(std::string_view text);

// A sequence-to-sequence prediction as an expansion: the text without the
// special symbols "<PAD>", "<UNK>", "<SOS>", "<EOS>" when it then holds a
// space, else the token itself (a prediction that splits nothing is unused).
std::string prediction_expansion(const std::string& prediction, const std::string& token);

}  // namespace detail

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct MWTPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  // Only when neither dict_only nor force_exact_pieces.
  std::unique_ptr<const Seq2SeqPlan> seq2seq;
  std::unordered_map<std::string, std::string, detail::TransparentStringHash, std::equal_to<>> expansion_dict;
  detail::UnitIds unit2id;  // code point -> character id; read by the split classifier

  // The split classifier (force_exact_pieces without dict_only); empty or
  // undefined otherwise. Views over the bundle's mapped tensor file: never
  // write through them.
  detail::ModelTensors tensors;
  detail::LstmWeights encoder_weights;  // bidirectional, num_layers layers
  detail::LstmState initial_state;      // zeros [2 x num_layers, 1, hidden_dim / 2]
  at::Tensor embedding_weight;
  at::Tensor output_layer0_weight;
  at::Tensor output_layer0_bias;
  at::Tensor output_layer2_weight;
  at::Tensor output_layer2_bias;

  std::int64_t vocab_size = 0;  // read and kept; takes no part in expansion
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  bool dict_only = false;
  bool ensemble_dict = false;
  bool force_exact_pieces = false;

  // Opens and reads the bundle. Throws MWTModelError; a detail::JsonError
  // from reading the assets passes out (the plan turns it into its error).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  // The expansion of one token: words separated by spaces, or the token
  // itself when it is not split. Throws std::invalid_argument for a token
  // that is not valid UTF-8; errors of the models pass through.
  std::string expand(const std::string& token) const;
  // expand for many tokens, results in input order: dictionary hits first,
  // then the model over the rest in batches. Same results as expand.
  std::vector<std::string> expand_many(const std::vector<std::string>& tokens) const;

  // The dictionary's expansion with the token's case restored, or nothing.
  std::optional<std::string> lookup_dictionary(const std::string& token) const;

  // --- Split classifier ----------------------------------------------------
  // The bundle tensor of that name; MWTModelError "missing MWT tensor: '<name>'".
  const at::Tensor& weight(std::string_view name) const;
  // The encoder's flat LSTM parameter list (see detail::lstm_weight_names).
  detail::LstmWeights make_encoder_weights() const;
  // Views the bundle's tensors and fetches the classifier's weights.
  void load_split_classifier();
  // The token with a space before every code point the classifier marks,
  // leading and trailing spaces trimmed.
  std::string classify_pieces(const std::string& token) const;
  // classify_pieces for many tokens, results in input order.
  std::vector<std::string> classify_pieces_many(const std::vector<std::string>& tokens) const;
};

}  // namespace lorvane
