#include "encoders/charlm/native_charlm.hpp"

#include <ATen/ops/embedding.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "document/utf8_decode.hpp"
#include "lorvane/errors.hpp"
#include "nn/batching.hpp"
#include "nn/config.hpp"
#include "nn/plan_loading.hpp"
#include "nn/tensor_view.hpp"

namespace lorvane::detail {
namespace {

// Batches of encode_many: at most this many sentences and this many padded
// characters (sentences x the longest id list).
constexpr std::size_t kSentencesPerBatch = 256;
constexpr std::int64_t kCharactersPerBatch = std::int64_t{1} << 17;

constexpr char kUnsupportedModel[] =
    "unsupported character language model; hidden size and layer count must be positive and "
    "recurrent dropout must be zero";
constexpr char kTensorsMismatch[] = "character language model tensors do not match its assets";

[[noreturn]] void fail(const std::string& message) { raise<CharLMModelError>(message); }

// The recurrent dropout must be zero when given; unlike other optional keys a
// present null is a type error, not a default.
void check_recurrent_dropout(const JsonValue& config) {
  const JsonValue* dropout = config.find("char_rec_dropout");
  if (dropout == nullptr) return;
  if (dropout->as_number("charlm assets.config.char_rec_dropout") != 0.0) fail(kUnsupportedModel);
}

bool has_shape(const at::Tensor& tensor, std::initializer_list<std::int64_t> shape) {
  return tensor.sizes().equals(shape);
}

// The LSTM parameters must fit the embedding, the hidden size and the type of
// the other tensors: the runner reads them with typed kernels, so a mismatch
// is refused here rather than left to the first encoding.
bool lstm_fits(const LstmWeights& lstm, std::int64_t embedding_width, std::int64_t hidden,
               c10::ScalarType type) {
  for (std::int64_t layer = 0; layer < lstm.layers(); ++layer) {
    const std::int64_t input = layer == 0 ? embedding_width : hidden;
    if (!has_shape(lstm.weight_ih(layer, 0), {4 * hidden, input}) ||
        !has_shape(lstm.weight_hh(layer, 0), {4 * hidden, hidden}) ||
        !has_shape(lstm.bias_ih(layer, 0), {4 * hidden}) ||
        !has_shape(lstm.bias_hh(layer, 0), {4 * hidden})) {
      return false;
    }
  }
  return std::all_of(lstm.flat().begin(), lstm.flat().end(),
                     [&](const at::Tensor& tensor) { return tensor.scalar_type() == type; });
}

at::Tensor wrap_ids(std::vector<std::int64_t>& ids, at::IntArrayRef shape) {
  return at::from_blob(ids.data(), shape, at::TensorOptions().dtype(at::kLong));
}

}  // namespace

NativeCharLM::NativeCharLM(std::shared_ptr<const ModelBundle> bundle, std::string tensor_prefix,
                           const JsonValue& assets)
    : bundle_(std::move(bundle)), tensor_prefix_(std::move(tensor_prefix)) {
  const JsonValue& config = assets.at("config", "charlm assets");
  hidden_size_ = required_int(config, "char_hidden_dim", "charlm assets.config");
  layers_ = required_int(config, "char_num_layers", "charlm assets.config");
  if (hidden_size_ < 1 || layers_ < 1) fail(kUnsupportedModel);
  // Bounded before 4 x hidden size and the layer names are formed.
  size_in_range(hidden_size_, 1, kMaxConfiguredSize, "charlm assets.config.char_hidden_dim", &raise<CharLMModelError>);
  size_in_range(layers_, 1, kMaxLstmLayers, "charlm assets.config.char_num_layers", &raise<CharLMModelError>);
  check_recurrent_dropout(config);
  forward_ = required_bool(assets, "is_forward_lm", "charlm assets");

  vocabulary_ = read_unit2id(assets.at("vocab", "charlm assets"), "charlm assets.vocab");
  const auto start = find_id(vocabulary_, "\n");
  const auto end = find_id(vocabulary_, " ");
  if (!start || !end) fail("character language model vocabulary has no start/end symbols");
  start_id_ = *start;
  end_id_ = *end;
  unknown_id_ = id_or(vocabulary_, "<UNK>", 1);

  const auto view = [&](const std::string& name) {
    return model_tensor_view(*bundle_, name, &raise<CharLMModelError>);
  };
  embedding_ = view(tensor_prefix_ + "char_emb.weight");
  initial_h_ = view(tensor_prefix_ + "charlstm_h_init");
  initial_c_ = view(tensor_prefix_ + "charlstm_c_init");
  if (embedding_.dim() != 2 || embedding_.size(0) != static_cast<std::int64_t>(vocabulary_.size()) ||
      !has_shape(initial_h_, {layers_, 1, hidden_size_}) ||
      !initial_c_.sizes().equals(initial_h_.sizes())) {
    fail(kTensorsMismatch);
  }

  // Ids are looked up in the embedding as they are: each must name a row.
  const std::int64_t rows = embedding_.size(0);
  if (auto message = ids_outside_rows(vocabulary_, rows, tensor_prefix_ + "char_emb.weight", "charlm assets.vocab._unit2id")) {
    fail(*message);
  }
  if (unknown_id_ < 0 || unknown_id_ >= rows) fail(kTensorsMismatch);

  lstm_ = LstmWeights::from_names(tensor_prefix_ + "charlstm.lstm.", layers_, /*bidirectional=*/false,
                                  view);
  const c10::ScalarType type = embedding_.scalar_type();
  if (!at::isFloatingType(type) || initial_h_.scalar_type() != type ||
      initial_c_.scalar_type() != type || !lstm_fits(lstm_, embedding_.size(1), hidden_size_, type)) {
    fail(kTensorsMismatch);
  }
}

bool NativeCharLM::is_forward() const noexcept { return forward_; }

std::int64_t NativeCharLM::hidden_size() const noexcept { return hidden_size_; }

NativeCharLM::SentenceIds NativeCharLM::sentence_ids(const std::vector<std::string>& words) const {
  SentenceIds sentence;
  sentence.ids.reserve(8 * words.size() + 1);
  sentence.positions.reserve(words.size());
  sentence.ids.push_back(start_id_);
  std::vector<std::string_view> characters;
  const auto append_word = [&](std::string_view word) {
    characters.clear();
    decode_utf8_or_throw<std::invalid_argument>(
        word, [&](char32_t, std::size_t offset, std::size_t length) {
          characters.push_back(word.substr(offset, length));
        });
    // A backward model spells each word from its last character to its first.
    if (!forward_) std::reverse(characters.begin(), characters.end());
    for (std::string_view character : characters) {
      sentence.ids.push_back(id_or(vocabulary_, character, unknown_id_));
    }
    sentence.positions.push_back(static_cast<std::int64_t>(sentence.ids.size()));
    sentence.ids.push_back(end_id_);
  };
  if (forward_) {
    for (const std::string& word : words) append_word(word);
  } else {
    // Read from the last word on; positions go back to input word order.
    for (auto word = words.rbegin(); word != words.rend(); ++word) append_word(*word);
    std::reverse(sentence.positions.begin(), sentence.positions.end());
  }
  return sentence;
}

at::Tensor NativeCharLM::encode(const std::vector<std::string>& words) const {
  c10::InferenceMode inference;
  SentenceIds sentence = sentence_ids(words);
  if (words.empty()) return at::empty({0, hidden_size_}, embedding_.options());
  const auto length = static_cast<std::int64_t>(sentence.ids.size());
  const at::Tensor embedded = at::embedding(embedding_, wrap_ids(sentence.ids, {1, length}));
  std::vector<LstmStep> ends;
  ends.reserve(sentence.positions.size());
  for (const std::int64_t position : sentence.positions) ends.push_back({0, position});
  return run_lstm_at(lstm_, embedded, {length}, ends, initial_state());
}

// Sentences run longest first in packed batches: all sentences are sorted
// first (rather than cutting 64 at a time from the input and sorting each
// cut), and a batch holds up to 256 sentences or 2^17 padded characters.
// Every row is computed from its own sentence alone, so results do not
// depend on the batching, while batches of similar lengths waste no steps
// and larger matrix products run faster. Only the word-end outputs are
// kept (run_lstm_at), so memory stays at a batch's inputs and its rows.
std::vector<at::Tensor> NativeCharLM::encode_many(
    const std::vector<std::vector<std::string>>& sentences) const {
  c10::InferenceMode inference;
  std::vector<at::Tensor> results(sentences.size());
  std::vector<SentenceIds> encoded;
  encoded.reserve(sentences.size());
  std::vector<std::int64_t> lengths;
  lengths.reserve(sentences.size());
  for (const std::vector<std::string>& words : sentences) {
    encoded.push_back(sentence_ids(words));
    lengths.push_back(static_cast<std::int64_t>(encoded.back().ids.size()));
  }

  const std::vector<std::size_t> order = longest_first(lengths);
  for (const BatchRange& batch : cut_batches(order, lengths, kSentencesPerBatch, kCharactersPerBatch)) {
    const auto rows = static_cast<std::int64_t>(batch.end - batch.begin);
    const std::int64_t longest = lengths[order[batch.begin]];
    // Padding carries the start symbol; the runner never reads it.
    std::vector<std::int64_t> matrix(static_cast<std::size_t>(rows * longest), start_id_);
    std::vector<std::int64_t> batch_lengths;
    batch_lengths.reserve(static_cast<std::size_t>(rows));
    std::vector<LstmStep> ends;
    for (std::size_t position = batch.begin; position < batch.end; ++position) {
      const SentenceIds& sentence = encoded[order[position]];
      const auto row = static_cast<std::int64_t>(position - batch.begin);
      std::copy(sentence.ids.begin(), sentence.ids.end(), matrix.begin() + static_cast<std::ptrdiff_t>(row * longest));
      batch_lengths.push_back(static_cast<std::int64_t>(sentence.ids.size()));
      for (const std::int64_t end : sentence.positions) ends.push_back({row, end});
    }
    const at::Tensor embedded = at::embedding(embedding_, wrap_ids(matrix, {rows, longest}));
    const at::Tensor word_rows = run_lstm_at(lstm_, embedded, batch_lengths, ends, initial_state());
    std::int64_t next = 0;
    for (std::size_t position = batch.begin; position < batch.end; ++position) {
      const auto words = static_cast<std::int64_t>(encoded[order[position]].positions.size());
      results[order[position]] = word_rows.narrow(0, next, words);
      next += words;
    }
  }
  return results;
}

}  // namespace lorvane::detail
