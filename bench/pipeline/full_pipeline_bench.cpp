// The whole default pipeline "tokenize,mwt,pos,lemma,depparse,ner,sentiment,
// constituency" as its users run it, on a model directory of realistic
// bundle sizes (tests/fixtures/pipeline_model.py --realistic) and ~1,000
// sentences of English-like text of 5-60 words, all measured in one run:
//
//  1. Load time of the pipeline, checksums off and on.
//  2. Memory: resident size after loading against the sum of the tensor
//     files (weights are mapped, not copied), and the peak while processing
//     the whole text in bulk.
//  3. Words/s document at a time and in bulk (batches of 64 documents), one
//     caller and one intra-op thread, against the eager pipeline reference
//     (tests/reference/pipeline_reference.py, one intra-op thread) on the
//     first documents of the same text; with each stage's share of the time
//     on both sides. CPU time of the one working thread on our side and of
//     the process on the eager side, so that a busy machine does not skew
//     the ratio; the scaling figures below are wall times.
//  4. Scaling, on the first eighth of the documents: 1 caller with all
//     intra-op threads against N callers with one intra-op thread each
//     (N = 1, 2, 4, 8), document at a time: words/s and the mean latency of
//     one document.
//
//   full_pipeline_bench [--sentences N] [--reference-sentences N] [--threads 1,2,4,8]
//                       [--intra-op K] [--scaling-only]
//
// --intra-op sets the intra-op threads of the single caller of part 4 (default:
// every core; 0 leaves that run out); --scaling-only runs part 4 alone.

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ATen/Parallel.h>

#include "bundle/json.hpp"
#include "lorvane/pipeline.hpp"
#include "support/bench_support.hpp"

namespace {

namespace fs = std::filesystem;
using lorvane::Document;
using lorvane::Pipeline;
using Strings = std::vector<std::string>;
using lorvane::bench::Clock;
using lorvane::bench::seconds_since;

const Strings kProcessors = {"tokenize", "mwt", "pos", "lemma", "depparse", "ner", "sentiment", "constituency"};
constexpr std::size_t kBatch = 64;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
double status_bytes(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) * 1024.0;
  }
  throw std::runtime_error(std::string("no ") + field + " in /proc/self/status");
}

