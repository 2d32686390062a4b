#pragma once

// Shared by the sentiment tests: writing generated bundles in one run of the
// fixture generator, and the token lists of sentences given as text.

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.hpp"

namespace lorvane::testing {

// One bundle (or, with `model_dir`, a model directory holding the demo
// tokenize bundle and this sentiment bundle) and the generator's keyword
// arguments as a JSON object.
struct SentimentJob {
  std::filesystem::path path;
  std::string options = "{}";
  bool model_dir = false;
};

inline void write_sentiment_bundles(const std::filesystem::path& scratch, const std::vector<SentimentJob>& jobs) {
  std::string list = "[";
  for (const SentimentJob& job : jobs) {
    if (list.size() > 1) list += ",\n";
    list += std::string("{\"") + (job.model_dir ? "model_dir" : "out_dir") + "\": " + json_quote(job.path.string()) +
            ", \"options\": " + job.options + "}";
  }
  const std::filesystem::path file = scratch / "sentiment_jobs.json";
  write_file(file, list + "]");
  run_python({(source_dir() / "tests/fixtures/sentiment_bundle.py").string(), "--batch", file.string()});
}

// "a b|c" -> {{"a", "b"}, {"c"}}; "_" stands for a space inside a token.
inline std::vector<std::vector<std::string>> sentences(const std::string& text) {
  std::vector<std::vector<std::string>> result;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line, '|');) {
    std::vector<std::string>& tokens = result.emplace_back();
    std::stringstream words(line);
    for (std::string word; words >> word;) {
      for (char& c : word) c = c == '_' ? ' ' : c;
      tokens.push_back(word);
    }
  }
  return result;
}

}  // namespace lorvane::testing
