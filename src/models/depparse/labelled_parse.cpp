#include "models/depparse/labelled_parse.hpp"

#include <ATen/ops/cat.h>
#include <ATen/ops/from_blob.h>
#include <c10/util/Exception.h>

#include <cstdint>
#include <utility>

#include "lorvane/errors.hpp"
#include "models/depparse/head_constraints.hpp"
#include "models/depparse/spanning_tree.hpp"

namespace lorvane::detail {
namespace {

constexpr std::int64_t kFirstRelationUnit = 4;

// The tensor without a leading batch dimension of size 1, checked to be
// floating point with `dims` dimensions.
at::Tensor unbatched(at::Tensor scores, std::int64_t dims, const char* what) {
  if (scores.dim() > 0 && scores.size(0) == 1) scores = scores.squeeze(0);
  TORCH_CHECK(at::isFloatingType(scores.scalar_type()), "expected floating-point ", what, ", got ",
              scores.scalar_type());
  TORCH_CHECK(scores.dim() == dims, "expected ", what, " of ", dims, " dimensions, got ", scores.sizes());
  return scores;
}

// Arc scores [n, n] as float or double cells the decoder can read in place;
// other floating types are converted to double.
at::Tensor readable_arcs(const at::Tensor& arcs) {
  const at::ScalarType type = arcs.scalar_type();
  return (type == at::kFloat || type == at::kDouble ? arcs : arcs.to(at::kDouble)).contiguous();
}

ArcScoreView arc_view(const at::Tensor& arcs) {
  const auto n = static_cast<std::size_t>(arcs.size(0));
  return arcs.scalar_type() == at::kFloat ? ArcScoreView(arcs.data_ptr<float>(), n)
                                          : ArcScoreView(arcs.data_ptr<double>(), n);
}

std::vector<std::int64_t> decoded_heads(const ArcScoreView& arcs) {
  std::vector<std::int64_t> heads;
  for (const std::size_t head : decode_single_root(arcs)) heads.push_back(static_cast<std::int64_t>(head));
  return heads;
}

// The repaired, labelled tree as predictions. The repair candidates share one
// column-major copy of the arc scores.
std::vector<DependencyPrediction> labelled_tree(std::size_t word_count, const ArcScoreView& arcs,
                                                const RelationSource& relations, std::vector<std::int64_t> heads,
                                                const std::vector<std::string>& deprel_units) {
  const ConstrainedTree tree =
      resolve_head_constraints(arcs.with_columns(), relations, std::move(heads), deprel_units);
  std::vector<DependencyPrediction> predictions;
  predictions.reserve(word_count);
  for (std::size_t i = 1; i < tree.heads.size(); ++i) {
    const std::int64_t id = tree.labels[i - 1] + kFirstRelationUnit;
    if (id < 0 || static_cast<std::uint64_t>(id) >= deprel_units.size()) {
      throw DepparseModelError("deprel classifier produced an invalid id");
    }
    predictions.push_back({static_cast<std::int32_t>(tree.heads[i]), deprel_units[static_cast<std::size_t>(id)]});
  }
  return predictions;
}

}  // namespace

std::vector<DependencyPrediction> parse_scored(std::size_t word_count, at::Tensor arcs, at::Tensor relations,
                                               const std::vector<std::string>& deprel_units) {
  if (word_count == 0) return {};
  arcs = unbatched(std::move(arcs), 2, "arc scores");
  relations = unbatched(std::move(relations), 3, "relation scores");
  const std::int64_t n = arcs.size(0);
  if (arcs.size(1) != n || relations.size(0) != n || relations.size(1) != n) {
    throw DepparseModelError("depparse score tensors disagree in size");
  }
  arcs = readable_arcs(arcs);
  RelationScores relation_scores(static_cast<std::size_t>(n), static_cast<std::size_t>(relations.size(2)));
  relation_scores.cells.resize(static_cast<std::size_t>(relations.numel()));
  if (!relation_scores.cells.empty()) {
    at::from_blob(relation_scores.cells.data(), relations.sizes(), at::kDouble).copy_(relations);
  }
  relations.reset();
  const ArcScoreView view = arc_view(arcs);
  return labelled_tree(word_count, view, relation_scores, decoded_heads(view), deprel_units);
}

std::vector<DependencyPrediction> parse_scored(std::size_t word_count, const SentenceScores& scores,
                                               const DeepBiaffineWeights& relation_scorer,
                                               const std::vector<std::string>& deprel_units) {
  return std::move(parse_scored_many({word_count}, {scores}, relation_scorer, deprel_units)[0]);
}

std::vector<std::vector<DependencyPrediction>> parse_scored_many(const std::vector<std::size_t>& word_counts,
                                                                 const std::vector<SentenceScores>& scores,
                                                                 const DeepBiaffineWeights& relation_scorer,
                                                                 const std::vector<std::string>& deprel_units) {
  std::vector<at::Tensor> arcs(scores.size());
  std::vector<std::vector<std::int64_t>> heads(scores.size());
  // Every tree's arcs, numbered across the sentences' stacked sides.
  std::vector<at::Tensor> dependents;
  std::vector<at::Tensor> head_sides;
  std::vector<std::size_t> arc_dependents;
  std::vector<std::size_t> arc_heads;
  std::size_t offset = 0;
  for (std::size_t s = 0; s < scores.size(); ++s) {
    if (word_counts[s] == 0) continue;
    arcs[s] = readable_arcs(scores[s].arcs);
    heads[s] = decoded_heads(arc_view(arcs[s]));
    for (std::size_t i = 1; i < heads[s].size(); ++i) {
      arc_dependents.push_back(offset + i);
      arc_heads.push_back(offset + static_cast<std::size_t>(heads[s][i]));
    }
    dependents.push_back(scores[s].dependents);
    head_sides.push_back(scores[s].heads);
    offset += heads[s].size();
  }
  std::vector<std::vector<DependencyPrediction>> predictions(scores.size());
  if (dependents.empty()) return predictions;
  const at::Tensor tree_rows =
      relation_log_probabilities(relation_scorer, at::cat(dependents), at::cat(head_sides), arc_dependents, arc_heads)
          .to(at::kDouble)
          .contiguous();
  const auto classes = static_cast<std::size_t>(tree_rows.size(1));
  const double* next_row = tree_rows.data_ptr<double>();
  for (std::size_t s = 0; s < scores.size(); ++s) {
    if (word_counts[s] == 0) continue;
    const std::size_t tree_arcs = heads[s].size() - 1;
    RelationRows relations(relation_scorer, scores[s].dependents, scores[s].heads);
    relations.provide_tree_rows(std::vector<std::size_t>(heads[s].begin(), heads[s].end()),
                                std::vector<double>(next_row, next_row + tree_arcs * classes));
    next_row += tree_arcs * classes;
    predictions[s] = labelled_tree(word_counts[s], arc_view(arcs[s]), relations, std::move(heads[s]), deprel_units);
    arcs[s] = at::Tensor();
  }
  return predictions;
}

}  // namespace lorvane::detail
