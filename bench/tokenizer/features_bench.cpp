// Feature-row throughput of the tokenizer on a few hundred KB of generated
// English-like prose with numbers, dates, prices, phone numbers and e-mail
// addresses. Reports units per second and, measured in the same run, the
// cost ratios against paragraph splitting alone and between feature sets
// with and without the dictionary windows.

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "models/tokenizer/text/features.hpp"
#include "models/tokenizer/text/units.hpp"
#include "support/bench_support.hpp"
#include "tokenizer/tokenizer_text_support.hpp"

namespace {

using lorvane::bench::best_seconds;
using lorvane::testing::Features;
using lorvane::detail::TokenizerParagraph;

const char* const kWords[] = {
    "the",     "of",        "and",      "to",       "in",        "report",   "market",   "city",
    "council", "said",      "that",     "would",    "river",     "company",  "new",      "york",
    "year",    "people",    "between",  "during",   "after",     "before",   "school",   "water",
    "budget",  "committee", "announced", "expected", "increase", "quarterly", "results",  "museum",
    "über",    "café",      "naïve",    "approximately", "government", "weather", "station", "north"};

const char* const kMonths[] = {"January", "March", "June", "September", "December"};

// Deterministic prose: sentences of common words with capitalised starts and
// names, and now and then a number, a price, a date, a phone number, a
// labeled field or an e-mail address; paragraphs separated by blank lines.
std::string generate_text(std::size_t target_bytes) {
  std::mt19937 rng(12345);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::string text;
  while (text.size() < target_bytes) {
    const std::size_t sentences = 3 + pick(6);
    for (std::size_t s = 0; s < sentences; ++s) {
      if (pick(8) == 0) text += "Subject Line: ";
      const std::size_t words = 6 + pick(14);
      for (std::size_t w = 0; w < words; ++w) {
        std::string word = kWords[pick(std::size(kWords))];
        const bool ascii_start = word[0] >= 'a' && word[0] <= 'z';
        if (ascii_start && (w == 0 || pick(10) == 0)) word[0] = static_cast<char>(word[0] - 'a' + 'A');
        text += word;
        switch (pick(40)) {
          case 0: text += " " + std::to_string(pick(10000)); break;
          case 1: text += " $" + std::to_string(pick(5000)) + "," + std::to_string(100 + pick(900)) + ".50"; break;
          case 2: text += std::string(" ") + kMonths[pick(5)] + " " + std::to_string(1 + pick(28)) + ", 20" + std::to_string(10 + pick(15)); break;
          case 3: text += " " + std::to_string(1 + pick(12)) + "/" + std::to_string(1 + pick(28)) + "/99"; break;
          case 4: text += " (555) 123-" + std::to_string(1000 + pick(9000)); break;
          case 5: text += " info" + std::to_string(pick(100)) + "@example.org"; break;
          case 6: text += ","; break;
          default: break;
        }
        text += w + 1 == words ? ". " : " ";
      }
    }
    text += "\n\n";
  }
  return text;
}

// A few thousand lowercase words: the prose vocabulary plus made-up ones.
std::vector<std::string> generate_lexicon(std::size_t count) {
  std::mt19937 rng(777);
  std::vector<std::string> lexicon(std::begin(kWords), std::end(kWords));
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  while (lexicon.size() < count) {
    std::string word;
    const std::size_t length = 2 + rng() % 9;
    for (std::size_t i = 0; i < length; ++i) word += letters[rng() % letters.size()];
    lexicon.push_back(word);
  }
  return lexicon;
}

}  // namespace

int main() {
  const std::string text = generate_text(400 * 1024);
  const std::vector<std::string> lexicon = generate_lexicon(4000);
  constexpr int kRepeats = 5;

  std::vector<TokenizerParagraph> paragraphs;
  const double split_s = best_seconds(kRepeats, [&] {
    paragraphs = lorvane::detail::split_paragraphs(text.data(), text.size(), false);
  });
  std::size_t units = 0;
  for (const auto& p : paragraphs) units += p.size();

  Features lexical;
  lexical.feat_funcs = {"space_before", "capitalized", "numeric", "end_of_para", "start_of_para"};
  lexical.feat_dim = 5;
  Features patterns = lexical;
  for (const char* name : {"labeled_field", "phone_id", "date_pattern", "currency"}) {
    patterns.feat_funcs.push_back(name);
  }
  patterns.feat_dim = 9;
  Features dictionary = patterns;
  dictionary.use_dictionary = true;
  dictionary.num_dict_feat = 4;
  dictionary.feat_dim = 9 + 8;
  dictionary.add_words(lexicon);

  std::size_t checksum = 0;
  auto run = [&](const Features& f) {
    return best_seconds(kRepeats, [&] {
      for (const auto& p : paragraphs) {
        checksum += f.compute(p).size();
      }
    });
  };
  const double lexical_s = run(lexical);
  const double patterns_s = run(patterns);
  const double dictionary_s = run(dictionary);

  const double mu = static_cast<double>(units) / 1e6;
  std::printf("text: %zu bytes, %zu paragraphs, %zu units; lexicon %zu entries (K = 4)\n",
              text.size(), paragraphs.size(), units, lexicon.size());
  std::printf("split_paragraphs alone:            %8.2f M units/s\n", mu / split_s);
  std::printf("features, lexical+positional (5):  %8.2f M rows/s\n", mu / lexical_s);
  std::printf("features, + 4 patterns (9):        %8.2f M rows/s\n", mu / patterns_s);
  std::printf("features, + dictionary K=4 (17):   %8.2f M rows/s\n", mu / dictionary_s);
  std::printf("ratio lexical / split_paragraphs:  %8.2fx time\n", lexical_s / split_s);
  std::printf("ratio patterns / split_paragraphs: %8.2fx time\n", patterns_s / split_s);
  std::printf("ratio dictionary / patterns:       %8.2fx time\n", dictionary_s / patterns_s);
  std::printf("ratio dictionary / split_paragraphs: %6.2fx time\n", dictionary_s / split_s);
  std::printf("(checksum %zu)\n", checksum);
  return 0;
}
