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

#include "models/depparse/head_constraints.hpp"

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

// What the labelled parse of one sentence reads: its arc log-probabilities,
// and the relation scorer's two projected sides, from which RelationRows
// computes the relation scores of the arcs asked for.
struct SentenceScores {
  at::Tensor arcs;        // [n, n], contiguous, in the encoder's floating type
  at::Tensor dependents;  // [n, P - 1]: relu(W1 x + b) of the relation scorer
  at::Tensor heads;       // [n, Q - 1]: relu(W2 x + b) of the relation scorer
};

// The scores of many sentences, each encoded alone as [1, words + 1, H], in
// input order; empty tensors for a sentence without words. Sentences are taken
// in longest-first groups of at most min(batch_size, 512) padded rows (first
// length times count; at least one sentence). A group's rows are projected
// packed, so no padding row is projected; only the pairwise arc products are
// padded to the group's first (longest) sentence, so a sentence gets the
// scores it gets alone, up to rounding. The arc scores are computed a block of
// at most 2^20 cells per sentence at a time, so that beyond the result a long
// sentence holds no n x n tensor. Throws DepparseModelError "depparse encoded
// and sentence batches must have equal lengths" and "depparse encoded sentence
// length does not match its words".
std::vector<SentenceScores> score_sentences(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                            const std::vector<std::size_t>& word_counts, std::int64_t batch_size);

// [k, R] relation log-probabilities (normalised over the R classes, in the
// sides' floating type) of the arcs (arc_dependents[k], arc_heads[k]) of a
// sentence whose relation scorer sides are `dependents` and `heads`: each
// arc's dependent side contracted with the pairwise weight, then with its
// head side, O(P x Q x R) per arc (as for every row of a full computation,
// without its n x Q x R per row), a small block of arcs at a time.
at::Tensor relation_log_probabilities(const DeepBiaffineWeights& scorer, const at::Tensor& dependents,
                                      const at::Tensor& heads, const std::vector<std::size_t>& arc_dependents,
                                      const std::vector<std::size_t>& arc_heads);

// [count, n, R] relation log-probabilities of the dependents first ..
// first + count - 1 under every head: each dependent side contracted with the
// pairwise weight once (O(P x Q x R)), then one product with every head
// (O(n x Q x R) per dependent).
at::Tensor dependent_relation_log_probabilities(const DeepBiaffineWeights& scorer, const at::Tensor& dependents,
                                                const at::Tensor& heads, std::int64_t first, std::int64_t count);

// The relation rows of one sentence computed on request from its relation
// scorer sides. Reads tensors: run it inside the caller's inference-mode guard.
// Not thread-safe: use one per sentence and thread.
class RelationRows final : public RelationSource {
 public:
  RelationRows(const DeepBiaffineWeights& scorer, at::Tensor dependents, at::Tensor heads);

  std::size_t size() const override;
  std::size_t classes() const override;
  void arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                double* out) const override;
  // The dependent side is contracted with the pairwise weight once, and the
  // result meets every head: O(P x Q x R + n x Q x R).
  void dependent_rows(std::size_t dependent, double* out) const override;
  // Rows computed elsewhere (with other sentences') for the arcs (i,
  // tree_heads[i]), i = 1 .. n - 1: (n - 1) x R doubles, served as they are.
  void provide_tree_rows(std::vector<std::size_t> tree_heads, std::vector<double> rows);

 private:
  const DeepBiaffineWeights& scorer_;
  at::Tensor dependents_;
  at::Tensor heads_;
  std::vector<std::size_t> tree_heads_;  // empty, or one per position (entry 0 unused)
  std::vector<double> tree_rows_;
};

// The scores of many sentences, each encoded alone as [1, words + 1, H];
// The scores of many sentences, each encoded alone as [1, words + 1, H];
// returns ([1, n, n], [1, n, n, R]) per sentence in input order, n = words + 1,
// and a pair of undefined tensors for a sentence without words: score_sentences
// with every arc's relation row computed (n^2 R values: for short sentences and
// for checking the on-request rows). Throws as score_sentences.
std::vector<ArcScores> score_encoded_many(const ArcScorers& scorers, const std::vector<at::Tensor>& encoded,
                                          const std::vector<std::size_t>& word_counts, std::int64_t batch_size);

}  // namespace lorvane::detail
