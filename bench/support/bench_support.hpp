#pragma once

// Helpers shared by the benchmark programs: best-of-N timing, a scratch
// directory, and running the project's Python (baselines, fixture writers)
// with its output read back. Failures throw std::runtime_error for main to
// report; a benchmark never half-measures silently.
//
// Needs LORVANE_BENCH_PYTHON and LORVANE_BENCH_SOURCE_DIR, which
// lorvane_add_bench defines.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <time.h>
#include <type_traits>
#include <vector>

namespace lorvane::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The check used when a timed call's result needs none.
struct AcceptResult {
  template <class... Result>
  void operator()(const Result&...) const noexcept {}
};

// The shortest wall time, in seconds, of `runs` calls of fn (at least one).
// What fn returns is handed to `check` and destroyed after the clock has
// stopped, so that neither verifying nor freeing it counts as part of the call.
template <class Fn, class Check = AcceptResult>
double best_seconds(int runs, Fn&& fn, Check&& check = {}) {
  double best = std::numeric_limits<double>::infinity();
  for (int run = 0; run < std::max(runs, 1); ++run) {
    const auto start = Clock::now();
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
      fn();
      best = std::min(best, seconds_since(start));
      check();
    } else {
      const auto result = fn();
      best = std::min(best, seconds_since(start));
      check(result);
    }
  }
  return best;
}

// The shortest CPU time of the calling thread, in seconds, over `runs` calls
// of fn: for work that runs on this thread alone (one intra-op thread), it
// is what the wall time would be on an idle machine, and it does not count
// the time other processes hold the core.
template <class Fn>
double best_thread_cpu_seconds(int runs, Fn&& fn) {
  const auto now = [] {
    timespec time{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
  };
  double best = std::numeric_limits<double>::infinity();
  for (int run = 0; run < std::max(runs, 1); ++run) {
    const double start = now();
    {  // the result lives until the time is taken, so its release is not timed
      [[maybe_unused]] const auto result = fn();
      best = std::min(best, now() - start);
    }
  }
  return best;
}

// Root of the source tree (for tests/fixtures, tests/reference and bench/).
inline std::filesystem::path source_dir() { return LORVANE_BENCH_SOURCE_DIR; }

// The Python that has torch, numpy and conllu: $LORVANE_TEST_PYTHON when set,
// else the one the build was configured with, else python3 from the PATH.
inline std::string default_python() {
  if (const char* env = std::getenv("LORVANE_TEST_PYTHON"); env != nullptr && *env != '\0') return env;
  const std::string configured = LORVANE_BENCH_PYTHON;
  return configured.empty() ? "python3" : configured;
}

// The text as one word for /bin/sh.
inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// Runs the command through /bin/sh and returns its standard output. Throws,
// with the output so far, unless the command exits with status 0.
inline std::string run_command(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run: " + command);
  std::string output;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  if (::pclose(pipe) != 0) throw std::runtime_error("command failed: " + command + "\n" + output);
  return output;
}

// Runs python with the arguments, each quoted, and returns its standard output.
inline std::string run_python(const std::string& python, const std::vector<std::string>& args) {
  std::string command = shell_quote(python);
  for (const std::string& arg : args) command += " " + shell_quote(arg);
  return run_command(command);
}

// "1,4,8" -> {"1", "4", "8"}.
inline std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find(',', begin), text.size());
    parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// The duration a baseline script printed as its whole output; throws unless
// it is a positive number of seconds.
inline double printed_seconds(const std::string& output) {
  std::size_t used = 0;
  double seconds = 0;
  try {
    seconds = std::stod(output, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  const bool only_space = output.find_first_not_of(" \t\r\n", used) == std::string::npos;
  if (used == 0 || !only_space || !(seconds > 0)) {
    throw std::runtime_error("baseline printed no positive duration: " + output);
  }
  return seconds;
}

// Writes the whole file; throws when it cannot.
inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  const bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file == nullptr || std::fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + path.string());
}

// A fresh directory under the system temporary directory, removed with the
// object. Not thread-safe: one owner creates and removes it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate = base / (prefix + "-" + std::to_string(random()) + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = std::move(candidate);
        return;
      }
    }
    throw std::runtime_error("cannot create a temporary directory under " + base.string());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace lorvane::bench
