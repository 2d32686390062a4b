// CoNLL-U writing throughput on a 10,000-sentence annotated document, against
// two baselines measured in the same run on the same output bytes:
//   - concatenation: the finished lines copied into one string (the cost of
//     producing the bytes with all formatting already done);
//   - the `conllu` Python package serialising the same sentences (parsed
//     beforehand, outside the timed region).
//
//   conll_bench [python] [runs]
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
#include <string_view>
#include <vector>

#include "lorvane/document.hpp"
#include "support/bench_support.hpp"

namespace {

using namespace lorvane;
using bench::best_seconds;
using bench::default_python;
using bench::printed_seconds;
using bench::run_python;

constexpr int kSentences = 10000;

WordInput make_word(std::mt19937_64& rng, std::int32_t id, std::int32_t length, const std::string& text) {
  static const char* const kUpos[] = {"NOUN", "VERB", "ADJ", "DET", "ADP", "PRON", "PUNCT"};
  static const char* const kFeats[] = {"Number=Sing", "Gender=Fem|Number=Plur", "Mood=Ind|Person=3|Tense=Past|VerbForm=Fin"};
  static const char* const kDeprel[] = {"nsubj", "obj", "det", "case", "amod", "punct", "obl"};
  WordInput w;
  w.id = id;
  w.text = text;
  w.lemma = text + "_l";
  w.upos = kUpos[rng() % 7];
  w.xpos = *w.upos + "x";
  if (rng() % 3 != 0) w.feats = kFeats[rng() % 3];
  w.head = id == 1 ? 0 : static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(length + 1));
  w.deprel = id == 1 ? "root" : kDeprel[rng() % 7];
  w.deps = std::to_string(*w.head) + ":" + *w.deprel;
  if (rng() % 5 == 0) w.misc = "SpaceAfter=No";
  if (rng() % 4 == 0) w.morphemes = {text.substr(0, text.size() / 2), text.substr(text.size() / 2)};
  return w;
}

std::string make_form(std::mt19937_64& rng) {
  std::string form;
  const auto length = 2 + rng() % 8;
  for (std::uint64_t i = 0; i < length; ++i) form += static_cast<char>('a' + rng() % 26);
  if (rng() % 20 == 0) form += "\xC3\xA9";
  return form;
}

// Sentences of 5 to 35 words; about one token in fifteen is a two-word token
// and one sentence in four has an empty word.
Document make_document() {
  std::mt19937_64 rng(20240612);
  std::vector<SentenceInput> sentences(kSentences);
  for (int s = 0; s < kSentences; ++s) {
    auto& sentence = sentences[s];
    const auto length = static_cast<std::int32_t>(5 + rng() % 31);
    std::string text;
    for (std::int32_t id = 1; id <= length;) {
      TokenInput token;
      token.id_start = id;
      if (id < length && rng() % 15 == 0) {
        token.id_end = id + 1;
        token.words = {make_word(rng, id, length, make_form(rng)), make_word(rng, id + 1, length, make_form(rng))};
        token.text = token.words[0].text + token.words[1].text;
        if (rng() % 2 == 0) token.misc = "SpaceAfter=No";
      } else {
        token.id_end = id;
        token.text = make_form(rng);
        token.words = {make_word(rng, id, length, token.text)};
      }
      text += (text.empty() ? "" : " ") + token.text;
      id = token.id_end + 1;
      sentence.tokens.push_back(std::move(token));
    }
    sentence.text = text;
    if (s % 50 == 0) sentence.comments = {"# newdoc id = d" + std::to_string(s / 50)};
    if (rng() % 4 == 0) {
      WordInput empty;
      empty.id = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(length));
      empty.empty_index = 1;
      empty.text = "_pro";
      empty.upos = "PRON";
      empty.deps = std::to_string(empty.id) + ":nsubj";
      sentence.empty_words.push_back(empty);
    }
  }
  return Document("", std::move(sentences));
}

double best_writer_seconds(const Document& doc, std::size_t expected_size, int runs) {
  return best_seconds(runs, [&] { return doc.to_conll(); }, [&](const std::string& out) {
    if (out.size() != expected_size) throw std::logic_error("output size changed between runs");
  });
}

// Copies the finished lines, newline by newline, into one reserved string.
double best_concatenation_seconds(const std::string& output, int runs) {
  std::vector<std::string_view> lines;
  for (std::size_t begin = 0; begin <= output.size();) {
    const std::size_t end = std::min(output.find('\n', begin), output.size());
    lines.emplace_back(output.data() + begin, end - begin);
    begin = end + 1;
  }
  const auto concatenate = [&] {
    std::string out;
    out.reserve(output.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) out += '\n';
      out += lines[i];
    }
    return out;
  };
  return best_seconds(runs, concatenate, [&](const std::string& out) {
    if (out != output) throw std::logic_error("concatenation differs from the writer's output");
  });
}

// conllu parses the file once (untimed), then serialises every sentence.
double best_python_seconds(const std::string& python, const std::filesystem::path& file, int runs) {
  const std::string script =
      "import sys,time,conllu\n"
      "sentences=conllu.parse(open(sys.argv[1],encoding='utf-8').read())\n"
      "assert len(sentences)==" + std::to_string(kSentences) + "\n"
      "best=1e300\n"
      "for _ in range(int(sys.argv[2])):\n"
      "    t=time.perf_counter(); out=''.join(s.serialize() for s in sentences)\n"
      "    best=min(best,time.perf_counter()-t)\n"
      "print(best)\n";
  return printed_seconds(run_python(python, {"-c", script, file.string(), std::to_string(runs)}));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string python = argc > 1 ? argv[1] : default_python();
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  try {
    const Document doc = make_document();
    const std::string output = doc.to_conll();
    const bench::TempDir dir("lorvane-conll-bench");
    const auto file = dir / "doc.conllu";
    std::ofstream(file, std::ios::binary) << output << "\n\n";

    const double megabytes = static_cast<double>(output.size()) / 1e6;
    const double ours = best_writer_seconds(doc, output.size(), runs);
    const double concatenation = best_concatenation_seconds(output, runs);
    const double theirs = best_python_seconds(python, file, runs);
    std::printf("output: %.1f MB, %d sentences, %llu word rows, best of %d runs\n", megabytes, kSentences,
                static_cast<unsigned long long>(doc.storage()->num_word_rows()), runs);
    std::printf("lorvane to_conll:          %8.1f MB/s\n", megabytes / ours);
    std::printf("line concatenation:        %8.1f MB/s\n", megabytes / concatenation);
    std::printf("python conllu serialize:   %8.1f MB/s\n", megabytes / theirs);
    std::printf("ratio ours/concatenation:  %8.2fx\n", concatenation / ours);
    std::printf("ratio ours/conllu:         %8.2fx\n", theirs / ours);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "conll_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
