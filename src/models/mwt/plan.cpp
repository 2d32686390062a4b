#include "lorvane/mwt.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/mwt/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw MWTModelError(detail::model_not_available("MWT")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
MWTPlan::MWTPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<MWTModelError>(std::move(bundle_dir), verify_checksums, "mwt", "an MWT");
  refuse();
}

MWTPlan::MWTPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MWTPlan::MWTPlan(MWTPlan&& other) noexcept = default;
MWTPlan& MWTPlan::operator=(MWTPlan&& other) noexcept = default;
MWTPlan::~MWTPlan() = default;

const ModelBundle& MWTPlan::bundle() const { return *detail::loaded_impl(impl_, "MWT").bundle; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
Document MWTPlan::process(const Document&) const {
  detail::loaded_impl(impl_, "MWT");
  refuse();
}

std::string MWTPlan::expand(const std::string&) const {
  detail::loaded_impl(impl_, "MWT");
  refuse();
}

}  // namespace lorvane
