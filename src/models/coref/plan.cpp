#include "lorvane/coref_plan.hpp"

#include <stdexcept>
#include <utility>

#include "models/coref/model.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

namespace {

std::shared_ptr<const ModelBundle> open_coref_bundle(std::filesystem::path bundle_dir,
                                                     bool verify_checksums) {
  return detail::open_bundle_for<CorefModelError>(std::move(bundle_dir), verify_checksums,
                                                  "coref", "a coref");
}

}  // namespace

// No native coreference profile exists, so every bundle of the right kind is
// refused once it has been opened and its kind checked.
CorefPlan::CorefPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  open_coref_bundle(std::move(bundle_dir), verify_checksums);
  throw CorefModelError(detail::no_model_profile("coref"));
}

CorefPlan::CorefPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CorefPlan::CorefPlan(CorefPlan&& other) noexcept = default;
CorefPlan& CorefPlan::operator=(CorefPlan&& other) noexcept = default;
CorefPlan::~CorefPlan() = default;

const ModelBundle& CorefPlan::bundle() const { return *detail::loaded_impl(impl_, "coref").bundle; }

bool CorefPlan::predicts_singletons() const noexcept {
  return impl_ && impl_->model->predicts_singletons();
}

bool CorefPlan::predicts_zero_anaphora() const noexcept {
  return impl_ && impl_->model->predicts_zero_anaphora();
}

Document CorefPlan::process(Document document) const {
  detail::loaded_impl(impl_, "coref").model->annotate(document);
  return document;
}

std::vector<Document> CorefPlan::process_bulk(std::vector<Document> documents) const {
  for (Document& document : documents) document = process(std::move(document));
  return documents;
}

namespace detail {

CorefPlan make_coref_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                          std::shared_ptr<const CorefModel> model) {
  if (!model) throw std::invalid_argument("a coreference model cannot be null");
  auto impl = std::make_unique<CorefPlan::Impl>();
  impl->bundle = open_coref_bundle(std::move(bundle_dir), verify_checksums);
  impl->model = std::move(model);
  return CorefPlan(std::move(impl));
}

}  // namespace detail

}  // namespace lorvane
