#include "lorvane/depparse.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/depparse/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw DepparseModelError(detail::model_not_available("depparse")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
DepparsePlan::DepparsePlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<DepparseModelError>(std::move(bundle_dir), verify_checksums, "depparse", "a depparse");
  refuse();
}

DepparsePlan::DepparsePlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DepparsePlan::DepparsePlan(DepparsePlan&& other) noexcept = default;
DepparsePlan& DepparsePlan::operator=(DepparsePlan&& other) noexcept = default;
DepparsePlan::~DepparsePlan() = default;

const ModelBundle& DepparsePlan::bundle() const { return *detail::loaded_impl(impl_, "depparse").bundle; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
Document DepparsePlan::process(Document) const {
  detail::loaded_impl(impl_, "depparse");
  refuse();
}

std::vector<Document> DepparsePlan::process_bulk(std::vector<Document>) const {
  detail::loaded_impl(impl_, "depparse");
  refuse();
}

}  // namespace lorvane
