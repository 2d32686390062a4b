// Malformed bundles that once loaded and then failed at the first document
// (or left the library as an untyped or internal error) now fail at load
// with the plan's own error: one edit of a generated bundle per row, each
// with its exact message. Also the boundary guard that turns an unexpected
// tensor-library error into a plan error of one line.

#include <c10/util/Exception.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvane/charlm.hpp"
#include "lorvane/constituency.hpp"
#include "lorvane/depparse.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/lemma.hpp"
#include "lorvane/mwt.hpp"
#include "lorvane/ner.hpp"
#include "lorvane/pos.hpp"
#include "lorvane/sentiment.hpp"
#include "nn/guarded_call.hpp"
#include "support/mutation_cases.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using Load = std::function<void(const std::filesystem::path&)>;

template <class Plan>
Load load() {
  return [](const std::filesystem::path& dir) { Plan(dir, false); };
}

struct Row {
  const char* name;
  const char* kind;  // of mutated_bundles.py
  std::string edit;  // its --edit JSON
  Load load;
  const char* error;    // the exception's dynamic type
  std::string message;  // "<dir>" stands for the bundle directory
};

constexpr const char* kInt64Max = "9223372036854775807";

std::string set_config(const std::string& key, const std::string& value, int variant = 0) {
  return R"({"variant": )" + std::to_string(variant) + R"(, "assets_ops": [{"set": "config.)" + key +
         R"(", "value": )" + value + "}]}";
}

std::string retype(const std::string& tensor, const std::string& dtype, int variant = 0) {
  return R"({"variant": )" + std::to_string(variant) + R"(, "tensors": {")" + tensor + R"(": {"dtype": ")" + dtype +
         R"("}}})";
}

std::string reshape(const std::string& tensor, const std::string& shape, const std::string& nbytes = "") {
  return R"({"tensors": {")" + tensor + R"(": {"shape": )" + shape + (nbytes.empty() ? "" : R"(, "nbytes": )" + nbytes) +
         "}}}";
}

std::string set_asset(const std::string& path, const std::string& value, int variant = 0) {
  return R"({"variant": )" + std::to_string(variant) + R"(, "assets_ops": [{"set": )" + path + R"(, "value": )" +
         value + "}]}";
}