// Makes VmHWM start again from the current resident size.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// CPU time of the calling thread: with one intra-op thread all the work runs
// on it, so this is what the wall time would be on an idle machine, whatever
// else the machine runs.
double thread_cpu_seconds() {
  timespec time{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

double megabytes(double bytes) { return bytes / (1024.0 * 1024.0); }

Pipeline load(const fs::path& model_dir, bool verify) {
  return Pipeline("en", kProcessors, "default", model_dir, "1.10.0", verify, {});
}

std::size_t word_count(const std::vector<Document>& documents) {
  std::size_t words = 0;
  for (const Document& doc : documents) words += doc.num_words();
  return words;
}

std::vector<Document> each(const Pipeline& pipeline, const Strings& texts) {
  std::vector<Document> out;
  out.reserve(texts.size());
  for (const std::string& text : texts) out.push_back(pipeline.process(text));
  return out;
}

std::vector<Document> bulk(const Pipeline& pipeline, const Strings& texts) {
  std::vector<Document> out;
  for (std::size_t at = 0; at < texts.size(); at += kBatch) {
    const Strings batch(texts.begin() + static_cast<std::ptrdiff_t>(at),
                        texts.begin() + static_cast<std::ptrdiff_t>(std::min(texts.size(), at + kBatch)));
    for (Document& doc : pipeline.process_bulk(batch)) out.push_back(std::move(doc));
  }
  return out;
}

struct StageCosts {
  std::map<std::string, double> seconds;
  std::map<std::string, double> peak_growth;  // bytes of resident size above the stage's start
};

// What each stage costs over the texts, stage after stage on the documents
// the stages before it made (in bulk or one document at a time).
StageCosts stage_costs(const Pipeline& pipeline, const Strings& texts, bool in_bulk) {
  StageCosts costs;
  std::vector<Document> documents;
  for (const std::string& text : texts) documents.emplace_back(text);
  for (const auto& stage : pipeline.processors()) {
    ::malloc_trim(0);
    const double before = status_bytes("VmRSS");
    reset_peak();
    const double start = thread_cpu_seconds();
    if (in_bulk) {
      std::vector<Document> next;
      for (std::size_t at = 0; at < documents.size(); at += kBatch) {
        std::vector<Document> batch(documents.begin() + static_cast<std::ptrdiff_t>(at),
                                    documents.begin() + static_cast<std::ptrdiff_t>(std::min(documents.size(), at + kBatch)));
        for (Document& doc : stage->process_bulk(std::move(batch))) next.push_back(std::move(doc));
      }
      documents = std::move(next);
    } else {
      for (Document& doc : documents) doc = stage->process(doc);
    }
    costs.seconds[stage->name()] = thread_cpu_seconds() - start;
    costs.peak_growth[stage->name()] = status_bytes("VmHWM") - before;
  }
  return costs;
}

struct Scaling {
  double words_per_second;
  double mean_latency;
};

// `callers` threads take documents from a shared counter, each with
// `intra_op` intra-op threads (the count is a per-thread setting of the
// OpenMP runtime, so every caller sets its own).
Scaling run_callers(const Pipeline& pipeline, const Strings& texts, int callers, int intra_op) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> words{0};
  std::vector<double> latency(texts.size());
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < callers; ++c) {
    threads.emplace_back([&] {
      at::set_num_threads(intra_op);
      for (std::size_t i = next++; i < texts.size(); i = next++) {
        const auto begin = Clock::now();
        words += pipeline.process(texts[i]).num_words();
        latency[i] = seconds_since(begin);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double elapsed = seconds_since(start);
  double total = 0;
  for (double value : latency) total += value;
  return {static_cast<double>(words) / elapsed, total / static_cast<double>(texts.size())};
}

Strings read_texts(const fs::path& path) {
  const lorvane::detail::JsonValue root = lorvane::detail::parse_json(lorvane::detail::load_text_file(path));
  Strings texts;
  for (const auto& text : root.as_array("texts")) {
    texts.push_back(text.as_string("texts[]"));
  }
  return texts;
}

double tensor_file_bytes(const fs::path& language_dir) {
  double total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(language_dir)) {
    if (entry.is_regular_file() && entry.path().filename() == "tensors.bin") total += static_cast<double>(entry.file_size());
  }
  return total;
}

void print_stages(const char* title, const StageCosts& costs, double words) {
  std::printf("  %s:", title);
  for (const std::string& name : kProcessors) std::printf(" %s %.0f", name.c_str(), words / costs.seconds.at(name));
  std::printf(" (words/s per stage)\n  %s, peak resident growth per stage:", title);
  for (const std::string& name : kProcessors) std::printf(" %s %.0f", name.c_str(), megabytes(costs.peak_growth.at(name)));
  std::printf(" (MB)\n");
}

// Part 4: 1 caller with `intra_op` intra-op threads, then N callers with one
// each, on the first eighth of the documents.
void scaling(const Pipeline& pipeline, const Strings& texts, const Strings& thread_counts, int intra_op) {
  const Strings part(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>((texts.size() + 7) / 8));
  const double part_words = static_cast<double>(word_count(each(pipeline, part)));
  std::printf("\nscaling, %zu documents, %.0f words (wall time, %u cores):\n", part.size(), part_words,
              std::thread::hardware_concurrency());
  if (intra_op > 0) {
    at::set_num_threads(intra_op);
    const double all_each = lorvane::bench::best_seconds(1, [&] { return each(pipeline, part); });
    const double all_bulk = lorvane::bench::best_seconds(1, [&] { return bulk(pipeline, part); });
    std::printf("  1 caller x %d intra-op threads: %.0f words/s, mean latency %.1f ms; bulk %.0f words/s\n", intra_op,
                part_words / all_each, all_each / static_cast<double>(part.size()) * 1e3, part_words / all_bulk);
    at::set_num_threads(1);
  }
  for (const std::string& count : thread_counts) {
    const Scaling result = run_callers(pipeline, part, std::stoi(count), 1);
    std::printf("  %s callers x 1 intra-op thread: %.0f words/s, mean latency %.1f ms\n", count.c_str(),
                result.words_per_second, result.mean_latency * 1e3);
  }
}

int run(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the later parts run
  std::string python = lorvane::bench::default_python();
  int sentences = 1000;
  int reference_sentences = 120;
  Strings thread_counts = {"1", "2", "4", "8"};
  int intra_op = static_cast<int>(std::thread::hardware_concurrency());
  bool scaling_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sentences" && i + 1 < argc) {
      sentences = std::stoi(argv[++i]);
    } else if (arg == "--reference-sentences" && i + 1 < argc) {
      reference_sentences = std::stoi(argv[++i]);
    } else if (arg == "--intra-op" && i + 1 < argc) {
      intra_op = std::stoi(argv[++i]);
    } else if (arg == "--scaling-only") {
      scaling_only = true;
    } else if (arg == "--threads" && i + 1 < argc) {
      thread_counts = lorvane::bench::split_list(argv[++i]);
    } else {
      throw std::runtime_error(
          "usage: full_pipeline_bench [--sentences N] [--reference-sentences N] [--threads 1,2,4,8] [--intra-op K] "
          "[--scaling-only]");
    }
  }
  const lorvane::bench::TempDir dir("lorvane-full-pipeline-bench");
  const fs::path model_dir = dir / "models";
  const std::string generator = (lorvane::bench::source_dir() / "tests/fixtures/pipeline_model.py").string();
  lorvane::bench::run_python(python, {generator, model_dir.string(), "--realistic"});
  lorvane::bench::run_python(python, {generator, "--corpus", (dir / "texts.json").string(), std::to_string(sentences), "11"});
  lorvane::bench::run_python(python, {generator, "--corpus", (dir / "reference.json").string(),
                                      std::to_string(reference_sentences), "11"});
  const Strings texts = read_texts(dir / "texts.json");
  if (scaling_only) {
    at::set_num_threads(1);
    scaling(load(model_dir, false), texts, thread_counts, intra_op);
    return 0;
  }
  const double tensors = tensor_file_bytes(model_dir / "1.10.0" / "en");
  at::set_num_threads(1);

  // 1 and 2: load time and resident size; the pipeline loaded first is the
  // one measured.
  ::malloc_trim(0);
  const double before = status_bytes("VmRSS");
  reset_peak();
  auto start = Clock::now();
  const Pipeline pipeline = load(model_dir, false);
  const double first_load = seconds_since(start);
  const double loaded_rss = status_bytes("VmRSS"), loaded_peak = status_bytes("VmHWM");
  const double load_off = std::min(first_load, lorvane::bench::best_seconds(3, [&] { return load(model_dir, false); }));
  const double load_on = lorvane::bench::best_seconds(3, [&] { return load(model_dir, true); });
  std::printf("model directory: %.1f MB of tensor files (8 bundles); text: %zu documents, %d sentences\n",
              megabytes(tensors), texts.size(), sentences);
  std::printf("load: checksums off %.1f ms, on %.1f ms (%.1fx)\n", load_off * 1e3, load_on * 1e3, load_on / load_off);
  std::printf("memory: resident %.1f MB before loading; after loading %.1f MB (peak %.1f MB), growth %.1f MB = "
              "%.2fx the tensor files\n",
              megabytes(before), megabytes(loaded_rss), megabytes(loaded_peak), megabytes(loaded_rss - before),
              (loaded_rss - before) / tensors);
  // 3: words/s on one thread (its CPU time) against the eager reference.
  ::malloc_trim(0);
  const double before_bulk = status_bytes("VmRSS");
  reset_peak();
  double started = thread_cpu_seconds();
  const std::size_t words = word_count(bulk(pipeline, texts));
  const double bulk_seconds = thread_cpu_seconds() - started;
  const double bulk_peak = status_bytes("VmHWM");
  std::printf("memory: peak while processing everything in bulk %.1f MB (%.1f MB above the loaded pipeline; "
              "bound 1.1 x tensors + 50 MB = %.1f MB)\n",
              megabytes(bulk_peak), megabytes(bulk_peak - before_bulk), megabytes(1.1 * tensors + 50 * 1048576.0));
  started = thread_cpu_seconds();
  each(pipeline, texts);
  const double each_seconds = thread_cpu_seconds() - started;
  std::printf("\n%zu words, 1 caller, 1 intra-op thread (CPU time of the calling thread):\n", words);
  std::printf("  document at a time %.0f words/s, bulk (64 documents) %.0f words/s\n", words / each_seconds,
              words / bulk_seconds);
  print_stages("document at a time", stage_costs(pipeline, texts, false), static_cast<double>(words));
  print_stages("bulk", stage_costs(pipeline, texts, true), static_cast<double>(words));
  const lorvane::detail::JsonValue eager = lorvane::detail::parse_json(lorvane::bench::run_python(
      python, {(lorvane::bench::source_dir() / "tests/reference/pipeline_reference.py").string(), "time",
               model_dir.string(), (dir / "reference.json").string(), "1"}));
  const double eager_words = static_cast<double>(eager.at("words", "").as_integer(""));
  const double eager_rate = eager_words / eager.at("cpu_seconds", "").as_number("");
  std::map<std::string, double> eager_stages;
  for (const auto& [name, value] : eager.at("stages", "").as_object("")) eager_stages[name] = value.as_number("");
  std::printf("  eager reference (first %d sentences, %.0f words, process CPU time): %.0f words/s\n",
              reference_sentences, eager_words, eager_rate);
  std::printf("  eager per stage (words/s):");
  for (const auto& [name, value] : eager_stages) std::printf(" %s %.0f", name.c_str(), eager_words / value);
  std::printf("\n  ratio: document at a time %.1fx (aim 10x), bulk %.1fx (aim 3x)\n",
              words / each_seconds / eager_rate, words / bulk_seconds / eager_rate);

  scaling(pipeline, texts, thread_counts, intra_op);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "full_pipeline_bench: %s\n", e.what());
    return 1;
  }
}
