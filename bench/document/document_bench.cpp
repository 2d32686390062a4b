// Cost of the document store's abstractions, each against a baseline measured
// in the same run:
//   1. reading every word of a 100k-word document through Word views made by
//      a WordSequence, against a plain loop over the raw columns;
//   2. building a 10k-sentence document from input records, against a deep
//      copy of the same records.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::bench::best_seconds;

volatile std::uint64_t g_sink;

std::vector<lorvane::SentenceInput> make_records(std::size_t sentences, std::size_t words_per_sentence) {
  static const char* const kForms[] = {"the", "cat", "sat", "on", "a", "mat", "and", "looked",
                                       "around", "quietly", "before", "sleeping"};
  std::vector<lorvane::SentenceInput> out(sentences);
  std::uint32_t offset = 0;
  for (std::size_t s = 0; s < sentences; ++s) {
    for (std::size_t w = 0; w < words_per_sentence; ++w) {
      lorvane::TokenInput t;
      t.id_start = t.id_end = static_cast<std::int32_t>(w + 1);
      t.text = kForms[(s * 7 + w) % 12];
      t.start_char = offset;
      offset += static_cast<std::uint32_t>(t.text.size());
      t.end_char = offset;
      ++offset;  // the space after the token
      t.ner = w == 1 ? "B-X" : w == 2 ? "E-X" : "O";
      lorvane::WordInput word;
      word.id = t.id_start;
      word.text = t.text;
      word.upos = w % 2 ? "NOUN" : "DET";
      word.head = static_cast<std::int32_t>(w);
      t.words.push_back(std::move(word));
      out[s].tokens.push_back(std::move(t));
    }
  }
  return out;
}

std::string text_of(const std::vector<lorvane::SentenceInput>& records) {
  std::string text;
  for (const auto& s : records)
    for (const auto& t : s.tokens) text += t.text + " ";
  return text;
}

void bench_word_iteration() {
  const auto records = make_records(5000, 20);  // 100k words
  const lorvane::Document doc(text_of(records), records);
  const lorvane::DocumentStorage& d = *doc.storage();
  const std::uint64_t n = doc.num_words();

  const double raw = best_seconds(20, [&] {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < n; ++i) sum += static_cast<std::uint64_t>(d.words.id[i]) + d.words.upos[i];
    g_sink = sum;
  });
  const double views = best_seconds(20, [&] {
    std::uint64_t sum = 0;
    const lorvane::WordSequence words = doc.words();
    for (std::uint64_t i = 0; i < n; ++i) {
      const lorvane::Word w = words.at(static_cast<std::int64_t>(i));
      sum += static_cast<std::uint64_t>(w.id()) + w.upos()->size();
    }
    g_sink = sum;
  });
  const double raw_text = best_seconds(20, [&] {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < n; ++i) sum += d.pool.get(d.words.text[i]).size();
    g_sink = sum;
  });
  const double view_text = best_seconds(20, [&] {
    std::uint64_t sum = 0;
    const lorvane::WordSequence words = doc.words();
    for (std::uint64_t i = 0; i < n; ++i) sum += words.at(static_cast<std::int64_t>(i)).text().size();
    g_sink = sum;
  });
  std::printf("word iteration, %llu words\n", static_cast<unsigned long long>(n));
  std::printf("  id+upos via views: %.2f ns/word; raw columns: %.2f ns/word; ratio views/raw %.1fx\n",
              views / n * 1e9, raw / n * 1e9, views / raw);
  std::printf("  text via views:    %.2f ns/word; raw columns: %.2f ns/word; ratio views/raw %.1fx\n",
              view_text / n * 1e9, raw_text / n * 1e9, view_text / raw_text);
}

void bench_build() {
  const auto records = make_records(10000, 20);  // 200k tokens
  const std::string text = text_of(records);
  std::uint64_t tokens = 0;
  for (const auto& s : records) tokens += s.tokens.size();

  const double copy = best_seconds(5, [&] {
    const std::vector<lorvane::SentenceInput> copied = records;
    g_sink = copied.size();
  });
  const double build = best_seconds(5, [&] {
    const lorvane::Document doc(text, records);
    g_sink = doc.num_tokens();
  });
  std::printf("build from records, %zu sentences, %llu tokens\n", records.size(),
              static_cast<unsigned long long>(tokens));
  std::printf("  build: %.2f M tokens/s; deep copy of the records: %.2f M tokens/s; ratio build/copy %.2fx\n",
              tokens / build / 1e6, tokens / copy / 1e6, build / copy);
}

}  // namespace

int main() {
  bench_word_iteration();
  bench_build();
  return 0;
}
