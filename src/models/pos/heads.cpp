// The tagging heads: UPOS first, then XPOS and feature classifiers that
// condition on the embedding of the predicted UPOS; class ids become strings
// through the vocabularies.

#include <ATen/ops/argmax.h>
#include <ATen/ops/cat.h>
#include <ATen/ops/embedding.h>
#include <ATen/ops/from_blob.h>
#include <ATen/ops/linear.h>
#include <ATen/ops/matmul.h>
#include <ATen/ops/ones.h>
#include <ATen/ops/relu.h>
#include <ATen/ops/stack.h>

#include <string>
#include <unordered_map>

#include "models/pos/plan_impl.hpp"
#include "nn/batching.hpp"

namespace lorvane {
namespace {

[[noreturn]] void fail(const std::string& message) { throw POSModelError(message); }

// Class id 2 of an XPOS component or a feature means the item is absent.
constexpr std::int64_t kAbsentId = 2;

at::Tensor with_ones_column(const at::Tensor& rows) {
  return at::cat({rows, at::ones({rows.size(0), 1}, rows.options())}, 1);
}

// The predicted classes of every row, as a CPU matrix [rows, heads] read row
// by row; `position_of_row` maps a row to its row in the matrix.
class ClassIds {
 public:
  ClassIds(const std::vector<at::Tensor>& heads, const std::vector<std::int64_t>& position_of_row)
      : ids_(heads.empty() ? at::Tensor() : at::stack(heads, 1).contiguous()),
        heads_(static_cast<std::int64_t>(heads.size())),
        position_of_row_(position_of_row) {}
  std::int64_t at(std::int64_t row, std::size_t head) const {
    const std::int64_t position = position_of_row_[static_cast<std::size_t>(row)];
    return ids_.data_ptr<std::int64_t>()[position * heads_ + static_cast<std::int64_t>(head)];
  }

