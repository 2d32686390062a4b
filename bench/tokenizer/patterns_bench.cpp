// Tokenizer pattern matching: ours against std::regex (ECMAScript | optimize,
// std::sregex_iterator), both run in this process on the same paragraphs.
//
// 1. Realistic prose in paragraphs of about 300 bytes, where std::regex still
//    works: throughput of each and the ratio, and matches per MB (which must
//    agree between the two).
// 2. Runs that std::regex cannot take at full size (it recurses once per
//    repeated character and overflows the stack): ours on 256 KiB and 1 MiB
//    (the time ratio shows linear growth, 4.0 being exactly linear), and
//    std::regex against ours on the same 4 KiB run, small enough for it.

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "models/tokenizer/text/patterns.hpp"
#include "tokenizer/tokenizer_text_support.hpp"

namespace {

using lorvane::detail::TokenizerPattern;
using lorvane::testing::kAllPatterns;
using lorvane::testing::pattern_name;

// Seconds per call of fn, repeated until at least min_seconds have passed.
double seconds_per_call(const std::function<void()>& fn, double min_seconds = 0.3) {
  using clock = std::chrono::steady_clock;
  fn();  // warm-up: first-use compilation, caches
  int calls = 0;
  const auto start = clock::now();
  double elapsed = 0.0;
  do {
    fn();
    ++calls;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  return elapsed / calls;
}

std::size_t total_bytes(const std::vector<std::string>& paragraphs) {
  std::size_t bytes = 0;
  for (const std::string& p : paragraphs) bytes += p.size();
  return bytes;
}

// Prose with the things the patterns look for, in paragraphs of ~300 bytes.
std::vector<std::string> realistic_paragraphs(std::size_t bytes, bool quoted_addresses) {
  std::mt19937 rng(7);
  const std::vector<std::string> words = {
      "the", "report", "was", "filed", "on", "time", "and", "Name:", "Price:", "Total Due:",
      "we", "will", "call", "you", "back", "about", "order", "number", "Lisbon", "Acme",
      "\xC3\xA9t\xC3\xA9", "caf\xC3\xA9", "\xE2\x82\xAC" "5", "done.", "really?", "(see", "below)"};
  const std::vector<std::string> items = {
      "$1,200.50", "$ 35", "(555) 123-4567", "555-123-4567", "x1234", "March 5, 2020",
      "12/31/99", "bob@example.com", "j.doe@mail.example.org", "www.example.org/a?b=1",
      "https://docs.example.com/x", "example.co.uk"};
  std::vector<std::string> paragraphs;
  std::size_t produced = 0;
  while (produced < bytes) {
    std::string paragraph;
    while (paragraph.size() < 300) {
      if (!paragraph.empty()) paragraph += ' ';
      paragraph += rng() % 6 == 0 ? items[rng() % items.size()] : words[rng() % words.size()];
      if (quoted_addresses && rng() % 40 == 0) paragraph += " \"a b\"@example.com";
    }
    produced += paragraph.size();
    paragraphs.push_back(std::move(paragraph));
  }
  return paragraphs;
}

std::size_t std_regex_matches(const std::regex& regex, const std::vector<std::string>& paragraphs) {
  std::size_t count = 0;
  for (const std::string& p : paragraphs) {
    for (std::sregex_iterator it(p.begin(), p.end(), regex), end; it != end; ++it) ++count;
  }
  return count;
}

std::size_t our_matches(TokenizerPattern pattern, const std::vector<std::string>& paragraphs) {
  std::size_t count = 0;
  for (const std::string& p : paragraphs) {
    count += lorvane::detail::find_pattern_matches(pattern, p).size();
  }
  return count;
}

void realistic(bool quoted_addresses) {
  const std::vector<std::string> paragraphs = realistic_paragraphs(1 << 20, quoted_addresses);
  const double megabytes = static_cast<double>(total_bytes(paragraphs)) / (1 << 20);
  std::printf("\nRealistic prose, %zu paragraphs, %.2f MiB%s\n", paragraphs.size(), megabytes,
              quoted_addresses ? ", some with quoted local parts (backtracking engine for those)"
                               : "");
  std::printf("%-14s %12s %12s %12s %10s\n", "pattern", "matches/MiB", "std MiB/s", "ours MiB/s",
              "ours/std");
  for (const TokenizerPattern pattern : kAllPatterns) {
    const std::regex regex(std::string(lorvane::detail::ecmascript_source(pattern)),
                           std::regex::ECMAScript | std::regex::optimize);
    const std::size_t expected = std_regex_matches(regex, paragraphs);
    const std::size_t ours = our_matches(pattern, paragraphs);
    if (expected != ours) {
      std::printf("%-14s MISMATCH: std::regex %zu matches, ours %zu\n", pattern_name(pattern),
                  expected, ours);
      continue;
    }
    const double std_time = seconds_per_call([&] { std_regex_matches(regex, paragraphs); });
    const double our_time = seconds_per_call([&] { our_matches(pattern, paragraphs); });
    std::printf("%-14s %12.0f %12.1f %12.1f %9.1fx\n", pattern_name(pattern), ours / megabytes,
                megabytes / std_time, megabytes / our_time, std_time / our_time);
  }
}

struct Run {
  const char* name;
  TokenizerPattern pattern;
  std::string prefix, unit, suffix;
};

std::string build(const Run& run, std::size_t bytes) {
  std::string text = run.prefix;
  while (text.size() < bytes) text += run.unit;
  return text + run.suffix;
}

void adversarial() {
  const std::vector<Run> runs = {
      {"$ + digits", TokenizerPattern::currency, "$", "7", ""},
      {"capital + letters", TokenizerPattern::labeled_field, "A", "b", ""},
      {"month + spaces", TokenizerPattern::date_pattern, "March", " ", ""},
      {"digits", TokenizerPattern::phone_id, "", "1", ""},
      {"letters", TokenizerPattern::email_or_url, "", "a", ""},
      {"a.a.a.", TokenizerPattern::email_or_url, "", "a.", ""},
      {"www.www.", TokenizerPattern::email_or_url, "", "www.", ""},
      {"http://a", TokenizerPattern::email_or_url, "", "http://a", ""},
      {"aaaa@", TokenizerPattern::email_or_url, "", "aaaa@", ""},
      {"mixed", TokenizerPattern::email_or_url, "", "a.b@c-d.e.fg www.x.yz aaaa.com.b ", ""},
      {"open quoted part", TokenizerPattern::email_or_url, "", "a.com.xx\\\"\\ ", " \"@x.yz"},
      {"open literal", TokenizerPattern::email_or_url, "", "b@[1.2.3.x:a.com.bb\"", ""},
  };
  std::printf("\nLong runs (std::regex overflows its stack on the 1 MiB runs)\n");
  std::printf("%-18s %-14s %9s %11s %14s %14s\n", "run", "pattern", "matches", "MiB/s 1MiB",
              "1MiB/256KiB t", "4KiB std/ours");
  for (const Run& run : runs) {
    const std::string small = build(run, 1 << 18);
    const std::string large = build(run, 1 << 20);
    const std::string tiny = build(run, 1 << 12);
    std::size_t matches = 0;
    const double t_small = seconds_per_call(
        [&] { lorvane::detail::find_pattern_matches(run.pattern, small); }, 0.2);
    const double t_large = seconds_per_call(
        [&] { matches = lorvane::detail::find_pattern_matches(run.pattern, large).size(); }, 0.2);
    const std::regex regex(std::string(lorvane::detail::ecmascript_source(run.pattern)),
                           std::regex::ECMAScript | std::regex::optimize);
    const std::vector<std::string> tiny_text = {tiny};
    const double t_tiny_std = seconds_per_call([&] { std_regex_matches(regex, tiny_text); }, 0.2);
    const double t_tiny_ours = seconds_per_call([&] { our_matches(run.pattern, tiny_text); }, 0.2);
    std::printf("%-18s %-14s %9zu %11.1f %14.2f %13.0fx\n", run.name, pattern_name(run.pattern),
                matches, static_cast<double>(large.size()) / (1 << 20) / t_large,
                t_large / t_small, t_tiny_std / t_tiny_ours);
  }
}

// The engine that serves texts with `"@` or `@[`, against the automaton that
// serves the rest, on the same address-free prose.
void engines() {
  const std::vector<std::string> paragraphs = realistic_paragraphs(1 << 20, false);
  const double megabytes = static_cast<double>(total_bytes(paragraphs)) / (1 << 20);
  const double automaton = seconds_per_call([&] { our_matches(TokenizerPattern::email_or_url, paragraphs); });
  const double backtracking = seconds_per_call([&] {
    for (const std::string& p : paragraphs) {
      lorvane::detail::find_pattern_matches_backtracking(TokenizerPattern::email_or_url, p);
    }
  });
  std::printf("\nemail_or_url engines on realistic prose: automaton %.1f MiB/s, backtracking "
              "%.1f MiB/s (automaton/backtracking %.1fx)\n",
              megabytes / automaton, megabytes / backtracking, backtracking / automaton);
}

}  // namespace

int main() {
  realistic(false);
  realistic(true);
  engines();
  adversarial();
  return 0;
}
