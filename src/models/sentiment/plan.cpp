#include "lorvane/sentiment.hpp"

#include <utility>

#include "lorvane/document.hpp"
#include "models/common/plan_loading.hpp"
#include "models/sentiment/plan_impl.hpp"

namespace lorvane {

namespace {

[[noreturn]] void refuse() { throw SentimentModelError(detail::model_not_available("sentiment")); }

}  // namespace

// The bundle is opened and its kind checked so that a misplaced bundle is
// reported as such; a bundle of the right kind is refused because this build
// has no native model of this kind.
SentimentPlan::SentimentPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  detail::open_bundle_for<SentimentModelError>(std::move(bundle_dir), verify_checksums, "sentiment", "a sentiment");
  refuse();
}

SentimentPlan::SentimentPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SentimentPlan::SentimentPlan(SentimentPlan&& other) noexcept = default;
SentimentPlan& SentimentPlan::operator=(SentimentPlan&& other) noexcept = default;
SentimentPlan::~SentimentPlan() = default;

const ModelBundle& SentimentPlan::bundle() const { return *detail::loaded_impl(impl_, "sentiment").bundle; }

// Unreachable through the public constructor; refused for plans adopted from a
// loader as well, since there is no model to run.
std::int64_t SentimentPlan::classify(const std::vector<std::string>&) const {
  detail::loaded_impl(impl_, "sentiment");
  refuse();
}

std::vector<std::int64_t> SentimentPlan::classify_many(const std::vector<std::vector<std::string>>&,
                                                       std::uint64_t batch_size) const {
  detail::loaded_impl(impl_, "sentiment");
  if (batch_size == 0) throw std::invalid_argument("sentiment batch_size must be positive");
  refuse();
}

Document SentimentPlan::process(Document) const {
  detail::loaded_impl(impl_, "sentiment");
  refuse();
}

std::vector<Document> SentimentPlan::process_bulk(std::vector<Document>) const {
  detail::loaded_impl(impl_, "sentiment");
  refuse();
}

}  // namespace lorvane
