// Parse throughput on a vocabulary-shaped JSON file, against Python's json.loads
// on the same file in the same run.
//
//   json_bench [python] [runs]
//
// The python defaults to $LORVANE_TEST_PYTHON, else the configured one.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "bundle/json.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::bench::best_seconds;
using lorvane::bench::default_python;
using lorvane::bench::printed_seconds;
using lorvane::bench::run_python;
using lorvane::bench::TempDir;
using lorvane::detail::JsonValue;
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

// Runs json.loads on the decoded text (file reading and UTF-8 decoding are
// outside the timed region, as ours starts from bytes in memory).
constexpr const char* kJsonLoads = R"PY(
import json, sys, time
s = open(sys.argv[1], encoding="utf-8").read()
best = 1e300
for _ in range(int(sys.argv[2])):
    t = time.perf_counter(); d = json.loads(s); best = min(best, time.perf_counter() - t)
    assert len(d["vocab"]) == 1000000
    del d
print(best)
)PY";

double best_parse_seconds(const std::string& text, int runs) {
  return best_seconds(runs, [&] { return parse_json(text); }, [](const JsonValue& root) {
    if (root.at("vocab", "").as_object("").size() != 1000000) throw std::logic_error("bad parse");
  });
}

double best_python_seconds(const std::string& python, const std::filesystem::path& file, int runs) {
  return printed_seconds(run_python(python, {"-c", kJsonLoads, file.string(), std::to_string(runs)}));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string python = argc > 1 ? argv[1] : default_python();
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  try {
    const std::string text = make_vocabulary_json();
    const TempDir dir("lorvane-json-bench");
    const auto file = dir / "vocab.json";
    std::ofstream(file, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));

    const double megabytes = static_cast<double>(text.size()) / 1e6;
    const double ours = best_parse_seconds(text, runs);
    const double theirs = best_python_seconds(python, file, runs);
    std::printf("input: %.1f MB, 1000000 object members, best of %d runs\n", megabytes, runs);
    std::printf("lorvane parse_json:  %8.1f MB/s\n", megabytes / ours);
    std::printf("python json.loads:   %8.1f MB/s\n", megabytes / theirs);
    std::printf("ratio ours/python:   %8.2fx\n", theirs / ours);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "json_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
