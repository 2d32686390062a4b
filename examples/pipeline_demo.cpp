// Runs a pipeline (by default the whole default one: tokenize, mwt, pos,
// lemma, depparse, ner, sentiment, constituency) over a text with the bundles
// of a model directory, and prints the CoNLL-U, then the entity spans, the
// sentiment class and the constituency tree of every sentence.
//
//   pipeline_demo MODEL_DIR [--lang LANG] [--processors a,b,...] [--package PACKAGE]
//                 [--resources-version VERSION] [--verify] [--] [TEXT | -]
//
// MODEL_DIR holds VERSION/LANG/index.json and the bundles it names (scripts/demo
// writes one). TEXT defaults to a short sample; "-" reads the text from
// standard input; "--" ends the options, so that a text may start with "-".
// Only the document goes to standard output; errors, and the note that the
// text held no sentence, go to standard error. Exit status: 0 done, 1 the
// pipeline failed, 2 the arguments were not understood.

#include <exception>
#include <iostream>
#include <iterator>
#include <optional>
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
         "                     [--resources-version VERSION] [--verify] [--] [TEXT | -]\n";
}

// What the command line asked for: options to run with, the usage as help,
// or an error to report with the usage.
struct Arguments {
  std::optional<Options> options;
  bool help = false;
  std::string error;
};

Arguments argument_error(std::string message) {
  Arguments arguments;
  arguments.error = std::move(message);
  return arguments;
}

// Names separated by commas; nullopt when the list or one of its names is empty.
std::optional<std::vector<std::string>> split_list(const std::string& list) {
  std::vector<std::string> items;
  std::size_t begin = 0;
  while (true) {
    const std::size_t comma = list.find(',', begin);
    items.push_back(list.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (items.back().empty()) return std::nullopt;
    if (comma == std::string::npos) return items;
    begin = comma + 1;
  }
}

Arguments parse_arguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
    } else if (arg == "-h" || arg == "--help") {
      Arguments help;
      help.help = true;
      return help;
    } else if (arg == "--verify") {
      options.verify_checksums = true;
    } else if (arg == "--lang" || arg == "--processors" || arg == "--package" || arg == "--resources-version") {
      if (i + 1 == argc) return argument_error(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--lang") {
        options.language = value;
      } else if (arg == "--package") {
        options.package = value;
      } else if (arg == "--resources-version") {
        options.resources_version = value;
      } else if (const auto names = split_list(value)) {
        options.processors = *names;
      } else {
        return argument_error("--processors needs processor names separated by commas, got '" + value + "'");
      }
    } else {
      return argument_error("unknown option '" + arg + "'");
    }
  }
  if (positional.empty()) return argument_error("no model directory given");
  if (positional.size() > 2) return argument_error("more than one text given");
  if (positional[0].empty()) return argument_error("the model directory argument is empty");
  options.model_dir = positional[0];
  if (positional.size() == 2) options.text = positional[1];
  Arguments arguments;
  arguments.options = std::move(options);
  return arguments;
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
  const Arguments arguments = parse_arguments(argc, argv);
  if (arguments.help) {
    print_usage(std::cout);
    return 0;
  }
  if (!arguments.options) {
    std::cerr << "pipeline_demo: " << arguments.error << "\n";
    print_usage(std::cerr);
    return 2;
  }
  const Options& options = *arguments.options;
  try {
    const lorvane::Pipeline pipeline(options.language, options.processors, options.package,
                                     std::filesystem::path(options.model_dir), options.resources_version,
                                     options.verify_checksums, {});
    const lorvane::Document document = pipeline.process(read_text(options));
    if (document.sentences().size() == 0) {
      std::cerr << "pipeline_demo: no sentences\n";
      return 0;
    }
    // Every CoNLL-U sentence block, the last one included, ends with a blank line.
    std::cout << document.to_conll() << "\n\n";
    print_annotations(document, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "pipeline_demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
