#pragma once

// Shared by the transformer tests: the compiled packages of the build
// directory, the fixture writer (tests/fixtures/transformer_bundle.py), and
// encoders built directly from a "transformer" assets object.

#include <ATen/ATen.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "encoders/transformer/native_transformer.hpp"
#include "lorvane/transformer.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// Built by the lorvane_transformer_packages target (see
// cmake/LorvaneTransformerPackages.cmake).
inline std::filesystem::path transformer_packages_dir() { return LORVANE_TRANSFORMER_PACKAGES; }
inline std::filesystem::path transformer_package(const std::string& name) {
  return transformer_packages_dir() / (name + ".pt2");
}

inline const char* const kTokenizerTypes[] = {"WordPiece", "ByteBPE", "XLMRobertaUnigram"};

// Runs transformer_bundle.py --batch over the jobs (JSON objects).
inline void write_transformer_fixtures(const std::vector<std::string>& jobs) {
  TempDir scratch;
  write_file(scratch / "jobs.json", json_array(jobs));
  run_python({(source_dir() / "tests" / "fixtures" / "transformer_bundle.py").string(), "--batch",
              (scratch / "jobs.json").string()});
}

// A job writing only the transformer object of `tokenizer` (options: more
// members of the job's "transformer" object, e.g. "\"ops\": [...]").
inline std::string assets_job(const std::filesystem::path& out, const std::string& tokenizer,
                              const std::string& options = "") {
  return "{\"assets_out\": " + json_string(out.string()) +
         ", \"packages_dir\": " + json_string(transformer_packages_dir().string()) +
         ", \"transformer\": {\"package\": \"context_free\", \"tokenizer\": " + json_string(tokenizer) +
         (options.empty() ? "" : ", " + options) + "}}";
}

inline std::vector<std::string> string_list(const detail::JsonValue& array) {
  std::vector<std::string> out;
  for (const detail::JsonValue& value : array.as_array("")) out.push_back(value.as_string(""));
  return out;
}

// The encoder the object's tokenizer describes, over `package` with the
// given maximum length, built through the constructor of its type.
inline TransformerEncoder encoder_from_assets(const detail::JsonValue& transformer,
                                              const std::filesystem::path& package,
                                              std::uint64_t model_max_length,
                                              std::uint64_t intra_op_threads = 0) {
  const detail::JsonValue& t = transformer.at("tokenizer", "");
  const std::string& type = t.at("type", "").as_string("");
  auto text = [&](const char* key) { return t.at(key, "").as_string(""); };
  if (type == "WordPiece") {
    return TransformerEncoder(package, string_list(t.at("vocabulary", "")), t.at("lowercase", "").as_bool(""),
                              t.at("strip_accents", "").as_bool(""), intra_op_threads, model_max_length,
                              text("unknown_token"), text("cls_token"), text("sep_token"),
                              text("continuing_subword_prefix"),
                              static_cast<std::uint64_t>(t.at("max_input_characters_per_word", "").as_integer("")));
  }
  if (type == "ByteBPE") {
    std::vector<std::pair<std::string, std::string>> merges;
    for (const detail::JsonValue& pair : t.at("merges", "").as_array("")) {
      merges.emplace_back(pair.as_array("")[0].as_string(""), pair.as_array("")[1].as_string(""));
    }
    return TransformerEncoder(package, string_list(t.at("vocabulary", "")), std::move(merges),
                              t.at("add_prefix_space", "").as_bool(""), intra_op_threads, model_max_length,
                              text("unknown_token"), text("cls_token"), text("sep_token"));
  }
  std::vector<float> scores;
  for (const detail::JsonValue& score : t.at("scores", "").as_array("")) {
    scores.push_back(static_cast<float>(score.as_number("")));
  }
  std::vector<std::uint8_t> bytes = detail::decode_base64_charsmap(text("precompiled_charsmap"));
  return TransformerEncoder(package, string_list(t.at("vocabulary", "")), std::move(scores), std::move(bytes),
                            t.at("unknown_id", "").as_integer(""), intra_op_threads, model_max_length,
                            text("cls_token"), text("sep_token"));
}

