#pragma once

// Helpers shared by the test programs: temporary directories, running the
// project's Python tools, and comparing numbers with a tolerance.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvane::testing {

// Root of the source tree (for tests/fixtures and tests/reference).
std::filesystem::path source_dir();
// The Python interpreter that has torch and numpy (the project venv).
std::string python();

// A fresh directory under the system temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Runs the command through /bin/sh; fails the test (with the output) unless it
// exits 0. Returns standard output.
std::string run_command(const std::string& command);
// Runs python with the arguments (each shell-quoted) and returns stdout.
std::string run_python(const std::vector<std::string>& args);
std::string shell_quote(const std::string& text);
// Runs the command through /bin/sh (stderr merged into stdout) without judging
// its exit status: {exit status (-1 when it did not exit normally), output}.
std::pair<int, std::string> run_command_status(const std::string& command);

// An interpreter (the environment variable, else default_path, else python3)
// whose unicodedata is exactly `version`, or nullopt.
std::optional<std::string> python_with_unicode(const char* variable, const char* default_path,
                                               const std::string& version);
// The interpreter with Unicode 15.1 data (LORVANE_PY315).
std::optional<std::string> python_with_unicode_15_1();

// UTF-8 of the given code points, written out byte by byte so that tests do
// not lean on the library's encoder.
std::string utf8(std::initializer_list<char32_t> code_points);
// The text as a JSON string literal (control characters escaped).
std::string json_quote(std::string_view text);
// JSON arrays of strings and of integers.
std::string json_strings(const std::vector<std::string>& items);
std::string json_ints(const std::vector<std::int64_t>& values);

// Writes many bundles in one run of a fixture generator under tests/fixtures
// ("ner_bundle.py") with --batch: each job is an output directory and the
// generator's keyword arguments as a JSON object. `scratch` receives the job
// list.
void write_generated_bundles(const std::string& generator, const std::filesystem::path& scratch,
                             const std::vector<std::pair<std::filesystem::path, std::string>>& jobs);

// Writes a whole file.
void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

// The message of the exception that fn throws as E; fails when it throws
// nothing or something else.
template <class E>
std::string thrown_message(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception type: " << e.what();
    return {};
  }
  ADD_FAILURE() << "no exception was thrown";
  return {};
}

// The tolerance for comparing two float32 computations of one function whose
// float32 result lies within `float64_gap` of its float64 twin on the same
// inputs (the reference measures the gap, widening its weights). Each
// float32 computation strays from the exact value by about that much whatever
// order its kernels sum in, so two of them lie within about twice the gap of
// each other; the factor leaves room for the other computation's largest
// error falling on another element, and the floor for a gap that rounds to
// nothing.
double float32_tolerance(double float64_gap);

// Element-wise |a - b| <= atol + rtol * |b|.
::testing::AssertionResult all_close(const std::vector<double>& actual,
                                     const std::vector<double>& expected, double atol,
                                     double rtol = 0.0);

}  // namespace lorvane::testing

#define EXPECT_THROW_MSG(statement, Exception, message) \
  EXPECT_EQ(::lorvane::testing::thrown_message<Exception>([&] { statement; }), message)
