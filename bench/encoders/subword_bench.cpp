// Words per second of the subword tokenizers through their word cache:
//  - cold: a fresh tokenizer, every word distinct (all misses);
//  - warm: words that occupy distinct cache slots, encoded again (all hits);
//  - the miss/hit cost ratio;
//  - 1, 2, 4 and 8 threads on one tokenizer, hit-heavy (each thread encodes
//    the warm words) and miss-heavy (each thread its own distinct words);
//  - the PyPI package on the same vocabulary and cold words, one thread, in
//    the same run (sentences of 20 words joined by spaces, one batch); where
//    the package has a word cache of its own, also with it warm;
//  - byte-level BPE: one single-class word of 1 MiB against 256 KiB (the
//    merge loop's growth: about 4 for linear time).
// The unigram model is trained by the sentencepiece package on sentences of
// the benchmark's pseudo-words (that suite is skipped without the package).
//
//   subword_bench [distinct words=40000] [repetitions=5]

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoders/bpe_training.hpp"
#include "encoders/subword/word_cache.hpp"
#include "lorvane/subword.hpp"
#include "support/bench_support.hpp"

namespace {

using lorvane::bench::best_seconds;
using lorvane::detail::WordCache;
using Sentences = std::vector<std::vector<std::string>>;

constexpr std::size_t kWordsPerSentence = 20;
constexpr int kHitPasses = 10;  // each thread encodes the warm words this often

const char* const kConsonants[] = {"b", "c", "d", "f", "g", "h", "k", "l", "m",  "n",
                                   "p", "r", "s", "t", "v", "w", "z", "st", "tr", "ch"};
const char* const kVowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "\xC3\xA9", "\xC3\xBC"};

// Distinct pseudo-words of 1 to 4 syllables; some capitalised, some followed
// by a comma or full stop (so that the tokenizers split them).
std::vector<std::string> distinct_words(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::set<std::string> seen;
  std::vector<std::string> words;
  while (words.size() < count) {
    std::string word;
    const int syllables = 1 + static_cast<int>(random() % 4);
    for (int s = 0; s < syllables; ++s) {
      word += kConsonants[random() % std::size(kConsonants)];
      word += kVowels[random() % std::size(kVowels)];
    }
    if (random() % 5 == 0) word[0] = static_cast<char>(word[0] - 32);
    if (random() % 9 == 0) word += random() % 2 ? "," : ".";
    if (seen.insert(word).second) words.push_back(word);
  }
  return words;
}

Sentences as_sentences(const std::vector<std::string>& words) {
  Sentences sentences;
  for (std::size_t i = 0; i < words.size(); i += kWordsPerSentence) {
    sentences.emplace_back(words.begin() + static_cast<std::ptrdiff_t>(i),
                           words.begin() + static_cast<std::ptrdiff_t>(std::min(words.size(), i + kWordsPerSentence)));
  }
  return sentences;
}

// The first words that fall into distinct cache slots.
std::vector<std::string> slot_distinct(const std::vector<std::string>& words, std::size_t limit) {
  std::set<std::size_t> slots;
  std::vector<std::string> out;
  for (const std::string& word : words) {
    if (out.size() < limit && slots.insert(WordCache::slot_of(word)).second) out.push_back(word);
  }
  return out;
}

std::string hex_field(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out = "x";
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

template <class Tokenizer>
std::size_t encode_all(const Tokenizer& tokenizer, const Sentences& sentences) {
  std::size_t ids = 0;
  for (const auto& sentence : sentences) ids += tokenizer.encode(sentence, false).input_ids.size();
  return ids;
}

// Seconds for one thread per sentence list, thread t encoding list t once
// with tokenizer t (the same object for all threads, or one each).
template <class Tokenizer>
double threaded_seconds(const std::vector<const Tokenizer*>& tokenizers, const std::vector<Sentences>& per_thread) {
  const auto start = lorvane::bench::Clock::now();
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < per_thread.size(); ++t) {
    threads.emplace_back([&, t] { encode_all(*tokenizers[t], per_thread[t]); });
  }
  for (std::thread& thread : threads) thread.join();
  return lorvane::bench::seconds_since(start);
}

