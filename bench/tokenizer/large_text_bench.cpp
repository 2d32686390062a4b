// The tokenizer on large inputs, with the demo model (tests/fixtures/demo_model.py):
//   - 1, 4 and 10 MB of English-like prose through process and process_bulk:
//     time, characters per second, and the peak resident memory of the call
//     beyond what the process held before it, per output token, next to the
//     memory the finished document keeps;
//   - 200,000 one-line paragraphs through process and process_bulk;
//   - memory kept between calls: rounds of 1,000 texts of distinct lengths,
//     with the resident size after each round.
// Every case runs in a process of its own (this program started again with
// --child), so that each peak is its own. One intra-op thread.
//
//   large_text_bench [--sizes 1,4,10] [--paragraphs 200000] [--rounds 3] [python]

#include <ATen/Parallel.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/tokenizer.hpp"
#include "support/bench_support.hpp"
#include "tokenizer/prose.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::TokenizerPlan;

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
long status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  throw std::runtime_error(std::string("no ") + field + " in /proc/self/status");
}

// Makes VmHWM start again from the current resident size.
void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::size_t token_count(const std::vector<Document>& documents) {
  std::size_t tokens = 0;
  for (const Document& document : documents) {
    for (std::uint64_t s = 0; s < document.sentences().size(); ++s) {
      tokens += document.sentences().at(static_cast<std::int64_t>(s)).tokens().size();
    }
  }
  return tokens;
}

// "<seconds> <tokens> <baseline kB> <peak kB> <after kB>" for one text.
int child_text(const TokenizerPlan& plan, const std::string& mode, double megabytes) {
  const std::string text = lorvane::bench::generate_text(static_cast<std::size_t>(megabytes * 1e6));
  std::vector<Document> inputs;
  inputs.emplace_back(text);
  ::malloc_trim(0);
  const long baseline = status_kb("VmRSS");
  reset_peak();
  const auto start = std::chrono::steady_clock::now();
  std::vector<Document> output;
  if (mode == "process") {
    output.push_back(plan.process(inputs.front()));
  } else {
    output = plan.process_bulk(inputs);
  }
  const double elapsed = seconds(start);
  const long peak = status_kb("VmHWM");
  ::malloc_trim(0);  // what stays resident now is the documents
  std::printf("%.3f %zu %ld %ld %ld %zu\n", elapsed, token_count(output), baseline, peak, status_kb("VmRSS"),
              text.size());
  return 0;
}

// "<process seconds> <process_bulk seconds>" for `count` one-line paragraphs.
int child_short(const TokenizerPlan& plan, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += "Line " + std::to_string(i) + " has " + lorvane::bench::kWords[i % std::size(lorvane::bench::kWords)] +
            " in it.\n\n";
  }
  const Document document(text);
  auto start = std::chrono::steady_clock::now();
  const Document single = plan.process(document);
  const double process = seconds(start);
  start = std::chrono::steady_clock::now();
  const std::vector<Document> bulk = plan.process_bulk({document});
  std::printf("%.3f %.3f %zu\n", process, seconds(start), text.size());
  return 0;
}

// The resident size (kB) before the first call and after each round of
// 1,000 single-paragraph texts of lengths 50 to 1,049 characters.
int child_retained(const TokenizerPlan& plan, int rounds) {
  const std::string prose = lorvane::bench::generate_text(4000);
  std::string flat;
  for (const char c : prose) {
    if (static_cast<unsigned char>(c) < 0x80) flat += c == '\n' ? ' ' : c;  // ASCII: any prefix is whole text
  }
  plan.process(Document("Warm up."));
  std::printf("%ld", status_kb("VmRSS"));
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t length = 50; length < 1050; ++length) plan.process(Document(flat.substr(0, length)));
    std::printf(" %ld", status_kb("VmRSS"));
  }
  std::printf("\n");
  return 0;
}

std::string run_child(const std::vector<std::string>& args) {
  std::string command = lorvane::bench::shell_quote(fs::read_symlink("/proc/self/exe").string());
  for (const std::string& arg : args) command += " " + lorvane::bench::shell_quote(arg);
  return lorvane::bench::run_command(command);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    at::set_num_threads(1);
    if (argc > 3 && std::strcmp(argv[1], "--child") == 0) {
      const TokenizerPlan plan(argv[2], false);
      const std::string kind = argv[3];
      if (kind == "text") return child_text(plan, argv[4], std::stod(argv[5]));
      if (kind == "short") return child_short(plan, std::stoul(argv[4]));
      if (kind == "retained") return child_retained(plan, std::stoi(argv[4]));
      throw std::runtime_error("unknown child case " + kind);
    }
    std::string python = lorvane::bench::default_python();
    std::vector<std::string> sizes = {"1", "4", "10"};
    std::string paragraphs = "200000";
    std::string rounds = "3";
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--sizes" && i + 1 < argc) {
        sizes = lorvane::bench::split_list(argv[++i]);
      } else if (arg == "--paragraphs" && i + 1 < argc) {
        paragraphs = argv[++i];
      } else if (arg == "--rounds" && i + 1 < argc) {
        rounds = argv[++i];
      } else {
        python = arg;
      }
    }
    const lorvane::bench::TempDir dir("lorvane-large-text-bench");
    lorvane::bench::run_python(python, {(lorvane::bench::source_dir() / "tests/fixtures/demo_model.py").string(),
                                        (dir / "models").string()});
    const std::string bundle = (dir / "models/1.10.0/en/tokenize/demo").string();

    std::printf("demo model, one intra-op thread; peak = resident memory of the call beyond what the process held "
                "before it\n");
    for (const std::string& size : sizes) {
      for (const std::string& mode : {std::string("process"), std::string("process_bulk")}) {
        std::istringstream line(run_child({"--child", bundle, "text", mode, size}));
        double elapsed = 0;
        std::size_t tokens = 0, chars = 0;
        long baseline = 0, peak = 0, after = 0;
        line >> elapsed >> tokens >> baseline >> peak >> after >> chars;
        std::printf("%5s MB %-12s %7.1f s  %8.0f chars/s  %8zu tokens  peak %7.1f MB (%6.0f B/token)  "
                    "document %7.1f MB (%5.0f B/token)\n",
                    size.c_str(), mode.c_str(), elapsed, static_cast<double>(chars) / elapsed, tokens,
                    static_cast<double>(peak - baseline) / 1024.0,
                    1024.0 * static_cast<double>(peak - baseline) / static_cast<double>(tokens),
                    static_cast<double>(after - baseline) / 1024.0,
                    1024.0 * static_cast<double>(after - baseline) / static_cast<double>(tokens));
      }
    }
    {
      std::istringstream line(run_child({"--child", bundle, "short", paragraphs}));
      double process = 0, bulk = 0;
      std::size_t chars = 0;
      line >> process >> bulk >> chars;
      const double count = std::stod(paragraphs);
      std::printf("%s one-line paragraphs (%zu chars): process %.1f s (%.3f ms each), process_bulk %.1f s (%.3f ms each)\n",
                  paragraphs.c_str(), chars, process, 1e3 * process / count, bulk, 1e3 * bulk / count);
    }
    std::printf("resident kB before and after each round of 1,000 texts of distinct lengths: %s",
                run_child({"--child", bundle, "retained", rounds}).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "large_text_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
