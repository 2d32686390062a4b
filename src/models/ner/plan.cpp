#include "lorvane/ner.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/ner/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw NERModelError(detail::model_not_available("NER")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
NERPlan::NERPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<NERModelError>(std::move(bundle_dir), verify_checksums, "ner", "an NER");
  refuse();
}

NERPlan::NERPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NERPlan::NERPlan(NERPlan&& other) noexcept = default;
NERPlan& NERPlan::operator=(NERPlan&& other) noexcept = default;
NERPlan::~NERPlan() = default;

const ModelBundle& NERPlan::bundle() const { return *detail::loaded_impl(impl_, "NER").bundle; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
std::vector<std::string> NERPlan::tag(const std::vector<std::string>&) const {
  detail::loaded_impl(impl_, "NER");
  refuse();
}

Document NERPlan::process(Document) const {
  detail::loaded_impl(impl_, "NER");
  refuse();
}

}  // namespace lorvane