// Words per second of the package on the words (cold, or warm when asked).
double package_rate(const std::vector<std::string>& words, const std::string& settings, int repetitions,
                    bool warm) {
  lorvane::bench::TempDir dir("lorvane-subword-bench");
  {
    std::ofstream request(dir / "request.txt");
    request << settings;
    for (const std::string& word : words) request << "word " << hex_field(word) << "\n";
  }
  std::vector<std::string> args = {
      (lorvane::bench::source_dir() / "bench" / "encoders" / "subword_timing.py").string(),
      (dir / "request.txt").string(), std::to_string(kWordsPerSentence), std::to_string(repetitions)};
  if (warm) args.push_back("warm");
  const double seconds =
      lorvane::bench::printed_seconds(lorvane::bench::run_python(lorvane::bench::default_python(), args));
  return static_cast<double>(words.size()) / seconds;
}

template <class Tokenizer>
void run_suite(const char* name, const std::function<Tokenizer()>& make, const std::string& settings,
               bool package_has_cache, std::size_t distinct, int repetitions) {
  std::printf("-- %s\n", name);
  const std::vector<std::string> words = distinct_words(distinct, 1);
  const Sentences cold_sentences = as_sentences(words);
  const double construction = best_seconds(repetitions, [&] { return make().vocabulary_size(); });
  double cold_encode = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    const Tokenizer tokenizer = make();
    cold_encode = std::min(cold_encode, best_seconds(1, [&] { return encode_all(tokenizer, cold_sentences); }));
  }
  const std::vector<std::string> warm_words = slot_distinct(words, WordCache::kSlotCount);
  const Sentences warm_sentences = as_sentences(warm_words);
  const Tokenizer warm_tokenizer = make();
  encode_all(warm_tokenizer, warm_sentences);
  const double warm = best_seconds(repetitions, [&] { return encode_all(warm_tokenizer, warm_sentences); });
  const double miss_rate = static_cast<double>(words.size()) / cold_encode;
  const double hit_rate = static_cast<double>(warm_words.size()) / warm;
  std::printf("construction %.2f ms\n", construction * 1e3);
  std::printf("cold (all misses) %.0f words/s, warm (all hits) %.0f words/s, miss/hit cost %.1fx\n", miss_rate,
              hit_rate, hit_rate / miss_rate);

  try {
    const double cold_package = package_rate(words, settings, repetitions, false);
    std::printf("package, same words, 1 thread: %.0f words/s cold; ours cold %.2fx of it, warm %.2fx\n",
                cold_package, miss_rate / cold_package, hit_rate / cold_package);
    if (package_has_cache) {
      const double warm_package = package_rate(words, settings, repetitions, true);
      std::printf("package with its own cache warm: %.0f words/s; ours warm %.2fx of it\n", warm_package,
                  hit_rate / warm_package);
    }
  } catch (const std::exception& e) {
    std::printf("package baseline not measured: %s\n", e.what());
  }

  const std::size_t per_thread_words = 20000;
  const std::vector<std::string> many = distinct_words(8 * per_thread_words, 2);
  // The control: each thread with its own warm tokenizer (nothing shared),
  // which shows what the machine gives to more threads at the moment.
  std::vector<Tokenizer> own;
  for (int t = 0; t < 8; ++t) {
    own.push_back(make());
    encode_all(own.back(), warm_sentences);
  }
  double hit_one = 0, miss_one = 0, own_one = 0;
  for (const int threads : {1, 2, 4, 8}) {
    const std::vector<const Tokenizer*> shared(static_cast<std::size_t>(threads), &warm_tokenizer);
    std::vector<const Tokenizer*> separate;
    for (int t = 0; t < threads; ++t) separate.push_back(&own[static_cast<std::size_t>(t)]);
    std::vector<Sentences> hits(static_cast<std::size_t>(threads));
    for (Sentences& sentences : hits) {
      for (int pass = 0; pass < kHitPasses; ++pass) {
        sentences.insert(sentences.end(), warm_sentences.begin(), warm_sentences.end());
      }
    }
    std::vector<Sentences> misses;
    for (int t = 0; t < threads; ++t) {
      misses.push_back(as_sentences(std::vector<std::string>(
          many.begin() + t * static_cast<std::ptrdiff_t>(per_thread_words),
          many.begin() + (t + 1) * static_cast<std::ptrdiff_t>(per_thread_words))));
    }
    double hit_time = 1e300, miss_time = 1e300, own_time = 1e300;
    for (int r = 0; r < repetitions; ++r) {
      hit_time = std::min(hit_time, threaded_seconds(shared, hits));
      own_time = std::min(own_time, threaded_seconds(separate, hits));
      const Tokenizer fresh = make();
      miss_time = std::min(miss_time, threaded_seconds(std::vector<const Tokenizer*>(shared.size(), &fresh), misses));
    }
    const double hit_words = static_cast<double>(threads) * kHitPasses * static_cast<double>(warm_words.size());
    const double hit_rate_t = hit_words / hit_time, own_rate_t = hit_words / own_time;
    const double miss_rate_t = static_cast<double>(threads) * static_cast<double>(per_thread_words) / miss_time;
    if (threads == 1) hit_one = hit_rate_t, miss_one = miss_rate_t, own_one = own_rate_t;
    std::printf("%d threads: hit-heavy %.0f words/s (%.2fx of 1 thread; own tokenizer per thread %.2fx), "
                "miss-heavy %.0f words/s (%.2fx)\n",
                threads, hit_rate_t, hit_rate_t / hit_one, own_rate_t / own_one, miss_rate_t, miss_rate_t / miss_one);
  }
}

