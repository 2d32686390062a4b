// Loading a "lemma" bundle, in the order the bundle is read: bundle kind,
// settings, the dictionary, then the sequence-to-sequence model unless the
// bundle is dictionary-only.

#include <utility>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "models/lemma/assets.hpp"
#include "models/lemma/entry_points.hpp"
#include "models/lemma/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

LemmaPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<LemmaModelError>(bundle_dir, verify_checksums, "lemma", "a lemma")) {
  const detail::JsonValue root = detail::parse_json(bundle->assets_json());
  detail::read_lemma_settings(root, *this);
  pos_dict = detail::read_lemma_dictionary(root);
  if (dict_only) return;
  seq2seq = std::make_unique<const Seq2SeqPlan>(std::move(bundle_dir), verify_checksums);
  detail::require_same_pos_setting(pos, *seq2seq);
}

LemmaPlan::LemmaPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<LemmaModelError>();
  }
}

LemmaPlan::LemmaPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LemmaPlan::LemmaPlan(LemmaPlan&& other) noexcept = default;
LemmaPlan& LemmaPlan::operator=(LemmaPlan&& other) noexcept = default;
LemmaPlan::~LemmaPlan() = default;

const ModelBundle& LemmaPlan::bundle() const { return *detail::loaded_impl(impl_, "lemma").bundle; }

bool LemmaPlan::uses_pos() const { return detail::loaded_impl(impl_, "lemma").pos; }

std::string LemmaPlan::lemmatize(const std::string& word, const std::optional<std::string>& upos) const try {
  return detail::loaded_impl(impl_, "lemma").lemmatize(word, upos);
} catch (...) {
  detail::rethrow_unexpected<LemmaModelError>();
}

Document LemmaPlan::process(Document document) const try {
  return detail::lemmatize_document(detail::loaded_impl(impl_, "lemma"), std::move(document), nullptr);
} catch (...) {
  detail::rethrow_unexpected<LemmaModelError>();
}

std::vector<Document> LemmaPlan::process_bulk(std::vector<Document> documents) const try {
  return detail::lemmatize_documents(detail::loaded_impl(impl_, "lemma"), std::move(documents), nullptr);
} catch (...) {
  detail::rethrow_unexpected<LemmaModelError>();
}

}  // namespace lorvane