std::vector<Row> rows() {
  const std::string max = kInt64Max;
  return {
      // Sizes: range-checked before they are combined or size anything.
      {"mwt layer count 2^63-1", "mwt", set_config("num_layers", max), load<MWTPlan>(), "lorvane::MWTModelError",
       "expected an integer from 1 to 65536 at assets.config.num_layers"},
      {"mwt hidden size 2^31", "mwt", set_config("hidden_dim", "2147483648"), load<MWTPlan>(),
       "lorvane::MWTModelError", "expected an integer from 2 to 16777216 at assets.config.hidden_dim"},
      {"pos transformed_dim 2^63-1", "pos", set_config("transformed_dim", max), load<POSPlan>(),
       "lorvane::POSModelError", "expected an integer from 1 to 16777216 at assets.config.transformed_dim"},
      {"depparse tag_emb_dim 2^63-1", "depparse", set_config("tag_emb_dim", max), load<DepparsePlan>(),
       "lorvane::DepparseModelError", "expected an integer from 1 to 16777216 at assets.config.tag_emb_dim"},
      {"ner layer count 10^7", "ner", set_config("num_layers", "10000000"), load<NERPlan>(),
       "lorvane::NERModelError", "expected an integer from 1 to 65536 at assets.config.num_layers"},
      {"lemma max_dec_len 2^63-1", "lemma", set_config("max_dec_len", max), load<LemmaPlan>(),
       "lorvane::Seq2SeqModelError", "expected an integer from 1 to 65536 at assets.config.max_dec_len"},
      {"lemma beam_size 2^63-1", "lemma", set_config("beam_size", max), load<LemmaPlan>(),
       "lorvane::Seq2SeqModelError", "expected an integer from 1 to 1024 at assets.config.beam_size"},
      {"constituency hidden size 10^12", "constituency", set_config("hidden_size", "1000000000000"),
       load<ConstituencyPlan>(), "lorvane::ConstituencyModelError",
       "expected an integer from 1 to 16777216 at assets.config.hidden_size"},
      {"charlm hidden size 2^31", "forward_charlm", set_config("char_hidden_dim", "2147483648"), load<CharLMPlan>(),
       "lorvane::CharLMModelError", "expected an integer from 1 to 16777216 at charlm assets.config.char_hidden_dim"},
      // An LSTM weight of zero elements but a huge size.
      {"mwt empty recurrent weight [0, 2^63-1]", "mwt", reshape("encoder.weight_hh_l0", "[0, " + max + "]", "0"),
       load<MWTPlan>(), "lorvane::MWTModelError", "MWT tensor has an unexpected shape or dtype: 'encoder.weight_hh_l0'"},
      // Shapes and dtypes of the heads, relabelled floats.
      {"pos xpos_hid relabelled int32", "pos", retype("xpos_hid.weight", "int32"), load<POSPlan>(),
       "lorvane::POSModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [13, 12], got int32 [13, 12]: "
       "'xpos_hid.weight'"},
      {"pos feature classifier transposed", "pos", reshape("ufeats_clf.0.W_bilin.weight", "[4, 9, 6]"),
       load<POSPlan>(), "lorvane::POSModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [4, 9, 4], got float32 [4, 9, 6]: "
       "'ufeats_clf.0.W_bilin.weight'"},
      {"depparse distance bias relabelled int32", "depparse", retype("distance.scorer.W_bilin.bias", "int32"),
       load<DepparsePlan>(), "lorvane::DepparseModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [1], got int32 [1]: "
       "'distance.scorer.W_bilin.bias'"},
      {"depparse deprel W_bilin transposed", "depparse", reshape("deprel.scorer.W_bilin.weight", "[10, 14, 12]"),
       load<DepparsePlan>(), "lorvane::DepparseModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [12, 14, 10], got float32 [10, 14, 12]: "
       "'deprel.scorer.W_bilin.weight'"},
      {"ner word embedding relabelled int32", "ner", retype("word_emb.weight", "int32"), load<NERPlan>(),
       "lorvane::NERModelError",
       "tensor does not fit the model in bundle <dir>: expected float [*, 7], got int32 [11, 7]: 'word_emb.weight'"},
      {"sentiment convolution bias relabelled int32", "sentiment", retype("conv_layers.0.bias", "int32"),
       load<SentimentPlan>(), "lorvane::SentimentModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [4], got int32 [4]: 'conv_layers.0.bias'"},
      {"constituency stack LSTM relabelled int32", "constituency", retype("constituent_stack.lstm.weight_hh_l0", "int32"),
       load<ConstituencyPlan>(), "lorvane::ConstituencyModelError",
       "tensor does not fit the model in bundle <dir>: expected float32 [28, 7], got int32 [28, 7]: "
       "'constituent_stack.lstm.weight_hh_l0'"},
      // Vocabulary ids past their tables.
      {"mwt character id past the table", "mwt", set_asset(R"("vocab._unit2id.d")", "1004"), load<MWTPlan>(),
       "lorvane::MWTModelError", "vocabulary id 1004 is outside the 13 rows of 'embedding.weight' at assets.vocab._unit2id.d"},
      {"ner word id past the table", "ner", set_asset(R"("vocab.word._unit2id.the")", "1004"), load<NERPlan>(),
       "lorvane::NERModelError",
       "vocabulary id 1004 is outside the 11 rows of 'word_emb.weight' at assets.vocab.word._unit2id.the"},
      {"pos character id past the table", "pos", set_asset(R"("vocab.char._unit2id.d")", "-1"), load<POSPlan>(),
       "lorvane::POSModelError",
       "vocabulary id -1 is outside the 44 rows of 'charmodel.char_emb.weight' at assets.vocab.char._unit2id.d"},
      {"depparse word id past the table", "depparse", set_asset(R"("vocab.word._unit2id.dog")", max),
       load<DepparsePlan>(), "lorvane::DepparseModelError",
       "vocabulary id 9223372036854775807 is outside the 25 rows of 'word_emb.weight' at assets.vocab.word._unit2id.dog"},
      {"lemma character id past the table", "lemma", set_asset(R"("vocab.char._unit2id.s")", "-1"),
       load<LemmaPlan>(), "lorvane::Seq2SeqModelError", "seq2seq vocabulary id is out of range: 's'"},
      {"charlm start symbol past the table", "backward_charlm", set_asset(R"(["vocab", "_unit2id", "\n"])", "1002"),
       load<CharLMPlan>(), "lorvane::CharLMModelError",
       // The start symbol is a line feed, escaped so that the message keeps one line.
       "vocabulary id 1002 is outside the 14 rows of 'char_emb.weight' at charlm assets.vocab._unit2id.\\n"},
      // The stand-alone character model reports bad assets as its own error.
      {"charlm missing hidden size", "forward_charlm", R"({"assets_ops": [{"delete": "config.char_hidden_dim"}]})",
       load<CharLMPlan>(), "lorvane::CharLMModelError", "missing JSON key 'char_hidden_dim' at charlm assets.config"},
      {"charlm direction of the wrong type", "forward_charlm", set_asset(R"("is_forward_lm")", R"("yes")"),
       load<CharLMPlan>(), "lorvane::CharLMModelError", "expected JSON boolean at charlm assets.is_forward_lm"},
  };
}