// A WordPiece vocabulary over the pseudo-words' syllables: every consonant,
// vowel and syllable bare and as a continuation, the 3,000 most common
// two-syllable words, punctuation and the specials.
std::vector<std::string> wordpiece_vocabulary() {
  std::vector<std::string> vocabulary = {"[UNK]", "[CLS]", "[SEP]", "-", ",", ".", "e", "u", "##e", "##u"};
  std::set<std::string> seen(vocabulary.begin(), vocabulary.end());
  const auto add = [&](const std::string& token) {
    if (seen.insert(token).second) vocabulary.push_back(token);
  };
  for (const char* c : kConsonants) {
    for (const char* v : kVowels) {
      // The accented vowels appear as their base letters (the tokenizer strips accents).
      const std::string vowel = v;
      const std::string syllable = c + (vowel == "\xC3\xA9" ? "e" : vowel == "\xC3\xBC" ? "u" : vowel);
      add(syllable), add("##" + syllable), add(c), add(std::string("##") + c);
    }
  }
  for (const char* v : {"a", "e", "i", "o", "u", "ai", "ou"}) add(v), add(std::string("##") + v);
  std::mt19937 random(3);
  for (int i = 0; i < 3000; ++i) {
    std::string word;
    for (int s = 0; s < 2; ++s) {
      word += std::string(kConsonants[random() % std::size(kConsonants)]) + kVowels[random() % 7];
    }
    add(word);
  }
  return vocabulary;
}

struct UnigramModel {
  std::vector<std::string> vocabulary;
  std::vector<float> scores;
  std::vector<std::uint8_t> charsmap;
  std::int64_t unknown = 0;

  lorvane::XLMRobertaTokenizer make() const {
    return lorvane::XLMRobertaTokenizer(vocabulary, scores, charsmap, unknown, "<s>", "</s>");
  }
};

