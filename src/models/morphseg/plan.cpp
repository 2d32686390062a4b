#include "lorvane/morphseg.hpp"

#include <stdexcept>
#include <utility>

#include "lorvane/document.hpp"
#include "models/morphseg/model.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {

namespace {

std::shared_ptr<const ModelBundle> open_morphseg_bundle(std::filesystem::path bundle_dir,
                                                        bool verify_checksums) {
  return detail::open_bundle_for<MorphSegModelError>(std::move(bundle_dir), verify_checksums,
                                                     "morphseg", "a morphseg");
}

// The regular words of the documents, in document order and word order.
std::vector<Word> words_of(const std::vector<Document>& documents) {
  std::vector<Word> words;
  for (const Document& document : documents) {
    const WordSequence sequence = document.words();
    words.reserve(words.size() + sequence.size());
    for (std::uint64_t i = 0; i < sequence.size(); ++i) {
      words.push_back(sequence.at(static_cast<std::int64_t>(i)));
    }
  }
  return words;
}

}  // namespace

// No native morpheme-segmentation profile exists, so every bundle of the right
// kind is refused once it has been opened and its kind checked.
MorphSegPlan::MorphSegPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  open_morphseg_bundle(std::move(bundle_dir), verify_checksums);
  throw MorphSegModelError(detail::no_model_profile("morphseg"));
}

MorphSegPlan::MorphSegPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MorphSegPlan::MorphSegPlan(MorphSegPlan&& other) noexcept = default;
MorphSegPlan& MorphSegPlan::operator=(MorphSegPlan&& other) noexcept = default;
MorphSegPlan::~MorphSegPlan() = default;

const ModelBundle& MorphSegPlan::bundle() const {
  return *detail::loaded_impl(impl_, "morphseg").bundle;
}

std::vector<std::string> MorphSegPlan::segment(const std::string& word) const {
  return segment_many({word}).front();
}

std::vector<std::vector<std::string>> MorphSegPlan::segment_many(
    const std::vector<std::string>& words) const {
  const Impl& impl = detail::loaded_impl(impl_, "morphseg");
  if (words.empty()) return {};
  std::vector<std::vector<std::string>> morphemes = impl.model->segment_batch(words);
  if (morphemes.size() != words.size()) {
    throw std::logic_error("the morpheme segmentation model returned " +
                           std::to_string(morphemes.size()) + " results for " +
                           std::to_string(words.size()) + " words");
  }
  return morphemes;
}

Document MorphSegPlan::process(Document document) const {
  std::vector<Document> batch;
  batch.push_back(std::move(document));
  return std::move(process_bulk(std::move(batch)).front());
}

std::vector<Document> MorphSegPlan::process_bulk(std::vector<Document> documents) const {
  std::vector<Word> words = words_of(documents);
  std::vector<std::string> texts;
  texts.reserve(words.size());
  for (const Word& word : words) texts.push_back(word.text());
  const std::vector<std::vector<std::string>> morphemes = segment_many(texts);
  for (std::size_t i = 0; i < words.size(); ++i) words[i].set_morphemes(morphemes[i]);
  return documents;
}

namespace detail {

MorphSegPlan make_morphseg_plan(std::filesystem::path bundle_dir, bool verify_checksums,
                                std::shared_ptr<const MorphSegModel> model) {
  if (!model) throw std::invalid_argument("a morpheme segmentation model cannot be null");
  auto impl = std::make_unique<MorphSegPlan::Impl>();
  impl->bundle = open_morphseg_bundle(std::move(bundle_dir), verify_checksums);
  impl->model = std::move(model);
  return MorphSegPlan(std::move(impl));
}

}  // namespace detail

}  // namespace lorvane
