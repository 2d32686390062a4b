#include "lorvane/constituency.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/constituency/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw ConstituencyModelError(detail::model_not_available("constituency")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
ConstituencyPlan::ConstituencyPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<ConstituencyModelError>(std::move(bundle_dir), verify_checksums, "constituency", "a constituency");
  refuse();
}

ConstituencyPlan::ConstituencyPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ConstituencyPlan::ConstituencyPlan(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan& ConstituencyPlan::operator=(ConstituencyPlan&& other) noexcept = default;
ConstituencyPlan::~ConstituencyPlan() = default;

const ModelBundle& ConstituencyPlan::bundle() const { return *detail::loaded_impl(impl_, "constituency").bundle; }

bool ConstituencyPlan::uses_xpos() const noexcept { return impl_ && impl_->uses_xpos; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
ConstituencyTree ConstituencyPlan::parse(const std::vector<std::string>&,
                                         const std::vector<std::string>&) const {
  detail::loaded_impl(impl_, "constituency");
  refuse();
}

std::vector<ConstituencyTree> ConstituencyPlan::parse_many(
    const std::vector<std::vector<std::string>>& words,
    const std::vector<std::vector<std::string>>& tags) const {
  detail::loaded_impl(impl_, "constituency");
  if (words.size() != tags.size()) {
    throw ConstituencyModelError("constituency sentence and tag batches have different lengths");
  }
  refuse();
}

Document ConstituencyPlan::process(Document) const {
  detail::loaded_impl(impl_, "constituency");
  refuse();
}

std::vector<Document> ConstituencyPlan::process_bulk(std::vector<Document>) const {
  detail::loaded_impl(impl_, "constituency");
  refuse();
}

}  // namespace lorvane