// The unigram model that tests/reference/subword_oracles.py trains on the
// request's text lines.
UnigramModel trained_unigram(const std::string& request) {
  lorvane::bench::TempDir dir("lorvane-subword-bench");
  std::ofstream(dir / "request.txt") << request;
  lorvane::bench::run_python(lorvane::bench::default_python(),
                             {(lorvane::bench::source_dir() / "tests" / "reference" / "subword_oracles.py").string(),
                              (dir / "request.txt").string(), (dir / "model.txt").string()});
  std::ifstream in(dir / "model.txt");
  UnigramModel model;
  const auto unhex = [](const std::string& field) {
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); i += 2) {
      out += static_cast<char>(std::stoi(field.substr(i, 2), nullptr, 16));
    }
    return out;
  };
  for (std::string key; in >> key;) {
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line);
    for (std::string field; fields >> field;) {
      if (key == "vocab") model.vocabulary.push_back(unhex(field));
      if (key == "scores") model.scores.push_back(std::stof(field));
      if (key == "unknown") model.unknown = std::stoll(field);
      if (key == "charsmap") {
        const std::string bytes = unhex(field);
        model.charsmap.assign(bytes.begin(), bytes.end());
      }
    }
  }
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::size_t distinct = argc > 1 ? std::stoul(argv[1]) : 40000;
    const int repetitions = argc > 2 ? std::stoi(argv[2]) : 5;
    const std::vector<std::string> vocabulary = wordpiece_vocabulary();
    std::string settings = "wordpiece 1 1 100\nunknown " + hex_field("[UNK]") + "\ncls " + hex_field("[CLS]") +
                           "\nsep " + hex_field("[SEP]") + "\nprefix " + hex_field("##") + "\nvocab";
    for (const std::string& token : vocabulary) settings += " " + hex_field(token);
    settings += "\n";
    run_suite<lorvane::WordPieceTokenizer>(
        "WordPiece (lower-case, strip accents)",
        [&] { return lorvane::WordPieceTokenizer(vocabulary, true, true, "[UNK]", "[CLS]", "[SEP]", "##", 100); },
        settings, false, distinct, repetitions);

    // Byte-level BPE with merges learnt from the pseudo-words (each with its space).
    std::vector<std::string> pieces;
    for (const std::string& word : distinct_words(3000, 4)) pieces.push_back(" " + word);
    const lorvane::testing::BpeModel model =
        lorvane::testing::train_byte_level_bpe(pieces, 400, {"<unk>", "<s>", "</s>"});
    std::string bpe_settings = "bpe 1\nunknown " + hex_field("<unk>") + "\ncls " + hex_field("<s>") + "\nsep " +
                               hex_field("</s>") + "\nvocab";
    for (const std::string& token : model.vocabulary) bpe_settings += " " + hex_field(token);
    bpe_settings += "\n";
    for (const auto& [first, second] : model.merges) {
      bpe_settings += "merge " + hex_field(first) + " " + hex_field(second) + "\n";
    }
    const auto make_bpe = [&] {
      return lorvane::ByteBPETokenizer(model.vocabulary, model.merges, "<unk>", "<s>", "</s>", true);
    };
    run_suite<lorvane::ByteBPETokenizer>("byte-level BPE (prefix space, 400 learnt merges)", make_bpe, bpe_settings,
                                         true, distinct, repetitions);
    const lorvane::ByteBPETokenizer bpe = make_bpe();
    const auto long_word = [&](std::size_t bytes) {
      std::string word;
      while (word.size() < bytes) word += "abcdefghij";
      word.resize(bytes);
      return best_seconds(3, [&] { return bpe.tokenize(word).size(); });
    };
    const double quarter = long_word(256 * 1024), whole = long_word(1024 * 1024);
    std::printf("one-piece word: 256 KiB %.1f ms, 1 MiB %.1f ms, ratio %.2f\n", quarter * 1e3, whole * 1e3,
                whole / quarter);

    std::string spm_settings = "spm 4000\n";
    const std::vector<std::string> training = distinct_words(20000, 5);
    for (const auto& sentence : as_sentences(training)) {
      std::string text;
      for (const std::string& word : sentence) text += (text.empty() ? "" : " ") + word;
      spm_settings += "text " + hex_field(text) + "\n";
    }
    try {
      const UnigramModel unigram = trained_unigram(spm_settings);
      std::printf("(unigram model: %zu entries)\n", unigram.vocabulary.size());
      run_suite<lorvane::XLMRobertaTokenizer>("XLM-R unigram (model trained by sentencepiece, its NFKC map)",
                                              [&] { return unigram.make(); }, spm_settings, false, distinct,
                                              repetitions);
    } catch (const std::exception& e) {
      std::printf("-- XLM-R unigram: not measured: %s\n", e.what());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "subword_bench: %s\n", e.what());
    return 1;
  }
}
