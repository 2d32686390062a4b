#include "lorvane/pos.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/pos/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw POSModelError(detail::model_not_available("POS")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
POSPlan::POSPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<POSModelError>(std::move(bundle_dir), verify_checksums, "pos", "a POS");
  refuse();
}

POSPlan::POSPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
POSPlan::POSPlan(POSPlan&& other) noexcept = default;
POSPlan& POSPlan::operator=(POSPlan&& other) noexcept = default;
POSPlan::~POSPlan() = default;

const ModelBundle& POSPlan::bundle() const { return *detail::loaded_impl(impl_, "POS").bundle; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
Document POSPlan::process(Document) const {
  detail::loaded_impl(impl_, "POS");
  refuse();
}

std::vector<Document> POSPlan::process_bulk(std::vector<Document>) const {
  detail::loaded_impl(impl_, "POS");
  refuse();
}

}  // namespace lorvane
