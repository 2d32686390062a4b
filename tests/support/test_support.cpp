#include "support/test_support.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>

namespace lorvane::testing {

std::filesystem::path source_dir() {
  if (const char* env = std::getenv("LORVANE_SOURCE_DIR")) return env;
  return LORVANE_SOURCE_DIR;
}

std::string python() {
  if (const char* env = std::getenv("LORVANE_TEST_PYTHON")) return env;
  return LORVANE_TEST_PYTHON;
}

TempDir::TempDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("lorvane-test-" + std::to_string(rd()) + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string run_command(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run: " << command;
    return output;
  }
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "command failed: " << command << "\n" << output;
  }
  return output;
}

std::pair<int, std::string> run_command_status(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, output};
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::optional<std::string> python_with_unicode(const char* variable, const char* default_path,
                                               const std::string& version) {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv(variable)) candidates.emplace_back(env);
  candidates.emplace_back(default_path);
  candidates.emplace_back("python3");
  for (const auto& candidate : candidates) {
    const auto [status, output] = run_command_status(
        shell_quote(candidate) + " -c 'import unicodedata; print(unicodedata.unidata_version)'");
    if (status == 0 && output == version + "\n") return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> python_with_unicode_15_1() {
  return python_with_unicode("LORVANE_PY315", "/root/.pyenv/versions/3.13.0/bin/python", "15.1.0");
}

std::string utf8(std::initializer_list<char32_t> code_points) {
  std::string out;
  for (const char32_t c : code_points) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string run_python(const std::vector<std::string>& args) {
  std::string command = shell_quote(python());
  for (const auto& arg : args) command += " " + shell_quote(arg);
  return run_command(command);
}

std::string json_strings(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + json_quote(item);
  return out + "]";
}

std::string json_ints(const std::vector<std::int64_t>& values) {
  std::string out = "[";
  for (const std::int64_t v : values) out += (out.size() > 1 ? "," : "") + std::to_string(v);
  return out + "]";
}

void write_generated_bundles(const std::string& generator, const std::filesystem::path& scratch,
                             const std::vector<std::pair<std::filesystem::path, std::string>>& jobs) {
  std::string list = "[";
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (i > 0) list += ",\n";
    list += R"({"out_dir": )" + json_quote(jobs[i].first.string()) + R"(, "options": )" + jobs[i].second + "}";
  }
  list += "]";
  const std::filesystem::path job_file = scratch / (generator + ".jobs.json");
  write_file(job_file, list);
  run_python({(source_dir() / "tests" / "fixtures" / generator).string(), "--batch", job_file.string()});
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

double float32_tolerance(double float64_gap) { return std::max(8.0 * float64_gap, 1e-7); }

::testing::AssertionResult all_close(const std::vector<double>& actual,
                                     const std::vector<double>& expected, double atol,
                                     double rtol) {
  if (actual.size() != expected.size())
    return ::testing::AssertionFailure()
           << "sizes differ: " << actual.size() << " vs " << expected.size();
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const double diff = std::fabs(actual[i] - expected[i]);
    if (!(diff <= atol + rtol * std::fabs(expected[i])))
      return ::testing::AssertionFailure() << "element " << i << ": " << actual[i] << " vs "
                                           << expected[i] << " (diff " << diff << ")";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace lorvane::testing
