#include "lorvane/langid.hpp"

#include <stdexcept>
#include <utility>

#include "models/langid/model.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

namespace {

std::shared_ptr<const ModelBundle> open_langid_bundle(std::filesystem::path bundle_dir,
                                                      bool verify_checksums) {
  return detail::open_bundle_for<LangIDModelError>(std::move(bundle_dir), verify_checksums,
                                                   "langid", "a langid");
}

}  // namespace

// No native language-identification profile exists, so every bundle of the
// right kind is refused once it has been opened and its kind checked.
LangIDPlan::LangIDPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  open_langid_bundle(std::move(bundle_dir), verify_checksums);
  throw LangIDModelError(detail::no_model_profile("langid"));
}

LangIDPlan::LangIDPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LangIDPlan::LangIDPlan(LangIDPlan&& other) noexcept = default;
LangIDPlan& LangIDPlan::operator=(LangIDPlan&& other) noexcept = default;
LangIDPlan::~LangIDPlan() = default;

const ModelBundle& LangIDPlan::bundle() const {
  return *detail::loaded_impl(impl_, "langid").bundle;
}

std::string LangIDPlan::identify(const std::string& text,
                                 const std::vector<std::string>& subset) const {
  return identify_many({text}, subset).front();
}

std::vector<std::string> LangIDPlan::identify_many(const std::vector<std::string>& texts,
                                                   const std::vector<std::string>& subset) const {
  const Impl& impl = detail::loaded_impl(impl_, "langid");
  for (const std::string& text : texts) {
    if (text.empty()) throw LangIDModelError("language identification requires non-empty text");
  }
  if (texts.empty()) return {};
  std::vector<std::string> languages = impl.model->identify_batch(texts, subset);
  if (languages.size() != texts.size()) {
    throw std::logic_error("the language identification model returned " +
                           std::to_string(languages.size()) + " results for " +
                           std::to_string(texts.size()) + " texts");
  }
  return languages;
}

namespace detail {

LangIDPlan make_langid_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                            std::shared_ptr<const LangIDModel> model) {
  if (!model) throw std::invalid_argument("a language identification model cannot be null");
  auto impl = std::make_unique<LangIDPlan::Impl>();
  impl->bundle = open_langid_bundle(std::move(bundle_dir), verify_checksums);
  impl->model = std::move(model);
  return LangIDPlan(std::move(impl));
}

}  // namespace detail

}  // namespace lorvane