// The failure as "<type>: <message>" ("no failure" when fn returns), so that
// one table covers the several error types of the encoder and its assets.
inline std::string failure(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const TransformerError& e) {
    return std::string("TransformerError: ") + e.what();
  } catch (const detail::JsonError& e) {
    return std::string("JsonError: ") + e.what();
  } catch (const WordPieceError& e) {
    return std::string("WordPieceError: ") + e.what();
  } catch (const SubwordError& e) {
    return std::string("SubwordError: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::logic_error& e) {
    return std::string("logic_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no failure";
}

// One row of a model's transformer table: a bundle its writer generates with a
// compiled test package, compared with the eager reference or expected to fail.
struct ModelTransformerCase {
  std::string name;
  std::string options;      // the bundle writer's options besides "transformer", as JSON members
  std::string package;      // the compiled test package
  std::string transformer;  // further model_transformer options, as JSON members
  // "" to compare with the reference; else "load " or the operation's name
  // (where it fails), the error type and the message, "{dir}" standing for
  // the bundle path.
  std::string failure;
};

// Writes every case's bundle to dir/<name> in one run of the generator.
inline void write_model_transformer_bundles(const std::string& generator, const std::filesystem::path& dir,
                                            const std::vector<ModelTransformerCase>& cases) {
  std::vector<std::pair<std::filesystem::path, std::string>> jobs;
  for (const ModelTransformerCase& c : cases) {
    jobs.emplace_back(dir / c.name, "{" + c.options + (c.options.empty() ? "" : ", ") +
                                        "\"transformer\": {\"packages_dir\": " +
                                        json_quote(transformer_packages_dir().string()) + ", \"package\": \"" +
                                        c.package + "\"" + (c.transformer.empty() ? "" : ", " + c.transformer) +
                                        "}}");
  }
  write_generated_bundles(generator, dir, jobs);
}

// A subword encoding as the references read it: [input ids, word ids].
inline std::string json_encoding(const WordPieceEncoding& encoding) {
  return "[" + json_ints(encoding.input_ids) + "," + json_ints(encoding.word_ids) + "]";
}

// Where the plan of `bundle` fails: "load <type>: <message>" when it does not
// load, else "<operation> <type>: <message>" when `run` throws, else "".
// <type> is model_error for ModelError, TransformerError or "other".
template <class Plan, class ModelError>
std::string model_transformer_failure(const std::filesystem::path& bundle, const std::string& model_error,
                                      const std::string& operation, const std::function<void(const Plan&)>& run) {
  const auto failure_of = [&](const std::function<void()>& fn) -> std::string {
    try {
      fn();
    } catch (const ModelError& e) {
      return model_error + ": " + e.what();
    } catch (const TransformerError& e) {
      return std::string("TransformerError: ") + e.what();
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
    return "";
  };
  std::unique_ptr<Plan> plan;
  const std::string load = failure_of([&] { plan = std::make_unique<Plan>(bundle, false); });
  if (!load.empty()) return "load " + load;
  const std::string failure = failure_of([&] { run(*plan); });
  return failure.empty() ? "" : operation + " " + failure;
}

// Rows as a [rows, columns] float tensor (a copy).
inline at::Tensor rows_tensor(const std::vector<std::vector<float>>& rows) {
  if (rows.empty()) return at::empty({0, 0});
  at::Tensor out = at::empty({static_cast<std::int64_t>(rows.size()), static_cast<std::int64_t>(rows[0].size())});
  for (std::size_t r = 0; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r].size(), rows[0].size());
    std::copy(rows[r].begin(), rows[r].end(), out[static_cast<std::int64_t>(r)].data_ptr<float>());
  }
  return out;
}

// Same shape and |a - b| <= atol everywhere.
inline ::testing::AssertionResult tensors_close(const at::Tensor& actual, const at::Tensor& expected,
                                                double atol) {
  if (actual.sizes() != expected.sizes()) {
    return ::testing::AssertionFailure() << "shape " << actual.sizes() << " vs " << expected.sizes();
  }
  if (actual.numel() == 0) return ::testing::AssertionSuccess();
  const double worst = (actual.to(at::kDouble) - expected.to(at::kDouble)).abs().max().item<double>();
  if (worst <= atol) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "largest difference " << worst << " > " << atol;
}

}  // namespace lorvane::testing
