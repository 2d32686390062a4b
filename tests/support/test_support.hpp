#pragma once

// Helpers shared by the test programs: temporary directories, running the
// project's Python tools, and comparing numbers with a tolerance.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
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

// Element-wise |a - b| <= atol + rtol * |b|.
::testing::AssertionResult all_close(const std::vector<double>& actual,
                                     const std::vector<double>& expected, double atol,
                                     double rtol = 0.0);

}  // namespace lorvane::testing

#define EXPECT_THROW_MSG(statement, Exception, message) \
  EXPECT_EQ(::lorvane::testing::thrown_message<Exception>([&] { statement; }), message)
