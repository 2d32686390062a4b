// Parse throughput on a vocabulary-shaped JSON file, against Python's json.loads
// on the same file in the same run.
//
//   json_bench [python] [runs]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "bundle/json.hpp"

namespace {

using lorvane::detail::parse_json;

// An object of about a million word keys mapped to ids (in id order, so the keys
// arrive unsorted), plus arrays of strings and floats, like the vocabularies and
// embeddings of an assets file.
std::string make_vocabulary_json() {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> length(2, 7);
  std::uniform_int_distribution<int> letter(0, 25);
  std::uniform_int_distribution<int> rare(0, 49);
  std::uniform_real_distribution<double> weight(-1.0, 1.0);
  auto word = [&](std::size_t id) {
    std::string w;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) {
      const int r = rare(rng);
      if (r == 0)
        w += "\\u00e9";
      else if (r == 1)
        w += "\xC3\xBC";
      else
        w += static_cast<char>('a' + letter(rng));
    }
    return w + std::to_string(id);  // unique: the decoded words hold no digits
  };
  std::string text = "{\"vocab\": {";
  constexpr std::size_t kWords = 1000000;
  for (std::size_t id = 0; id < kWords; ++id) {
    if (id) text += ',';
    text += '"' + word(id) + "\":" + std::to_string(id);
  }
  text += "},\n \"lemmas\": [";
  for (std::size_t i = 0; i < 50000; ++i) text += (i ? ",\"" : "\"") + word(i) + '"';
  text += "],\n \"embedding\": [";
  char number[32];
  for (std::size_t i = 0; i < 100000; ++i) {
    std::snprintf(number, sizeof number, "%s%.7g", i ? "," : "", weight(rng));
    text += number;
  }
  text += "]}\n";
  return text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double best_parse_seconds(const std::string& text, int runs) {
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto root = parse_json(text);
    best = std::min(best, seconds_since(start));
    if (root.at("vocab", "").as_object("").size() != 1000000) throw std::logic_error("bad parse");
  }
  return best;
}

// Runs json.loads on the decoded text (file reading and UTF-8 decoding are
// outside the timed region, as ours starts from bytes in memory).
double best_python_seconds(const std::string& python, const std::filesystem::path& file,
                           int runs) {
  const std::string script =
      "import json,sys,time\n"
      "s=open(sys.argv[1],encoding='utf-8').read()\n"
      "best=1e300\n"
      "for _ in range(int(sys.argv[2])):\n"
      "    t=time.perf_counter(); d=json.loads(s); best=min(best,time.perf_counter()-t)\n"
      "    assert len(d['vocab'])==1000000\n"
      "    del d\n"
      "print(best)\n";
  const auto script_path = file.parent_path() / "json_bench_loads.py";
  std::ofstream(script_path) << script;
  const std::string command = "'" + python + "' '" + script_path.string() + "' '" + file.string() +
                              "' " + std::to_string(runs);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  double seconds = -1;
  if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
  if (::pclose(pipe) != 0 || seconds <= 0) throw std::runtime_error("python timing failed: " + command);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  std::string python = LORVANE_BENCH_PYTHON;
  if (const char* env = std::getenv("LORVANE_TEST_PYTHON")) python = env;
  if (argc > 1) python = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  const std::string text = make_vocabulary_json();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("lorvane-json-bench-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "vocab.json";
  std::ofstream(file, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));

  int status = 0;
  try {
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    const double ours = best_parse_seconds(text, runs);
    const double theirs = best_python_seconds(python, file, runs);
    std::printf("input: %.1f MB, 1000000 object members, best of %d runs\n", megabytes, runs);
    std::printf("lorvane parse_json:  %8.1f MB/s\n", megabytes / ours);
    std::printf("python json.loads:   %8.1f MB/s\n", megabytes / theirs);
    std::printf("ratio ours/python:   %8.2fx\n", theirs / ours);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "json_bench: %s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
