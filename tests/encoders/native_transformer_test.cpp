// NativeTransformer: the "transformer" assets of a bundle, read into the
// same encoder that the constructors build directly.

#include <ATen/ATen.h>

#include <functional>

#include "encoders/transformer/native_transformer.hpp"
#include "transformer_test_support.hpp"

namespace lorvane::detail {
namespace {

using testing::failure;

class NativeTransformerTest : public testing::SuiteDirectoryTest<NativeTransformerTest> {
 public:
  struct Variant {
    std::string name;
    std::string tokenizer;
    std::string ops;       // bundle_writer.apply_json_ops edits of the transformer object
    std::string expected;  // "<type>: <message>"; a prefix when it ends with "..."
  };
  static const std::vector<Variant>& variants();

  static void populate(const std::filesystem::path& root) {
    std::vector<std::string> jobs;
    for (const char* type : testing::kTokenizerTypes) {
      jobs.push_back("{\"out_dir\": " + testing::json_string((root / type).string()) + ", \"packages_dir\": " +
                     testing::json_string(testing::transformer_packages_dir().string()) +
                     ", \"transformer\": {\"package\": \"context_free\", \"model_max_length\": 12, "
                     "\"tokenizer\": \"" + type + "\"}}");
    }
    for (std::size_t i = 0; i < variants().size(); ++i) {
      jobs.push_back(testing::assets_job(root / ("variant-" + std::to_string(i)), variants()[i].tokenizer,
                                         "\"ops\": " + variants()[i].ops));
    }
    testing::write_transformer_fixtures(jobs);
  }
  static std::shared_ptr<const ModelBundle> bundle(const std::string& type) {
    return std::make_shared<const ModelBundle>(root_->path() / type, true);
  }
  static JsonValue transformer_assets(const std::string& type) {
    return load_json(root_->path() / type / "assets.json").at("transformer", "assets");
  }
};

const std::vector<NativeTransformerTest::Variant>& NativeTransformerTest::variants() {
  const std::string kLocal = "TransformerError: transformer artifact must be a bundle-local filename";
  const std::string kBase64 = "TransformerError: invalid base64 tokenizer charsmap";
  static const std::vector<Variant> table = {
      {"backend", "WordPiece", R"([{"set": "backend", "value": "onnx"}])",
       "TransformerError: unsupported transformer runtime backend"},
      {"backend type", "WordPiece", R"([{"set": "backend", "value": 3}])", "JsonError: expected JSON string"},
      {"backend missing", "WordPiece", R"([{"delete": "backend"}])",
       "JsonError: missing JSON key 'backend' at assets.transformer"},
      {"backend before artifact", "WordPiece",
       R"([{"set": "backend", "value": "AOTInductor"}, {"set": "artifact", "value": ""}])",
       "TransformerError: unsupported transformer runtime backend"},
      {"artifact empty", "WordPiece", R"([{"set": "artifact", "value": ""}])", kLocal},
      {"artifact absolute", "WordPiece", R"([{"set": "artifact", "value": "/tmp/transformer.pt2"}])", kLocal},
      {"artifact with a directory", "WordPiece", R"([{"set": "artifact", "value": "sub/transformer.pt2"}])", kLocal},
      {"artifact trailing slash", "WordPiece", R"([{"set": "artifact", "value": "transformer.pt2/"}])", kLocal},
      {"artifact .", "WordPiece", R"([{"set": "artifact", "value": "."}])", kLocal},
      {"artifact ..", "WordPiece", R"([{"set": "artifact", "value": ".."}])", kLocal},
      {"artifact NUL", "WordPiece", R"([{"set": "artifact", "value": "transformer.pt2\u0000x"}])", kLocal},
      {"artifact absent", "WordPiece", R"([{"set": "artifact", "value": "absent.pt2"}])",
       "TransformerError: AOTInductor transformer model does not exist: {bundle}/absent.pt2"},
      {"artifact type", "WordPiece", R"([{"set": "artifact", "value": 7}])",
       "JsonError: expected JSON string at assets.transformer.artifact"},
      {"artifact missing", "WordPiece", R"([{"delete": "artifact"}])",
       "JsonError: missing JSON key 'artifact' at assets.transformer"},
      {"hidden_size 0", "WordPiece", R"([{"set": "hidden_size", "value": 0}])",
       "TransformerError: assets.transformer.hidden_size must be positive"},
      {"hidden_size -1", "WordPiece", R"([{"set": "hidden_size", "value": -1}])",
       "TransformerError: assets.transformer.hidden_size must be positive"},
      {"hidden_size string", "WordPiece", R"([{"set": "hidden_size", "value": "13"}])",
       "JsonError: expected JSON integer at assets.transformer.hidden_size"},
      {"hidden_size fraction", "WordPiece", R"([{"set": "hidden_size", "value": 13.0}])",
       "JsonError: expected JSON integer at assets.transformer.hidden_size"},
      {"model_max_length 0", "WordPiece", R"([{"set": "model_max_length", "value": 0}])",
       "TransformerError: assets.transformer.model_max_length must be positive"},
      {"model_max_length 4", "WordPiece", R"([{"set": "model_max_length", "value": 4}])",
       "TransformerError: transformer model_max_length must be at least 5"},
      {"tokenizer missing", "WordPiece", R"([{"delete": "tokenizer"}])",
       "JsonError: missing JSON key 'tokenizer' at assets.transformer"},
      {"tokenizer not an object", "WordPiece", R"([{"set": "tokenizer", "value": []}])",
       "JsonError: expected JSON object at assets.transformer.tokenizer"},
      {"type in lower case", "WordPiece", R"([{"set": "tokenizer.type", "value": "wordpiece"}])",
       "TransformerError: unsupported native transformer tokenizer type: wordpiece"},
      {"type missing", "WordPiece", R"([{"delete": "tokenizer.type"}])",
       "JsonError: missing JSON key 'type' at assets.transformer.tokenizer"},
      {"vocabulary before type", "WordPiece",
       R"([{"set": "tokenizer.type", "value": "BPE"}, {"set": "tokenizer.vocabulary.1", "value": 5}])",
       "JsonError: expected JSON string at assets.transformer.tokenizer.vocabulary[]"},
      {"vocabulary not an array", "ByteBPE", R"([{"set": "tokenizer.vocabulary", "value": "a"}])",
       "JsonError: expected JSON array at assets.transformer.tokenizer.vocabulary"},
      {"max_input_characters_per_word 0", "WordPiece",
       R"([{"set": "tokenizer.max_input_characters_per_word", "value": 0}])",
       "TransformerError: assets.transformer.tokenizer.max_input_characters_per_word must be positive"},
      {"lowercase type", "WordPiece", R"([{"set": "tokenizer.lowercase", "value": "yes"}])",
       "JsonError: expected JSON boolean at assets.transformer.tokenizer.lowercase"},
      {"unknown_token missing", "WordPiece", R"([{"delete": "tokenizer.unknown_token"}])",
       "JsonError: missing JSON key 'unknown_token' at assets.transformer.tokenizer"},
      {"tokenizer error before the package", "WordPiece",
       R"([{"set": "tokenizer.unknown_token", "value": "[NOPE]"}, {"set": "artifact", "value": "absent.pt2"}])",
       "WordPieceError: ..."},
      {"merge of one", "ByteBPE", R"([{"set": "tokenizer.merges.0", "value": ["a"]}])",
       "TransformerError: byte BPE merge must contain exactly two tokens"},
      {"merge of three", "ByteBPE", R"([{"set": "tokenizer.merges.2", "value": ["a", "b", "c"]}])",
       "TransformerError: byte BPE merge must contain exactly two tokens"},
      {"merge not an array", "ByteBPE", R"([{"set": "tokenizer.merges.0", "value": "ab"}])",
       "JsonError: expected JSON array at assets.transformer.tokenizer.merges[]"},
      {"merge member type", "ByteBPE", R"([{"set": "tokenizer.merges.0", "value": ["a", 5]}])",
       "JsonError: expected JSON string at assets.transformer.tokenizer.merges[][1]"},
      {"merge not in the vocabulary", "ByteBPE", R"([{"set": "tokenizer.merges.0", "value": ["a", "q"]}])",
       "SubwordError: ..."},
      {"add_prefix_space missing", "ByteBPE", R"([{"delete": "tokenizer.add_prefix_space"}])",
       "JsonError: missing JSON key 'add_prefix_space' at assets.transformer.tokenizer"},
      {"charsmap of 5 characters", "XLMRobertaUnigram",
       R"([{"set": "tokenizer.precompiled_charsmap", "value": "QUJDR"}])",
       "TransformerError: invalid base64 tokenizer charsmap length"},
      {"charsmap with *", "XLMRobertaUnigram", R"([{"set": "tokenizer.precompiled_charsmap", "value": "QU*="}])",
       kBase64},
      {"charsmap letter after =", "XLMRobertaUnigram",
       R"([{"set": "tokenizer.precompiled_charsmap", "value": "QQ=A"}])", kBase64},
      {"charsmap empty", "XLMRobertaUnigram", R"([{"set": "tokenizer.precompiled_charsmap", "value": ""}])",
       "SubwordError: XLM-R precompiled charsmap is truncated"},  // no bytes reach the tokenizer
      {"charsmap of an empty trie", "XLMRobertaUnigram",
       R"([{"set": "tokenizer.precompiled_charsmap", "value": "AAAAAA=="}])", "no failure"},
      {"charsmap type", "XLMRobertaUnigram", R"([{"set": "tokenizer.precompiled_charsmap", "value": null}])",
       "JsonError: expected JSON string at assets.transformer.tokenizer.precompiled_charsmap"},
      {"score type", "XLMRobertaUnigram", R"([{"set": "tokenizer.scores.4", "value": "x"}])",
       "JsonError: expected JSON number at assets.transformer.tokenizer.scores[]"},
      {"unknown_id type", "XLMRobertaUnigram", R"([{"set": "tokenizer.unknown_id", "value": "3"}])",
       "JsonError: expected JSON integer at assets.transformer.tokenizer.unknown_id"},
      {"unknown_id out of range", "XLMRobertaUnigram", R"([{"set": "tokenizer.unknown_id", "value": 1000}])",
       "SubwordError: ..."},
      {"not an object", "WordPiece", R"([{"root": 5}])", "JsonError: expected JSON object at assets.transformer"},
  };
  return table;
}


TEST_F(NativeTransformerTest, AssetsBuildTheEncoderTheConstructorsBuild) {
  const std::vector<std::vector<std::string>> sentences = {
      {},
      {"the", "cat", "sat"},
      {"Playing", "\xE2\x80\x8B", "", "unbelievable", "dogs"},
      {"the", "cat", "sat", "on", "the", "mat", "playing", "with", "a", "dog", "running", "away"},
  };
  for (const char* type : testing::kTokenizerTypes) {
    const NativeTransformer native(bundle(type), transformer_assets(type));
    const TransformerEncoder direct = testing::encoder_from_assets(
        transformer_assets(type), root_->path() / type / "transformer.pt2", 12);
    EXPECT_EQ(native.hidden_size(), 13);
    for (const auto& words : sentences) {
      EXPECT_EQ(native.tokenize(words, true).input_ids, direct.tokenize(words, true).input_ids) << type;
      for (const bool keep_endpoints : {false, true}) {
        const at::Tensor rows = native.encode(words, keep_endpoints);
        EXPECT_EQ(rows.sizes(), at::IntArrayRef({static_cast<std::int64_t>(words.size() + (keep_endpoints ? 2 : 0)), 13}));
        if (rows.size(0) > 0) {
          EXPECT_TRUE(at::equal(rows, testing::rows_tensor(direct.encode(words, keep_endpoints)))) << type;
        }
      }
      const std::vector<std::int64_t> ids = direct.tokenize(words, true).input_ids;
      EXPECT_TRUE(at::equal(native.encode_ids(ids, {}), testing::rows_tensor(direct.encode_ids(ids, {})))) << type;
    }
    EXPECT_EQ(native.encode_ids({}, {}).sizes(), at::IntArrayRef({0, 13}));
  }
}

TEST_F(NativeTransformerTest, EveryRefusalHasItsMessage) {
  for (std::size_t i = 0; i < variants().size(); ++i) {
    const Variant& v = variants()[i];
    const JsonValue assets = load_json(root_->path() / ("variant-" + std::to_string(i)));
    const std::string got = failure([&] { NativeTransformer(bundle(v.tokenizer), assets); });
    std::string expected = v.expected;
    if (const auto at = expected.find("{bundle}"); at != std::string::npos) {
      expected.replace(at, 8, (root_->path() / v.tokenizer).string());
    }
    if (expected.ends_with("...")) {
      EXPECT_TRUE(got.starts_with(expected.substr(0, expected.size() - 3))) << v.name << ": " << got;
    } else {
      EXPECT_EQ(got, expected) << v.name;
    }
  }
  EXPECT_EQ(failure([&] { NativeTransformer(nullptr, transformer_assets("WordPiece")); }),
            "invalid_argument: a native transformer needs a model bundle");
}

TEST_F(NativeTransformerTest, DeclaredWidthIsCheckedOnTheFirstRows) {
  const JsonValue wider = parse_json(R"({"backend": "aotinductor", "artifact": "transformer.pt2",
      "hidden_size": 14, "model_max_length": 12, "tokenizer": {"type": "WordPiece",
      "vocabulary": ["[UNK]", "[CLS]", "[SEP]", "a"], "max_input_characters_per_word": 5,
      "continuing_subword_prefix": "##", "sep_token": "[SEP]", "cls_token": "[CLS]",
      "unknown_token": "[UNK]", "strip_accents": false, "lowercase": false}})");
  const NativeTransformer native(bundle("WordPiece"), wider);
  EXPECT_EQ(native.hidden_size(), 14);
  EXPECT_EQ(native.encode({}, false).sizes(), at::IntArrayRef({0, 14}));
  EXPECT_EQ(native.encode_ids({}, {}).sizes(), at::IntArrayRef({0, 14}));
  const std::string kWidth = "TransformerError: AOTInductor transformer output hidden size disagrees with assets";
  EXPECT_EQ(failure([&] { native.encode({"a"}, false); }), kWidth);
  EXPECT_EQ(failure([&] { native.encode({}, true); }), kWidth);
  EXPECT_EQ(failure([&] { native.encode_ids({1, 3, 2}, {}); }), kWidth);
}

TEST(Base64Charsmap, GroupsDecodeOnTheirOwn) {
  using Bytes = std::vector<std::uint8_t>;
  const std::string kLength = "TransformerError: invalid base64 tokenizer charsmap length";
  const std::string kBad = "TransformerError: invalid base64 tokenizer charsmap";
  const std::vector<std::pair<std::string, std::string>> failing = {
      {"QUJDR", kLength}, {"Q", kLength},  {"QUJ", kLength},  {"QU*=", kBad}, {"QQ=A", kBad},
      {"Q===", kBad},     {"====", kBad},  {"=QQQ", kBad},    {"QU-_", kBad}, {"QUJD\n", kLength},
      {"QUJ\xC3", kBad},  {"QU J", kBad},
  };
  for (const auto& [text, expected] : failing) EXPECT_EQ(failure([&] { decode_base64_charsmap(text); }), expected) << text;
  const std::vector<std::pair<std::string, Bytes>> decoded = {
      {"", {}},
      {"QQ==", {'A'}},
      {"QUI=", {'A', 'B'}},
      {"QUJD", {'A', 'B', 'C'}},
      {"QUJDRA==", {'A', 'B', 'C', 'D'}},
      {"QQ==QUJD", {'A', 'A', 'B', 'C'}},  // padding ends only its own group
      {"+/+/", {0xFB, 0xFF, 0xBF}},
      {"AAAA", {0, 0, 0}},
  };
  for (const auto& [text, bytes] : decoded) EXPECT_EQ(decode_base64_charsmap(text), bytes) << text;
}

}  // namespace
}  // namespace lorvane::detail
