#pragma once

// Writing seq2seq bundles (tests/fixtures/seq2seq_bundle.py) and running the
// eager reference (tests/reference/seq2seq_reference.py) from the C++ tests.

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "lorvane/seq2seq.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// One bundle: its directory name under the suite root and the keyword
// arguments of write_seq2seq_bundle as JSON.
struct Seq2SeqBundle {
  std::string name;
  std::string options;
};

// Writes all bundles in one run of the writer.
inline void write_seq2seq_bundles(const std::filesystem::path& root, const std::vector<Seq2SeqBundle>& bundles) {
  std::vector<std::string> jobs;
  for (const Seq2SeqBundle& bundle : bundles) {
    jobs.push_back("{\"out_dir\": " + json_string((root / bundle.name).string()) +
                   ", \"options\": " + bundle.options + "}");
  }
  TempDir scratch;
  write_file(scratch / "jobs.json", json_array(jobs));
  run_python({(source_dir() / "tests" / "fixtures" / "seq2seq_bundle.py").string(), "--batch",
              (scratch / "jobs.json").string()});
}

// The reference's results for a request {"jobs": [...]}, one per job.
inline detail::JsonValue run_seq2seq_reference(const std::string& request) {
  TempDir scratch;
  write_file(scratch / "request.json", request);
  run_python({(source_dir() / "tests" / "reference" / "seq2seq_reference.py").string(),
              (scratch / "request.json").string(), (scratch / "result.json").string()});
  return detail::parse_json(read_file(scratch / "result.json")).at("jobs", "");
}

// A prediction as the reference writes it: [text, edit or null].
inline Seq2SeqPrediction reference_prediction(const detail::JsonValue& value) {
  const auto& pair = value.as_array("");
  Seq2SeqPrediction prediction{pair.at(0).as_string(""), std::nullopt};
  if (!pair.at(1).is_null()) prediction.edit = pair.at(1).as_integer("");
  return prediction;
}

// Whether word w of a predict job is too close to call: one of the
// reference's choices for it leads the runner-up by less than twice a
// log-probability's float32 tolerance per log-probability summed (either
// side's scores may move that much). A float64 model's gap is 0: the floor of
// the tolerance then stands for its rounding.
inline bool prediction_too_close_to_call(const detail::JsonValue& job, std::size_t w) {
  const detail::JsonValue& margin = job.find("margins")->as_array("").at(w);
  return !margin.is_null() && margin.as_number("") < 2.0 * float32_tolerance(job.find("float64_gap")->as_number(""));
}

inline std::vector<std::string> strings_of(const detail::JsonValue& value) {
  std::vector<std::string> out;
  for (const auto& item : value.as_array("")) out.push_back(item.as_string(""));
  return out;
}

inline std::vector<std::optional<std::string>> optional_strings_of(const detail::JsonValue& value) {
  std::vector<std::optional<std::string>> out;
  for (const auto& item : value.as_array("")) {
    out.push_back(item.is_null() ? std::nullopt : std::optional<std::string>(item.as_string("")));
  }
  return out;
}

// "<type>: <message>" of what fn throws: seq2seq (Seq2SeqModelError), bundle
// (another ModelBundleError), invalid_argument, logic_error, other; "none".
template <class Fn>
std::string failure_of(Fn&& fn) {
  try {
    fn();
  } catch (const Seq2SeqModelError& e) {
    return std::string("seq2seq: ") + e.what();
  } catch (const ModelBundleError& e) {
    return std::string("bundle: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::logic_error& e) {
    return std::string("logic_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "none";
}

inline bool same_prediction(const Seq2SeqPrediction& a, const Seq2SeqPrediction& b) {
  return a.text == b.text && a.edit == b.edit;
}

inline std::string describe(const Seq2SeqPrediction& p) {
  return "'" + p.text + "' edit " + (p.edit ? std::to_string(*p.edit) : std::string("none"));
}

}  // namespace lorvane::testing
