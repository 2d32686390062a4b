// Tokenizes a text with the "tokenize" bundle of a model directory and prints
// the result as CoNLL-U.
//
//   tokenize_demo MODEL_DIR [--lang LANG] [--package PACKAGE]
//                 [--resources-version VERSION] [--verify] [TEXT | -]
//
// MODEL_DIR holds VERSION/LANG/index.json and the bundles it names (scripts/demo
// writes one). TEXT defaults to a short sample; "-" reads the text from
// standard input.

#include <exception>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/pipeline.hpp"

namespace {

constexpr const char* kSample =
    "Lorvane runs a tokenizer on the CPU. It splits text into sentences, tokens and words! "
    "Numbers such as 3.14 and 1,000 stay whole, and (brackets) are split off.\n\n"
    "A blank line starts a new paragraph. Does it work?";

struct Options {
  std::string model_dir;
  std::string language = "en";
  std::string package = "default";
  std::string resources_version = "1.10.0";
  bool verify_checksums = false;
  std::optional<std::string> text;
};

void print_usage(std::ostream& out) {
  out << "usage: tokenize_demo MODEL_DIR [--lang LANG] [--package PACKAGE]\n"
         "                     [--resources-version VERSION] [--verify] [TEXT | -]\n";
}

// Returns nullopt after printing the usage when the arguments are not understood.
std::optional<Options> parse_arguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      return std::nullopt;
    } else if (arg == "--verify") {
      options.verify_checksums = true;
    } else if (arg == "--lang" && has_value) {
      options.language = argv[++i];
    } else if (arg == "--package" && has_value) {
      options.package = argv[++i];
    } else if (arg == "--resources-version" && has_value) {
      options.resources_version = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) return std::nullopt;
  options.model_dir = positional[0];
  if (positional.size() == 2) options.text = positional[1];
  return options;
}

std::string read_text(const Options& options) {
  if (!options.text) return kSample;
  if (*options.text != "-") return *options.text;
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parse_arguments(argc, argv);
  if (!options) {
    print_usage(std::cerr);
    return 2;
  }
  try {
    const lorvane::Pipeline pipeline(options->language, {"tokenize"}, options->package,
                                     std::filesystem::path(options->model_dir),
                                     options->resources_version, options->verify_checksums, {});
    const lorvane::Document document = pipeline.process(read_text(*options));
    // Every CoNLL-U sentence block, the last one included, ends with a blank line.
    const std::string conll = document.to_conll();
    if (!conll.empty()) std::cout << conll << "\n\n";
  } catch (const std::exception& e) {
    std::cerr << "tokenize_demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
