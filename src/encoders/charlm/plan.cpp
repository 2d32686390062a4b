#include <c10/core/InferenceMode.h>

#include <utility>

#include "bundle/json.hpp"
#include "encoders/charlm/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

namespace {

const CharLMPlan::Impl& loaded(const std::unique_ptr<CharLMPlan::Impl>& impl) {
  return detail::loaded_impl(impl, "character LM");
}

}  // namespace

CharLMPlan::CharLMPlan(std::filesystem::path bundle_dir, bool verify_checksums)
try : impl_(std::make_unique<Impl>()) {
  impl_->bundle = detail::open_bundle_for<CharLMModelError>(
      std::move(bundle_dir), verify_checksums, {"forward_charlm", "backward_charlm"},
      "a forward/backward_charlm");
  const detail::JsonValue assets = detail::parse_json(impl_->bundle->assets_json());
  impl_->model = std::make_unique<detail::NativeCharLM>(impl_->bundle, std::string(), assets);
} catch (...) {
  // Like every other plan, the stand-alone model reports its assets' JSON
  // errors as its own error.
  detail::rethrow_loading_error<CharLMModelError>();
}

CharLMPlan::CharLMPlan(CharLMPlan&& other) noexcept = default;
CharLMPlan& CharLMPlan::operator=(CharLMPlan&& other) noexcept = default;
// The model goes first: it holds a share of the bundle that Impl releases last.
CharLMPlan::~CharLMPlan() = default;

const ModelBundle& CharLMPlan::bundle() const { return *loaded(impl_).bundle; }

bool CharLMPlan::is_forward() const { return loaded(impl_).model->is_forward(); }

std::int64_t CharLMPlan::hidden_size() const { return loaded(impl_).model->hidden_size(); }

std::vector<std::vector<float>> CharLMPlan::encode(const std::vector<std::string>& words) const try {
  const detail::NativeCharLM& model = *loaded(impl_).model;
  c10::InferenceMode inference;
  const at::Tensor rows = model.encode(words).to(at::kFloat).contiguous();
  std::vector<std::vector<float>> result(static_cast<std::size_t>(rows.size(0)));
  const float* data = rows.data_ptr<float>();
  const auto width = static_cast<std::size_t>(rows.size(1));
  for (std::size_t row = 0; row < result.size(); ++row) {
    result[row].assign(data + row * width, data + (row + 1) * width);
  }
  return result;
} catch (...) {
  detail::rethrow_unexpected<CharLMModelError>();
}

}  // namespace lorvane
