// Transformer encoder over the compiled test packages, one intra-op thread:
//   * encode of 10, 100, 600 and 2,000-subword sentences (maximum length 512)
//     against the same package run from Python and against its eager module,
//     both with the same window rule (bench/encoders/transformer_timing.py);
//   * the cost of windows: encode against an encoder that runs the same
//     sentence at once, on the package whose rows ignore their context;
//   * loading a package, against loading it from Python.
//
//   transformer_bench [repetitions]

#include <ATen/Parallel.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/bench_support.hpp"
#include "bundle/json.hpp"
#include "lorvane/transformer.hpp"

namespace {

using lorvane::bench::best_seconds;

const std::filesystem::path kPackages = LORVANE_TRANSFORMER_PACKAGES;

lorvane::TransformerEncoder make_encoder(const std::string& package, std::uint64_t max_length) {
  // [PAD] [UNK] [CLS] [SEP] the cat: every word is one subword.
  return lorvane::TransformerEncoder(kPackages / (package + ".pt2"), {"[PAD]", "[UNK]", "[CLS]", "[SEP]", "the", "cat"},
                                     false, false, 0, max_length, "[UNK]", "[CLS]", "[SEP]", "##", 100);
}

// A sentence of `subwords` identifiers, the two special tokens included.
std::vector<std::string> sentence(std::size_t subwords) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i + 2 < subwords; ++i) words.push_back(i % 3 == 0 ? "cat" : "the");
  return words;
}

lorvane::detail::JsonValue python_timings(const std::string& package, std::uint64_t max_length,
                                          const lorvane::TransformerEncoder& encoder,
                                          const std::vector<std::size_t>& sizes, int repetitions) {
  lorvane::bench::TempDir dir("lorvane-transformer-bench");
  std::string inputs;
  for (const std::size_t size : sizes) {
    std::string list;
    for (const std::int64_t id : encoder.tokenize(sentence(size), true).input_ids) {
      list += (list.empty() ? "" : ",") + std::to_string(id);
    }
    inputs += (inputs.empty() ? "[" : ",[") + list + "]";
  }
  std::ofstream(dir / "request.json") << "{\"packages_dir\": \"" << kPackages.string() << "\", \"package\": \""
                                      << package << "\", \"max_length\": " << max_length
                                      << ", \"repetitions\": " << repetitions << ", \"inputs\": [" << inputs << "]}";
  return lorvane::detail::parse_json(lorvane::bench::run_python(
      lorvane::bench::default_python(),
      {(lorvane::bench::source_dir() / "bench" / "encoders" / "transformer_timing.py").string(),
       (dir / "request.json").string()}));
}

void encode_against_python(int repetitions) {
  const std::vector<std::size_t> sizes = {10, 100, 600, 2000};
  const auto encoder = make_encoder("contextual", 512);
  const auto python = python_timings("contextual", 512, encoder, sizes, repetitions);
  std::printf("-- encode, contextual package (2 layers, hidden 24), maximum length 512, 1 thread\n");
  std::printf("%9s %12s %14s %12s %10s %10s\n", "subwords", "ours ms", "py package ms", "eager ms", "vs py pkg",
              "vs eager");
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto words = sentence(sizes[i]);
    encoder.encode(words, false);  // warm the word cache
    const double ours = best_seconds(repetitions, [&] { return encoder.encode(words, false); });
    const double package = python.at("package", "").as_array("")[i].as_number("");
    const double eager = python.at("eager", "").as_array("")[i].as_number("");
    std::printf("%9zu %12.3f %14.3f %12.3f %9.2fx %9.2fx\n", sizes[i], ours * 1e3, package * 1e3, eager * 1e3,
                package / ours, eager / ours);
  }
  std::printf("(ratios above 1: ours is faster)\n");
  const double load = best_seconds(repetitions, [&] { return make_encoder("contextual", 512).model_path(); });
  const double python_load = python.at("load", "").as_number("");
  std::printf("-- load: ours %.2f ms, Python %.2f ms (%.2fx)\n", load * 1e3, python_load * 1e3, python_load / load);
}

void window_overhead(int repetitions) {
  std::printf("-- windows against one run over the same sentence (an encoder whose maximum length holds it),\n"
              "   context-free package, 1 thread\n");
  std::printf("%12s %9s %8s %12s %12s %9s\n", "max length", "subwords", "windows", "windowed ms", "one run ms",
              "overhead");
  const auto unlimited = make_encoder("context_free", 1u << 20);
  for (const std::uint64_t length : {64u, 512u}) {
    const auto encoder = make_encoder("context_free", length);
    for (const std::size_t size : {std::size_t{length}, std::size_t{length} * 2, std::size_t{length} * 4,
                                   std::size_t{length} * 8}) {
      const auto words = sentence(size);
      encoder.encode(words, false);
      unlimited.encode(words, false);
      const double windowed = best_seconds(repetitions, [&] { return encoder.encode(words, false); });
      const double single = best_seconds(repetitions, [&] { return unlimited.encode(words, false); });
      const std::size_t step = std::max<std::size_t>(std::max<std::size_t>(length, 20) - 20, length / 2);
      const std::size_t windows = size <= length ? 1 : 1 + (size - length + step - 1) / step;
      std::printf("%12llu %9zu %8zu %12.3f %12.3f %8.2fx\n", static_cast<unsigned long long>(length), size, windows,
                  windowed * 1e3, single * 1e3, windowed / single);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const int repetitions = argc > 1 ? std::stoi(argv[1]) : 7;
    at::set_num_threads(1);
    encode_against_python(repetitions);
    window_overhead(repetitions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transformer_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
