#pragma once

// Arc and relation scoring of encoded sentences with deep biaffine scorers.
// Positions of a sentence of n words are 0 .. n: 0 is ROOT. The caller runs
// these inside an inference-mode guard.

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvane::detail {

// One deep biaffine scorer. The dependent side projects the encoder rows with
// W1 and the head side with W2 (relu(linear)), each extended by a constant 1;
// score[i, j, o] = bias[o] + sum_pq dep[i, p] pairwise[p, q, o] head[j, q].
// Safe to share across threads: immutable after construction.
struct DeepBiaffineWeights {
  at::Tensor dependent_weight;  // W1 [P - 1, H]
  at::Tensor dependent_bias;    // [P - 1]
  at::Tensor head_weight;       // W2 [Q - 1, H]
  at::Tensor head_bias;         // [Q - 1]
  at::Tensor pairwise_weight;   // [P, Q, O], dependent side first
  at::Tensor pairwise_bias;     // [O]
  // pairwise_weight laid out as [Q, P * O] (an owned copy) so that the head
  // side is contracted first and the scores come out as [i, j, o] from one
  // product; undefined when pairwise_weight is not three-dimensional (scoring
  // then fails with libtorch's error).
  at::Tensor head_major;

  using Lookup = std::function<const at::Tensor&(const std::string&)>;
  // Looks up "<scorer>.W1.weight", ".W1.bias", ".W2.weight", ".W2.bias",
  // ".scorer.W_bilin.weight" and ".scorer.W_bilin.bias", in this order.
  static DeepBiaffineWeights named(std::string_view scorer, const Lookup& weight);
};

// The parser's scorers: "unlabeled" and "deprel", and "linearization" and
// "distance" when the model uses those terms.
// Safe to share across threads: immutable after construction.
struct ArcScorers {
  DeepBiaffineWeights unlabeled;
  DeepBiaffineWeights deprel;
  std::optional<DeepBiaffineWeights> linearization;
  std::optional<DeepBiaffineWeights> distance;
};

// (arc scores [B, L, L]: log-probability over heads j of word i's head;
//  relation scores [B, L, L, R]: log-probability over classes for the arc i -> j)
using ArcScores = std::pair<at::Tensor, at::Tensor>;

// Raw scores [B, L, L, O] of one scorer over encoded rows [B, L, H].
at::Tensor deep_biaffine(const at::Tensor& encoded, const DeepBiaffineWeights& scorer);

// Arc and relation log-probabilities of a padded batch [B, L, H]. The
// linearization and distance terms are added when present; a word is never its
// own head, and positions where `padding_mask` ([B, L], true at real
// positions; null for none) is false are never heads. Relation scores are not
// masked. Throws DepparseModelError "depparse padding mask does not match
// encoded input"; libtorch errors for weights that disagree with the input.
ArcScores score_encoded(const ArcScorers& scorers, const at::Tensor& encoded, const at::Tensor* padding_mask);

// The scores of many sentences, each encoded alone as [1, words + 1, H];
// returns ([1, n, n], [1, n, n, R]) per sentence in input order, n = words + 1,
// and a pair of undefined tensors for a sentence without words. Sentences are
// scored in longest-first groups padded to their first (longest) sentence, of
// at most min(batch_size, 512) padded rows (first length times count; at least
// one sentence), so a sentence gets the scores it gets alone, up to rounding.
// Throws DepparseModelError "depparse encoded and sentence batches must have
// equal lengths" and "depparse encoded sentence length does not match its
// words".
std::vector<ArcScores> score_encoded_many(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                          const std::vector<std::size_t>& word_counts, std::int64_t batch_size);

}  // namespace lorvane::detail
