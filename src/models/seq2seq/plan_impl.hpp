#pragma once

// The loaded state of a sequence-to-sequence plan and the records its
// encoder and decoder pass between them. Private to the model: only .cpp
// files that already need libtorch include it.
//
// Ids are the same in every vocabulary of the model: 0 "<PAD>", 1 "<UNK>",
// 2 "<SOS>" (first source id and first decoder input), 3 "<EOS>" (last
// source id, ends decoding). Ids from V = vocab_size upwards stand for the
// current word's characters that the vocabulary lacks, in first-occurrence
// order ("extended" ids): the copy mechanism can produce them.

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lorvane/bundle.hpp"
#include "lorvane/seq2seq.hpp"
#include "nn/lstm.hpp"
#include "nn/model_tensors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane {
namespace detail {

inline constexpr std::int64_t kPadId = 0;
inline constexpr std::int64_t kUnkId = 1;
inline constexpr std::int64_t kSosId = 2;
inline constexpr std::int64_t kEosId = 3;

// One vocabulary of units. The two halves are read independently: id2unit
// turns output ids into text, unit2id turns input characters and tags into ids.
struct Seq2SeqVocabulary {
  std::vector<std::string> id2unit;
  UnitIds unit2id;
};

// One word as the encoder and the copy mechanism read it.
struct SourceEncoding {
  // 2, one id per code point, 3. A code point the vocabulary lacks has the
  // id id2unit.size() + k, k its index in oov_units.
  std::vector<std::int64_t> ids;
  // The word's code points that the vocabulary lacks, first occurrences only.
  std::vector<std::string> oov_units;
};

// The decoder's recurrent state for B rows, each [B, H].
struct DecoderState {
  at::Tensor h;
  at::Tensor c;
};

struct DecoderStepOutput {
  at::Tensor log_probs;  // [B, V] without copy gate, [B, X] with it
  at::Tensor h;          // [B, H]
  at::Tensor c;          // [B, H]
};

// The weights one decoder step reads, fetched once at load. Transposed views
// are kept so that a step builds no tensor metadata for them.
struct DecoderWeights {
  at::Tensor embedding;       // [V, E]
  at::Tensor weight_ih_t;     // [E, 4H]
  at::Tensor weight_hh_t;     // [H, 4H]
  at::Tensor gate_bias;       // bias_ih + bias_hh [4H], computed at load
  at::Tensor linear_in_t;     // [H, H]
  at::Tensor linear_out_t;    // [2H, H]: context rows, then hidden rows
  at::Tensor dec2vocab_t;     // [H, V]
  at::Tensor dec2vocab_bias;  // [V]
  at::Tensor copy_weight;     // [1, H]; undefined without copy gate
  at::Tensor copy_bias;       // [1]
};

// The edit classifier: linear, ReLU, linear, over the decoder's initial h.
struct EditClassifier {
  at::Tensor hidden_weight;  // [K, H]
  at::Tensor hidden_bias;    // [K]
  at::Tensor output_weight;  // [classes, K]
  at::Tensor output_bias;    // [classes]
};

// A batch of words after the encoder: everything the decoder needs. Rows
// follow the order in which the words were given to the encoder.
struct EncodedBatch {
  at::Tensor encoder_outputs;  // [B, T, H]; zero past each row's length
  at::Tensor source_ext_ids;   // int64 [B, L]: unreplaced source ids, 0-padded
  // Only for more than one row (a single word has no padding, and its width
  // is its own), and the limits only with the copy gate:
  at::Tensor attention_mask;   // bool [B, T]: true at or past each row's length
  at::Tensor column_limits;    // int64 [B]: each row's own output width
  std::int64_t ext_width = 0;  // the largest column limit (at least V)
  DecoderState initial;        // [B, H] each
  std::vector<std::optional<std::int64_t>> edits;  // per row; engaged with the edit classifier
};

}  // namespace detail

