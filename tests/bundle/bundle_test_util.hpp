#pragma once

// Generating bundles through tests/fixtures/bundle_writer.py from the C++ tests,
// and the scaffolding the bundle tests share.

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/errors.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// How a plan's constructor refuses a bundle: the message, and whether it came
// as the plan's own error class (rather than another ModelBundleError, such
// as the bundle layer's). Fails the test when the bundle loads.
template <class Plan, class OwnError>
std::pair<std::string, bool> refusal(const std::filesystem::path& bundle_dir) {
  try {
    Plan plan(bundle_dir, false);
    ADD_FAILURE() << "loaded";
  } catch (const ModelBundleError& error) {
    return {error.what(), dynamic_cast<const OwnError*>(&error) != nullptr};
  }
  return {};
}

// Runs the bundle writer on a JSON description (an object or a list of them,
// see tests/fixtures/README.md). The description goes through a file so that
// long matrices do not hit argument limits.
inline void write_bundles(const std::string& description) {
  TempDir scratch;
  const auto file = scratch / "description.json";
  write_file(file, description);
  run_python({(source_dir() / "tests" / "fixtures" / "bundle_writer.py").string(), file.string()});
}

// The descriptions as one JSON array, for one run of the writer.
inline std::string json_array(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) {
    if (out.size() > 1) out += ",";
    out += item;
  }
  return out + "]";
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

// Base of a test suite whose tests share one scratch directory, made before
// the first test and removed after the last. A suite derives as
// `class X : public SuiteDirectoryTest<X>` and provides a public
// `static void populate(const std::filesystem::path& root)` that writes the
// suite's files (usually bundles, in one run of the writer).
template <class Suite>
class SuiteDirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<TempDir>();
    Suite::populate(root_->path());
  }
  static void TearDownTestSuite() { root_.reset(); }

  static inline std::unique_ptr<TempDir> root_;
};

// Runs fn with the working directory set to a directory that has been removed,
// then returns to the previous one (also when fn throws).
inline void in_vanished_working_directory(const std::function<void()>& fn) {
  struct ReturnTo {
    std::filesystem::path saved = std::filesystem::current_path();
    ~ReturnTo() { EXPECT_EQ(::chdir(saved.c_str()), 0); }
  };
  TempDir dir;
  std::filesystem::create_directory(dir / "gone");
  const ReturnTo back;
  ASSERT_EQ(::chdir((dir / "gone").c_str()), 0);
  std::filesystem::remove(dir / "gone");
  fn();
}

}  // namespace lorvane::testing
