#pragma once

// Generating bundles through tests/fixtures/bundle_writer.py from the C++ tests.

#include <filesystem>
#include <string>

#include "support/test_support.hpp"

namespace lorvane::testing {

// Runs the bundle writer on a JSON description (an object or a list of them,
// see tests/fixtures/README.md). The description goes through a file so that
// long matrices do not hit argument limits.
inline void write_bundles(const std::string& description) {
  TempDir scratch;
  const auto file = scratch / "description.json";
  write_file(file, description);
  run_python({(source_dir() / "tests" / "fixtures" / "bundle_writer.py").string(), file.string()});
}

// A JSON string literal for a path or text (ASCII paths from TempDir only).
inline std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Replaces every "{dir}" in the pattern with the directory's text.
inline std::string with_dir(std::string pattern, const std::filesystem::path& dir) {
  const std::string marker = "{dir}";
  for (auto pos = pattern.find(marker); pos != std::string::npos; pos = pattern.find(marker, pos)) {
    pattern.replace(pos, marker.size(), dir.string());
    pos += dir.string().size();
  }
  return pattern;
}

}  // namespace lorvane::testing
