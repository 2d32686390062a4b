#pragma once

// Deterministic English-like prose for the tokenizer benchmarks.

#include <cstddef>
#include <iterator>
#include <random>
#include <string>

namespace lorvane::bench {

inline const char* const kWords[] = {
    "the",    "of",      "and",     "to",        "in",       "report",    "market",  "city",     "council",
    "said",   "that",    "would",   "river",     "company",  "new",       "year",    "people",   "between",
    "during", "after",   "before",  "school",    "water",    "budget",    "museum",  "weather",  "station",
    "north",  "members", "agreed",  "on",        "a",        "plan",      "for",     "its",      "next",
    "über",   "café",    "naïve",   "approximately", "government", "results", "quarterly", "expected"};

// Deterministic prose: paragraphs of 2 to 7 sentences, now and then a line
// break inside a paragraph, a number, an abbreviation, an e-mail or a web
// address; paragraphs separated by blank lines.
inline std::string generate_text(std::size_t target_chars) {
  std::mt19937 rng(4242);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::string text;
  while (text.size() < target_chars) {
    const std::size_t sentences = 2 + pick(6);
    for (std::size_t s = 0; s < sentences; ++s) {
      const std::size_t words = 5 + pick(16);
      for (std::size_t w = 0; w < words; ++w) {
        std::string word = kWords[pick(std::size(kWords))];
        if (w == 0 && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
        text += word;
        switch (pick(50)) {
          case 0: text += " " + std::to_string(pick(100000)); break;
          case 1: text += " Mr. Smith"; break;
          case 2: text += " (see www.example" + std::to_string(pick(9)) + ".com/page)"; break;
          case 3: text += " office" + std::to_string(pick(50)) + "@city.gov"; break;
          case 4: text += ","; break;
          default: break;
        }
        text += w + 1 == words ? (pick(6) == 0 ? "!" : ".") : "";
        text += w + 1 == words ? (pick(10) == 0 ? "\n" : " ") : " ";
      }
    }
    text += "\n\n";
  }
  return text;
}

}  // namespace lorvane::bench
