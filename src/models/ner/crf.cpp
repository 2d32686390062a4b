#include "models/ner/crf.hpp"

#include <cmath>
#include <cstddef>
#include <string_view>

#include "lorvane/errors.hpp"
#include "nn/vocabulary.hpp"

namespace lorvane::detail {
namespace {

// Tag ids below this are the column's reserved entries, never emitted.
constexpr std::int64_t kFirstEmittedTag = 4;

at::Tensor contiguous_floats(const at::Tensor& tensor) {
  return tensor.to(at::kFloat).contiguous();
}

// A running maximum over candidates met in index order: only a strictly
// greater candidate replaces it, so the first wins ties, and a NaN never
// replaces it (it starts as NaN, index 0, which any number replaces).
struct Best {
  float score = NAN;
  std::int64_t index = 0;

  void offer(float candidate, std::int64_t candidate_index) {
    if (candidate > score || (std::isnan(score) && !std::isnan(candidate))) {
      score = candidate;
      index = candidate_index;
    }
  }
};

}  // namespace

std::vector<std::int64_t> viterbi_path(const at::Tensor& emissions, const at::Tensor& transitions) {
  const at::Tensor e = contiguous_floats(emissions);
  const at::Tensor t = contiguous_floats(transitions);
  if (e.dim() != 2 || t.dim() != 2 || e.size(1) < 1 || t.size(0) != e.size(1) ||
      t.size(1) != e.size(1)) {
    throw NERModelError("NER CRF tensors have incompatible dimensions");
  }
  const std::int64_t n = e.size(0);
  const std::int64_t k = e.size(1);
  if (n == 0) return {};
  const float* emit = e.const_data_ptr<float>();
  const float* trans = t.const_data_ptr<float>();
  const auto width = static_cast<std::size_t>(k);

  std::vector<float> score(emit, emit + k);
  std::vector<float> next(width);
  std::vector<std::int64_t> back(static_cast<std::size_t>(n) * width, 0);
  for (std::int64_t step = 1; step < n; ++step) {
    const float* row = emit + step * k;
    std::int64_t* pointers = back.data() + static_cast<std::size_t>(step) * width;
    for (std::int64_t j = 0; j < k; ++j) {
      Best best;
      for (std::int64_t i = 0; i < k; ++i) best.offer(score[static_cast<std::size_t>(i)] + trans[i * k + j], i);
      next[static_cast<std::size_t>(j)] = best.score + row[j];
      pointers[j] = best.index;
    }
    score.swap(next);
  }

  Best last;
  for (std::int64_t j = 0; j < k; ++j) last.offer(score[static_cast<std::size_t>(j)], j);
  std::vector<std::int64_t> path(static_cast<std::size_t>(n));
  path.back() = last.index;
  for (std::int64_t step = n - 1; step > 0; --step) {
    const auto at = static_cast<std::size_t>(step);
    path[at - 1] = back[at * width + static_cast<std::size_t>(path[at])];
  }
  return path;
}

std::vector<std::string> path_tags(const std::vector<std::int64_t>& path,
                                   const std::vector<std::string>& column) {
  std::vector<std::string> tags;
  tags.reserve(path.size());
  for (const std::int64_t id : path) {
    const std::string* tag = unit_at(column, id < kFirstEmittedTag ? kFirstEmittedTag : id);
    if (tag == nullptr) throw NERModelError("NER CRF produced an invalid tag id");
    tags.push_back(*tag);
  }
  return tags;
}

namespace {

bool has_prefix(std::string_view tag, std::string_view prefix) { return tag.substr(0, 2) == prefix; }

// The entity type of a tag: everything after its two-byte prefix.
std::string_view entity_type(std::string_view tag) { return tag.substr(2); }

bool is_tag(const std::string& tag, std::string_view prefix, std::string_view type) {
  return tag.size() == 2 + type.size() && has_prefix(tag, prefix) && entity_type(tag) == type;
}

// Whether the tag at `position` continues a run of `type` into it from the
// left (B- or I- before it) or out of it to the right (I- or E- after it).
bool opened_before(const std::vector<std::string>& tags, std::size_t position, std::string_view type) {
  return position > 0 &&
         (is_tag(tags[position - 1], "B-", type) || is_tag(tags[position - 1], "I-", type));
}

bool continued_after(const std::vector<std::string>& tags, std::size_t position, std::string_view type) {
  return position + 1 < tags.size() &&
         (is_tag(tags[position + 1], "I-", type) || is_tag(tags[position + 1], "E-", type));
}

}  // namespace

void repair_bioes(std::vector<std::string>& tags) {
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].size() < 2 || !has_prefix(tags[i], "I-")) continue;
    const std::string type(entity_type(tags[i]));
    if (!continued_after(tags, i, type)) tags[i] = "E-" + type;
    if (!opened_before(tags, i, type)) tags[i] = "B-" + type;
  }
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].size() < 2) continue;
    const std::string type(entity_type(tags[i]));
    if (has_prefix(tags[i], "B-") && !continued_after(tags, i, type)) tags[i] = "S-" + type;
    else if (has_prefix(tags[i], "E-") && !opened_before(tags, i, type)) tags[i] = "S-" + type;
  }
}

}  // namespace lorvane::detail
