// Loading an MWT plan, step by step as the bundle is read: processor,
// configuration, expansion dictionary, character vocabulary, then the one
// model the configuration asks for.

#include <utility>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "models/mwt/plan_impl.hpp"
#include "nn/guarded_call.hpp"
#include "nn/guarded_call.hpp"
#include "nn/plan_loading.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;

constexpr std::string_view kAssets = "assets";
constexpr std::string_view kConfigContext = "assets.config";
constexpr std::string_view kDictionaryContext = "assets.expansion_dict";

// Configuration values are converted without a context path: a value of the
// wrong type is reported by its type alone (a missing key still names
// assets.config).
bool config_flag(const JsonValue& config, std::string_view key) {
  return config.at(key, kConfigContext).as_bool("");
}

std::int64_t config_int(const JsonValue& config, std::string_view key) {
  return config.at(key, kConfigContext).as_integer("");
}

void read_configuration(const JsonValue& config, MWTPlan::Impl& impl) {
  impl.dict_only = config_flag(config, "dict_only");
  impl.ensemble_dict = config_flag(config, "ensemble_dict");
  const JsonValue* force = config.find("force_exact_pieces");
  impl.force_exact_pieces = force != nullptr && !force->is_null() && force->as_bool("");
  impl.vocab_size = config_int(config, "vocab_size");
  impl.hidden_dim = config_int(config, "hidden_dim");
  impl.num_layers = config_int(config, "num_layers");
}

void read_expansion_dictionary(const JsonValue& root, MWTPlan::Impl& impl) {
  const auto& entries = root.at("expansion_dict", kAssets).as_object(kDictionaryContext);
  impl.expansion_dict.reserve(entries.size());
  for (const auto& [token, expansion] : entries) {
    impl.expansion_dict.emplace(token, expansion.as_string(kDictionaryContext));
  }
}

// JSON errors leave as detail::JsonError.
void read_assets(MWTPlan::Impl& impl) {
  const JsonValue root = detail::parse_json(impl.bundle->assets_json());
  read_configuration(root.at("config", kAssets), impl);
  read_expansion_dictionary(root, impl);
  impl.unit2id = detail::read_unit2id(root.at("vocab", kAssets), "assets.vocab", detail::IdContext::kShared);
}

}  // namespace

MWTPlan::Impl::Impl(std::filesystem::path bundle_dir, bool verify_checksums)
    : bundle(detail::open_bundle_for<MWTModelError>(bundle_dir, verify_checksums, "mwt", "an MWT")) {
  read_assets(*this);
  if (dict_only) return;
  if (force_exact_pieces) {
    load_split_classifier();
    return;
  }
  seq2seq = std::make_unique<const Seq2SeqPlan>(std::move(bundle_dir), verify_checksums);
}

MWTPlan::MWTPlan(std::filesystem::path bundle_dir, bool verify_checksums) {
  try {
    impl_ = std::make_unique<Impl>(std::move(bundle_dir), verify_checksums);
  } catch (...) {
    detail::rethrow_loading_error<MWTModelError>();
  }
}

MWTPlan::MWTPlan(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MWTPlan::MWTPlan(MWTPlan&& other) noexcept = default;
MWTPlan& MWTPlan::operator=(MWTPlan&& other) noexcept = default;
MWTPlan::~MWTPlan() = default;

const ModelBundle& MWTPlan::bundle() const { return *detail::loaded_impl(impl_, "MWT").bundle; }

std::string MWTPlan::expand(const std::string& token) const try {
  return detail::loaded_impl(impl_, "MWT").expand(token);
} catch (...) {
  detail::rethrow_unexpected<MWTModelError>();
}

}  // namespace lorvane