// Fixed once the constructor returns; every operation is const.
// Safe to share across threads: all operations are const.
struct Seq2SeqPlan::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  detail::Seq2SeqVocabulary char_vocab;
  std::optional<detail::Seq2SeqVocabulary> pos_vocab;
  // Views over the bundle's mapped tensor file: never write through them.
  detail::ModelTensors tensors;
  detail::LstmWeights encoder_weights;  // bidirectional, num_layers layers
  detail::LstmState encoder_state;      // zeros [2 x num_layers, 1, hidden_dim / 2]
  detail::DecoderWeights decoder;
  at::Tensor pos_embedding;  // [P, E]; undefined without POS
  std::optional<detail::EditClassifier> edit_classifier;

  std::int64_t vocab_size = 0;
  std::int64_t emb_dim = 0;
  std::int64_t hidden_dim = 0;
  std::int64_t num_layers = 0;
  std::int64_t max_dec_len = 0;
  std::int64_t beam_size = 1;
  std::int64_t batch_size = 50;
  std::int64_t pos_dim = 0;
  bool pos = false;
  bool edit = false;
  bool copy = false;

  // Opens and checks the bundle. Throws Seq2SeqModelError; a detail::JsonError
  // from reading the assets passes out (the plan turns it into its error).
  Impl(std::filesystem::path bundle_dir, bool verify_checksums);

  // The bundle tensor of that name; Seq2SeqModelError
  // "missing seq2seq tensor: '<name>'" when absent.
  const at::Tensor& weight(std::string_view name) const;
  // The encoder's flat LSTM parameter list (see detail::lstm_weight_names).
  detail::LstmWeights make_encoder_weights() const;

  // The word's code points as ids of `vocabulary` (see SourceEncoding).
  // Matching is by exact bytes. Throws std::invalid_argument
  // "invalid UTF-8 sequence at byte offset N", and Seq2SeqModelError
  // "seq2seq vocabulary id is out of range: '<unit>'" for a unit whose stored
  // id lies outside [0, id2unit.size()).
  static detail::SourceEncoding encode_source(const detail::Seq2SeqVocabulary& vocabulary,
                                              const std::string& word);
  // The embedding row of a POS tag: 1 for a tag the POS vocabulary lacks.
  // Throws Seq2SeqModelError "seq2seq vocabulary id is out of range: '<tag>'"
  // when the stored id has no embedding row.
  std::int64_t pos_id(const std::string& tag) const;

  // Runs the encoder over one or more words (rows in the given order;
  // `pos_ids` one per row when the model uses POS, else empty) and prepares
  // the decoder's inputs and initial state; also runs the edit classifier.
  detail::EncodedBatch encode_batch(const std::vector<const detail::SourceEncoding*>& sources,
                                    const std::vector<std::int64_t>& pos_ids) const;

  // One decoder step for B rows: log-probabilities of every next id and the
  // new state. Every id >= V in `ids` (int64 [B], contiguous) is replaced by 1
  // in that tensor itself before it is embedded. `encoder_outputs` [B, T, H];
  // `source_ext_ids` int64 [B, T - pos] (read with the copy gate only);
  // `ext_width` X >= V output columns with the copy gate; `attention_mask`
  // bool [B, T] (true: padding) and `column_limits` int64 [B] (copy gate only)
  // may be null. Arguments of the wrong shape or type, and source ids outside
  // [0, X), throw std::invalid_argument "invalid seq2seq decoder step arguments".
  detail::DecoderStepOutput decode_step(at::Tensor ids, const detail::DecoderState& state,
                                        const at::Tensor& encoder_outputs,
                                        const at::Tensor& source_ext_ids, std::int64_t ext_width,
                                        bool forbid_unk, const at::Tensor* attention_mask,
                                        const at::Tensor* column_limits) const;

  // Greedy decoding of all rows of a batch in lock-step: one output id list
  // per row (without the closing 3; at most max_dec_len ids).
  std::vector<std::vector<std::int64_t>> greedy_decode_many(const detail::EncodedBatch& batch,
                                                            bool forbid_unk) const;
  // Beam search over one encoded word (a batch of one row).
  std::vector<std::int64_t> beam_search(const detail::EncodedBatch& word, std::int64_t beam,
                                        bool forbid_unk) const;
  // The text of output ids: vocabulary units, the word's own unknown
  // characters for extended ids, "<UNK>" for any other id.
  std::string output_text(const std::vector<std::int64_t>& ids,
                          const detail::SourceEncoding& source) const;

  // The batches of batched prediction: word indices stable-sorted by encoded
  // length, longest first, cut into runs of batch_size.
  std::vector<std::vector<std::size_t>> batch_plan(const std::vector<detail::SourceEncoding>& sources) const;
  // The beam size of a call; Seq2SeqModelError "beam size must be positive".
  std::int64_t resolve_beam_size(std::optional<std::int64_t> requested) const;
  Seq2SeqPrediction predict(const std::string& word, const std::optional<std::string>& pos_tag,
                            std::optional<std::int64_t> beam_size, bool forbid_unk) const;
  std::vector<Seq2SeqPrediction> predict_many(const std::vector<std::string>& words,
                                              const std::vector<std::optional<std::string>>& pos_tags,
                                              std::optional<std::int64_t> beam_size,
                                              bool forbid_unk) const;
};

}  // namespace lorvane