class LoadChecksTest : public ::testing::TestWithParam<Row> {};

TEST_P(LoadChecksTest, RefusedAtLoadWithItsMessage) {
  const Row& row = GetParam();
  testing::TempDir scratch;
  const std::filesystem::path dir = scratch / "bundle";
  testing::run_python({(testing::source_dir() / "tests/fixtures/mutated_bundles.py").string(), "--kind", row.kind,
                       "--edit", row.edit, dir.string()});
  std::string type = "none";
  std::string message;
  try {
    row.load(dir);
  } catch (const std::exception& error) {
    type = testing::current_exception_type();
    message = error.what();
  }
  std::string expected = row.message;
  if (const std::size_t at = expected.find("<dir>"); at != std::string::npos) {
    expected.replace(at, 5, std::filesystem::absolute(dir).string());
  }
  EXPECT_EQ(type, row.error);
  EXPECT_EQ(message, expected);
}

INSTANTIATE_TEST_SUITE_P(Bundles, LoadChecksTest, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// What leaves an entry point when something unexpected fails inside it.
struct GuardRow {
  const char* name;
  std::function<void()> fail;
  const char* error;
  const char* message;
};

void guarded(const std::function<void()>& fail) {
  try {
    fail();
  } catch (...) {
    detail::rethrow_unexpected<POSModelError>();
  }
}

TEST(RethrowUnexpectedTest, TurnsLibraryAndAllocationFailuresIntoThePlanErrorAndPassesTheRest) {
  const std::vector<GuardRow> rows = {
      {"tensor library error: first line only", [] { TORCH_CHECK(false, "shapes differ\nsecond line"); },
       "lorvane::POSModelError", "shapes differ"},
      {"tensor library index error", [] { TORCH_CHECK_INDEX(false, "index out of range in self"); },
       "lorvane::POSModelError", "index out of range in self"},
      {"allocation failure", [] { throw std::bad_alloc(); }, "lorvane::POSModelError",
       "the model needs more memory than is available"},
      {"length error", [] { throw std::length_error("vector::reserve"); }, "lorvane::POSModelError",
       "the model's sizes exceed what can be allocated: vector::reserve"},
      {"LSTM misfit", [] { throw detail::LstmShapeError("LSTM weights do not fit the input at layer 0"); },
       "lorvane::POSModelError", "LSTM weights do not fit the input at layer 0"},
      {"invalid UTF-8 input passes", [] { throw std::invalid_argument("invalid UTF-8 sequence at byte offset 3"); },
       "std::invalid_argument", "invalid UTF-8 sequence at byte offset 3"},
      {"bundle error passes", [] { throw ModelBundleError("tensor is not present in bundle: 'x'"); },
       "lorvane::ModelBundleError", "tensor is not present in bundle: 'x'"},
  };
  for (const GuardRow& row : rows) {
    std::string type = "none";
    std::string message;
    try {
      guarded(row.fail);
    } catch (const std::exception& error) {
      type = testing::current_exception_type();
      message = error.what();
    }
    EXPECT_EQ(type, row.error) << row.name;
    EXPECT_EQ(message, row.message) << row.name;
  }
}

}  // namespace
}  // namespace lorvane
