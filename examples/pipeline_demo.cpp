// Runs a pipeline (by default the whole default one: tokenize, mwt, pos,
// lemma, depparse, ner, sentiment, constituency) over a text with the bundles
// of a model directory, and prints the CoNLL-U, then the entity spans, the
// sentiment class and the constituency tree of every sentence.
//
//   pipeline_demo MODEL_DIR [--lang LANG] [--processors a,b,...] [--package PACKAGE]
//                 [--resources-version VERSION] [--verify] [TEXT | -]
//
// MODEL_DIR holds VERSION/LANG/index.json and the bundles it names (scripts/demo
// writes one). TEXT defaults to a short sample; "-" reads the text from
// standard input.

#include <exception>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lorvane/pipeline.hpp"

namespace {

constexpr const char* kSample =
    "Anna doesn't live in Paris. She's moved to London, and it's a long way from home! "
    "Numbers such as 3.14 and 1,000 stay whole. Does the city know her?";

struct Options {
  std::string model_dir;
  std::string language = "en";
  std::vector<std::string> processors = {"tokenize", "mwt",       "pos",       "lemma",
                                         "depparse", "ner",       "sentiment", "constituency"};
  std::string package = "default";
  std::string resources_version = "1.10.0";
  bool verify_checksums = false;
  std::optional<std::string> text;
};

void print_usage(std::ostream& out) {
  out << "usage: pipeline_demo MODEL_DIR [--lang LANG] [--processors a,b,...] [--package PACKAGE]\n"
         "                     [--resources-version VERSION] [--verify] [TEXT | -]\n";
}

std::vector<std::string> split_list(const std::string& list) {
  std::vector<std::string> items;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

// Returns nullopt after printing the usage when the arguments are not understood.
std::optional<Options> parse_arguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--verify") {
      options.verify_checksums = true;
    } else if (arg == "--lang" && has_value) {
      options.language = argv[++i];
    } else if (arg == "--processors" && has_value) {
      options.processors = split_list(argv[++i]);
    } else if (arg == "--package" && has_value) {
      options.package = argv[++i];
    } else if (arg == "--resources-version" && has_value) {
      options.resources_version = argv[++i];
    } else if (arg.rfind("--", 0) == 0 || arg == "-h") {
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

// Entity spans, sentiment classes and trees, one line each; sections whose
// stage did not run stay empty.
void print_annotations(const lorvane::Document& document, std::ostream& out) {
  const lorvane::SpanSequence entities = document.ents();
  if (entities.size() > 0) out << "# entities\n";
  for (std::uint64_t e = 0; e < entities.size(); ++e) {
    const lorvane::Span span = entities.at(static_cast<std::int64_t>(e));
    out << span.type() << "\t" << span.text() << "\t" << span.start_char().value_or(0) << "-"
        << span.end_char().value_or(0) << "\t(sentence " << span.sent().index() << ")\n";
  }
  const lorvane::SentenceSequence sentences = document.sentences();
  bool headed_sentiment = false, headed_trees = false;
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    if (const std::optional<int> sentiment = sentences.at(static_cast<std::int64_t>(s)).sentiment()) {
      if (!std::exchange(headed_sentiment, true)) out << "# sentiment classes\n";
      out << "sentence " << s << "\tclass " << *sentiment << "\n";
    }
  }
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    if (const auto tree = sentences.at(static_cast<std::int64_t>(s)).constituency()) {
      if (!std::exchange(headed_trees, true)) out << "# constituency trees\n";
      out << "sentence " << s << "\t" << tree->to_string() << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parse_arguments(argc, argv);
  if (!options) {
    print_usage(std::cerr);
    return 2;
  }
  try {
    const lorvane::Pipeline pipeline(options->language, options->processors, options->package,
                                     std::filesystem::path(options->model_dir), options->resources_version,
                                     options->verify_checksums, {});
    const lorvane::Document document = pipeline.process(read_text(*options));
    // Every CoNLL-U sentence block, the last one included, ends with a blank line.
    const std::string conll = document.to_conll();
    if (!conll.empty()) std::cout << conll << "\n\n";
    print_annotations(document, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "pipeline_demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
