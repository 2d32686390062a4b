#include "models/depparse/labelled_parse.hpp"

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

// The decoder reads columns as well as rows; the tree and every repair
// candidate share one column-major copy of the arc scores.
std::vector<DependencyPrediction> labelled_tree(std::size_t word_count, const ArcScoreView& scores,
                                                const RelationSource& relations,
                                                const std::vector<std::string>& deprel_units) {
  const ArcScoreView arcs = scores.with_columns();
  std::vector<std::int64_t> heads;
  for (const std::size_t head : decode_single_root(arcs)) heads.push_back(static_cast<std::int64_t>(head));
  const ConstrainedTree tree = resolve_head_constraints(arcs, relations, std::move(heads), deprel_units);

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
  return labelled_tree(word_count, arc_view(arcs), relation_scores, deprel_units);
}

std::vector<DependencyPrediction> parse_scored(std::size_t word_count, const SentenceScores& scores,
                                               const DeepBiaffineWeights& relation_scorer,
                                               const std::vector<std::string>& deprel_units) {
  if (word_count == 0) return {};
  const at::Tensor arcs = readable_arcs(scores.arcs);
  const RelationRows relations(relation_scorer, scores.dependents, scores.heads);
  return labelled_tree(word_count, arc_view(arcs), relations, deprel_units);
}

}  // namespace lorvane::detail
