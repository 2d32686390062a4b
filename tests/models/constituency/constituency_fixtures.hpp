#pragma once

// Constituency bundles for the tests, written by
// tests/fixtures/constituency_bundle.py (one Python run per call).

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.hpp"

namespace lorvane::testing {

// (directory name under root, write_constituency_bundle options as JSON).
using BundleJob = std::pair<std::string, std::string>;

inline std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline void write_constituency_bundles(const std::filesystem::path& root, const std::vector<BundleJob>& jobs) {
  std::string list = "[";
  for (const auto& [name, options] : jobs) {
    if (list.size() > 1) list += ",";
    list += "{\"out_dir\": " + json_quote((root / name).string()) + ", \"options\": " + options + "}";
  }
  write_file(root / "jobs.json", list + "]");
  run_python({(source_dir() / "tests/fixtures/constituency_bundle.py").string(), "--batch",
              (root / "jobs.json").string()});
}

}  // namespace lorvane::testing
