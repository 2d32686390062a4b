#include "encoders/transformer/native_transformer.hpp"

#include <ATen/ops/empty.h>

#include <filesystem>
#include <stdexcept>
#include <utility>

#include "encoders/transformer/encoder_impl.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/transformer.hpp"
#include "nn/config.hpp"

namespace lorvane::detail {

struct NativeTransformer::Impl {
  std::shared_ptr<const ModelBundle> bundle;
  TransformerEncoder encoder;
  std::int64_t hidden_size;
};

namespace {

constexpr std::string_view kContext = "assets.transformer";
constexpr std::string_view kTokenizerContext = "assets.transformer.tokenizer";

std::int64_t positive_int(const JsonValue& object, std::string_view key, std::string_view context) {
  const std::int64_t value = required_int(object, key, context);
  if (value <= 0) throw TransformerError(member_context(context, key) + " must be positive");
  // Widths are summed into the models' input widths: bounded like every size.
  return size_in_range(value, 1, kMaxConfiguredSize, member_context(context, key), &raise<TransformerError>);
}

// The elements of the array at object[key], each read by `element` with the
// array's path followed by "[]".
template <class Element>
auto read_array(const JsonValue& object, std::string_view key, std::string_view context, Element&& element) {
  const std::string path = member_context(context, key);
  const std::string element_path = path + "[]";
  const JsonValue::Array& values = object.at(key, context).as_array(path);
  std::vector<decltype(element(values.front(), element_path))> out;
  out.reserve(values.size());
  for (const JsonValue& value : values) out.push_back(element(value, element_path));
  return out;
}

std::string string_element(const JsonValue& value, const std::string& path) { return value.as_string(path); }

std::pair<std::string, std::string> merge_element(const JsonValue& value, const std::string& path) {
  const JsonValue::Array& pair = value.as_array(path);
  if (pair.size() != 2) throw TransformerError("byte BPE merge must contain exactly two tokens");
  return {pair[0].as_string(path + "[0]"), pair[1].as_string(path + "[1]")};
}

float score_element(const JsonValue& value, const std::string& path) {
  return static_cast<float>(value.as_number(path));
}

// One plain path element: not empty, no directory part, not "." or ".."
// (which would name the bundle directory or its parent), no NUL byte.
bool is_bundle_local_filename(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

TransformerEncoder build_encoder(std::filesystem::path package, const JsonValue& tokenizer,
                                 std::uint64_t model_max_length) {
  const std::string type = required_string(tokenizer, "type", kTokenizerContext);
  std::vector<std::string> vocabulary = read_array(tokenizer, "vocabulary", kTokenizerContext, string_element);
  if (type == "WordPiece") {
    const auto max_characters = positive_int(tokenizer, "max_input_characters_per_word", kTokenizerContext);
    std::string prefix = required_string(tokenizer, "continuing_subword_prefix", kTokenizerContext);
    std::string sep = required_string(tokenizer, "sep_token", kTokenizerContext);
    std::string cls = required_string(tokenizer, "cls_token", kTokenizerContext);
    std::string unknown = required_string(tokenizer, "unknown_token", kTokenizerContext);
    const bool strip_accents = required_bool(tokenizer, "strip_accents", kTokenizerContext);
    const bool lowercase = required_bool(tokenizer, "lowercase", kTokenizerContext);
    return TransformerEncoder(std::move(package), std::move(vocabulary), lowercase, strip_accents, 0,
                              model_max_length, std::move(unknown), std::move(cls), std::move(sep),
                              std::move(prefix), static_cast<std::uint64_t>(max_characters));
  }
  if (type == "ByteBPE") {
    auto merges = read_array(tokenizer, "merges", kTokenizerContext, merge_element);
    std::string sep = required_string(tokenizer, "sep_token", kTokenizerContext);
    std::string cls = required_string(tokenizer, "cls_token", kTokenizerContext);
    std::string unknown = required_string(tokenizer, "unknown_token", kTokenizerContext);
    const bool add_prefix_space = required_bool(tokenizer, "add_prefix_space", kTokenizerContext);
    return TransformerEncoder(std::move(package), std::move(vocabulary), std::move(merges), add_prefix_space, 0,
                              model_max_length, std::move(unknown), std::move(cls), std::move(sep));
  }
  if (type == "XLMRobertaUnigram") {
    std::vector<float> scores = read_array(tokenizer, "scores", kTokenizerContext, score_element);
    std::string sep = required_string(tokenizer, "sep_token", kTokenizerContext);
    std::string cls = required_string(tokenizer, "cls_token", kTokenizerContext);
    const std::int64_t unknown_id = required_int(tokenizer, "unknown_id", kTokenizerContext);
    std::vector<std::uint8_t> charsmap =
        decode_base64_charsmap(required_string(tokenizer, "precompiled_charsmap", kTokenizerContext));
    return TransformerEncoder(std::move(package), std::move(vocabulary), std::move(scores), std::move(charsmap),
                              unknown_id, 0, model_max_length, std::move(cls), std::move(sep));
  }
  throw TransformerError("unsupported native transformer tokenizer type: " + type);
}

std::unique_ptr<NativeTransformer::Impl> load(std::shared_ptr<const ModelBundle> bundle, const JsonValue& assets) {
  if (!bundle) throw std::invalid_argument("a native transformer needs a model bundle");
  if (assets.at("backend", kContext).as_string("") != "aotinductor") {
    throw TransformerError("unsupported transformer runtime backend");
  }
  const std::string& artifact = required_string(assets, "artifact", kContext);
  if (!is_bundle_local_filename(artifact)) {
    throw TransformerError("transformer artifact must be a bundle-local filename");
  }
  const std::int64_t hidden_size = positive_int(assets, "hidden_size", kContext);
  const std::int64_t model_max_length = positive_int(assets, "model_max_length", kContext);
  const JsonValue& tokenizer = assets.at("tokenizer", kContext);
  TransformerEncoder encoder =
      build_encoder(bundle->path() / artifact, tokenizer, static_cast<std::uint64_t>(model_max_length));
  return std::make_unique<NativeTransformer::Impl>(
      NativeTransformer::Impl{std::move(bundle), std::move(encoder), hidden_size});
}

// The rows unchanged once their width is the declared one; no rows give
// [0, hidden_size].
at::Tensor checked_rows(at::Tensor rows, std::int64_t hidden_size) {
  if (rows.size(0) == 0) return at::empty({0, hidden_size}, at::kFloat);
  if (rows.size(1) != hidden_size) {
    throw TransformerError("AOTInductor transformer output hidden size disagrees with assets");
  }
  return rows;
}

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::vector<std::uint8_t> decode_base64_charsmap(std::string_view text) {
  if (text.size() % 4 != 0) throw TransformerError("invalid base64 tokenizer charsmap length");
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    std::uint32_t bits = 0;
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[group + k];
      const int value = c == '=' ? 0 : sextet(c);
      if (c == '=') {
        ++padding;
      } else if (value < 0 || padding > 0) {
        throw TransformerError("invalid base64 tokenizer charsmap");
      }
      bits = bits << 6 | static_cast<std::uint32_t>(value);
    }
    if (padding > 2) throw TransformerError("invalid base64 tokenizer charsmap");
    for (int k = 0; k < 3 - padding; ++k) bytes.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * k)));
  }
  return bytes;
}

NativeTransformer::NativeTransformer(std::shared_ptr<const ModelBundle> bundle, const JsonValue& assets)
    : impl_(load(std::move(bundle), assets)) {}

NativeTransformer::~NativeTransformer() = default;

std::int64_t NativeTransformer::hidden_size() const noexcept { return impl_->hidden_size; }

WordPieceEncoding NativeTransformer::tokenize(const std::vector<std::string>& words, bool add_special_tokens) const {
  return impl_->encoder.tokenize(words, add_special_tokens);
}

at::Tensor NativeTransformer::encode(const std::vector<std::string>& words, bool keep_endpoints) const {
  return checked_rows(encode_words_tensor(impl_->encoder, words, keep_endpoints), impl_->hidden_size);
}

at::Tensor NativeTransformer::encode_ids(const std::vector<std::int64_t>& input_ids,
                                         const std::vector<std::int64_t>& attention_mask) const {
  return checked_rows(encode_ids_tensor(impl_->encoder, input_ids, attention_mask), impl_->hidden_size);
}

}  // namespace lorvane::detail