 private:
  at::Tensor ids_;
  std::int64_t heads_;
  const std::vector<std::int64_t>& position_of_row_;
};

// The composite XPOS of one row: present components joined by the separator.
std::string composite_xpos(const POSPlan::Impl& impl, const ClassIds& ids, std::int64_t row) {
  std::string xpos;
  for (std::size_t i = 0; i < impl.xpos_components.size(); ++i) {
    const std::int64_t id = ids.at(row, i);
    if (id == kAbsentId) continue;
    const std::string* unit = detail::unit_at(impl.xpos_components[i], id);
    if (unit == nullptr) fail("composite XPOS classifier produced an invalid id");
    if (!xpos.empty()) xpos += impl.xpos_separator;
    xpos += *unit;
  }
  return xpos.empty() ? "_" : xpos;
}

std::string plain_xpos(const POSPlan::Impl& impl, const ClassIds& ids, std::int64_t row) {
  const std::int64_t id = ids.at(row, 0);
  const std::string* unit = detail::unit_at(impl.xpos_units, id);
  if (unit == nullptr) fail("XPOS classifier produced an invalid id");
  return id == kAbsentId && impl.xpos_ignore ? "_" : *unit;
}

std::string features(const POSPlan::Impl& impl, const ClassIds& ids, std::int64_t row) {
  std::string feats;
  for (std::size_t i = 0; i < impl.feats_vocab.size(); ++i) {
    const std::int64_t id = ids.at(row, i);
    if (id == kAbsentId) continue;
    const FeatureVocab& feature = impl.feats_vocab[i];
    const std::string* unit = detail::unit_at(feature.units, id);
    if (unit == nullptr) fail("feature classifier produced an invalid id");
    if (!feats.empty()) feats += '|';
    feats.append(feature.name).append("=").append(*unit);
  }
  return feats.empty() ? "_" : feats;
}

at::Tensor id_tensor(std::vector<std::int64_t>& ids) {
  return at::from_blob(ids.data(), {static_cast<std::int64_t>(ids.size())}, at::kLong);
}

// The rows grouped by predicted UPOS: the distinct classes in first-occurrence
// order, the rows of each group (in row order) one group after the other, the
// group sizes, and where each row went.
struct UposGroups {
  std::vector<std::int64_t> classes;
  std::vector<std::int64_t> sizes;
  std::vector<std::int64_t> order;
  std::vector<std::int64_t> position_of_row;
};

UposGroups group_by_class(const at::Tensor& upos_ids) {
  UposGroups groups;
  const std::int64_t* ids = upos_ids.data_ptr<std::int64_t>();
  const auto rows = static_cast<std::size_t>(upos_ids.size(0));
  std::unordered_map<std::int64_t, std::size_t> group_of_class;
  std::vector<std::size_t> group_of_row(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    const auto [found, inserted] = group_of_class.try_emplace(ids[row], groups.classes.size());
    if (inserted) {
      groups.classes.push_back(ids[row]);
      groups.sizes.push_back(0);
    }
    group_of_row[row] = found->second;
    ++groups.sizes[found->second];
  }
  std::vector<std::int64_t> next(groups.sizes.size(), 0);
  for (std::size_t g = 1; g < next.size(); ++g) next[g] = next[g - 1] + groups.sizes[g - 1];
  groups.order.resize(rows);
  groups.position_of_row.resize(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    const std::int64_t position = next[group_of_row[row]]++;
    groups.order[static_cast<std::size_t>(position)] = static_cast<std::int64_t>(row);
    groups.position_of_row[row] = position;
  }
  return groups;
}

// Argmax over each classifier's logits (lowest class among equal maxima), in grouped row order.
std::vector<at::Tensor> predicted_classes(const POSPlan::Impl& impl, const at::Tensor& hidden,
                                          const at::Tensor& tag_rows, const std::vector<std::int64_t>& sizes,
                                          const std::vector<POSPlan::Impl::Biaffine>& classifiers) {
  std::vector<at::Tensor> ids;
  ids.reserve(classifiers.size());
  for (const POSPlan::Impl::Biaffine& classifier : classifiers) {
    ids.push_back(at::argmax(impl.biaffine(hidden, tag_rows, sizes, classifier), 1));
  }
  return ids;
}

}  // namespace

// logits[k][c] = sum_i a1[k][i] (sum_j W[c][i][j] b1[k][j]) + bias[c], with a1
// and b1 the inputs extended by a column of ones. b1 is the same for all rows
// of one UPOS, so the inner sum is computed once per group, M[g] [classes,
// p + 1], and each group's rows are multiplied by their own M[g].
at::Tensor POSPlan::Impl::biaffine(const at::Tensor& hidden, const at::Tensor& tag_rows,
                                   const std::vector<std::int64_t>& group_sizes,
                                   const Biaffine& classifier) const {
  const at::Tensor& w = classifier.weight;
  const std::int64_t classes = w.size(0);
  const std::int64_t inner = w.size(1);
  const at::Tensor per_tag = at::matmul(with_ones_column(tag_rows), w.reshape({classes * inner, w.size(2)}).t());
  const at::Tensor a1 = with_ones_column(hidden);
  std::vector<at::Tensor> parts;
  parts.reserve(group_sizes.size());
  std::int64_t start = 0;
  for (std::size_t g = 0; g < group_sizes.size(); ++g) {
    const at::Tensor m = per_tag[static_cast<std::int64_t>(g)].view({classes, inner});
    parts.push_back(at::matmul(a1.narrow(0, start, group_sizes[g]), m.t()));
    start += group_sizes[g];
  }
  return at::cat(parts) + classifier.bias;
}

std::vector<POSTag> POSPlan::Impl::tag_encoded(const at::Tensor& encoded, std::size_t word_count) const {
  if (!encoded.defined() || encoded.dim() != 2 || encoded.size(0) != static_cast<std::int64_t>(word_count)) {
    fail("POS encoded sentence length does not match its words");
  }
  const at::Tensor upos_hidden = at::relu(at::linear(encoded, upos_hidden_weight, upos_hidden_bias));
  const at::Tensor upos_logits = at::linear(upos_hidden, upos_classifier_weight, upos_classifier_bias);
  const at::Tensor upos_ids = at::argmax(upos_logits, 1).contiguous();
  UposGroups groups = group_by_class(upos_ids);
  const at::Tensor tag_rows = at::embedding(upos_embedding, id_tensor(groups.classes));
  const at::Tensor grouped = encoded.index_select(0, id_tensor(groups.order));
  const at::Tensor xpos_hidden = at::relu(at::linear(grouped, xpos_hidden_weight, xpos_hidden_bias));
  const at::Tensor feats_hidden = at::relu(at::linear(grouped, feats_hidden_weight, feats_hidden_bias));
  const ClassIds xpos_ids(predicted_classes(*this, xpos_hidden, tag_rows, groups.sizes, xpos_classifiers),
                          groups.position_of_row);
  const ClassIds feature_ids(predicted_classes(*this, feats_hidden, tag_rows, groups.sizes, feature_classifiers),
                             groups.position_of_row);

  std::vector<POSTag> tags;
  tags.reserve(word_count);
  const std::int64_t* upos = upos_ids.data_ptr<std::int64_t>();
  for (std::int64_t row = 0; row < static_cast<std::int64_t>(word_count); ++row) {
    const std::string* unit = detail::unit_at(upos_units, upos[row]);
    if (unit == nullptr) fail("POS classifier produced an invalid id");
    std::string xpos = xpos_composite ? composite_xpos(*this, xpos_ids, row) : plain_xpos(*this, xpos_ids, row);
    tags.push_back({*unit, std::move(xpos), features(*this, feature_ids, row)});
  }
  return tags;
}

std::vector<std::vector<POSTag>> POSPlan::Impl::tag_encoded_many(
    const std::vector<at::Tensor>& encoded, const std::vector<std::vector<std::string>>& sentences) const {
  if (encoded.size() != sentences.size()) fail("POS encoded and sentence batches must have equal lengths");
  std::vector<std::vector<POSTag>> result(sentences.size());
  std::vector<std::size_t> indices;
  std::vector<std::int64_t> lengths;
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    if (sentences[i].empty()) continue;
    const at::Tensor& rows = encoded[i];
    if (!rows.defined() || rows.dim() != 2 || rows.size(0) != static_cast<std::int64_t>(sentences[i].size())) {
      fail("POS encoded sentence length does not match its words");
    }
    indices.push_back(i);
    lengths.push_back(rows.size(0));
  }
  const std::vector<std::size_t> order = detail::longest_first(lengths);
  for (const detail::BatchRange& range : detail::cut_batches(
           order, lengths, static_cast<std::size_t>(batch_size), batch_maximum_tokens)) {
    // The heads read each row alone, so the batch's real rows are simply stacked.
    std::vector<at::Tensor> rows;
    std::size_t total = 0;
    for (std::size_t position = range.begin; position < range.end; ++position) {
      rows.push_back(encoded[indices[order[position]]]);
      total += static_cast<std::size_t>(lengths[order[position]]);
    }
    std::vector<POSTag> tags = tag_encoded(at::cat(rows), total);
    auto next = tags.begin();
    for (std::size_t position = range.begin; position < range.end; ++position) {
      const std::size_t index = indices[order[position]];
      const auto count = static_cast<std::ptrdiff_t>(lengths[order[position]]);
      result[index].assign(std::make_move_iterator(next), std::make_move_iterator(next + count));
      next += count;
    }
  }
  return result;
}

}  // namespace lorvane
