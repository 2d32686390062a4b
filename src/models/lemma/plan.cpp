#include "lorvane/lemma.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/lemma/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw LemmaModelError(detail::model_not_available("lemma")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
LemmaPlan::LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<LemmaModelError>(std::move(bundle_dir), verify_checksums, "lemma", "a lemma");
  refuse();
}

LemmaPlan::LemmaPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LemmaPlan::LemmaPlan(LemmaPlan&& other) noexcept = default;
LemmaPlan& LemmaPlan::operator=(LemmaPlan&& other) noexcept = default;
LemmaPlan::~LemmaPlan() = default;

const ModelBundle& LemmaPlan::bundle() const { return *detail::loaded_impl(impl_, "lemma").bundle; }

bool LemmaPlan::uses_pos() const noexcept { return impl_ && impl_->uses_pos; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
std::string LemmaPlan::lemmatize(const std::string&, const std::optional<std::string>&) const {
  detail::loaded_impl(impl_, "lemma");
  refuse();
}

Document LemmaPlan::process(Document) const {
  detail::loaded_impl(impl_, "lemma");
  refuse();
}

std::vector<Document> LemmaPlan::process_bulk(std::vector<Document>) const {
  detail::loaded_impl(impl_, "lemma");
  refuse();
}

}  // namespace lorvane
