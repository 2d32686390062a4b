// Throughput of unicode_lower / unicode_upper on mixed-script text, as a ratio
// against ICU's UTF-8 case mapping (ucasemap_utf8ToLower / ToUpper with the
// root locale) on the same text in the same run. Also counts the heap
// allocations of one call: the output string reserved at the input's size,
// plus one regrowth when the mapping lengthens the text.
//
//   unicode_bench [megabytes=4] [repetitions=7]

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoders/unicode/unicode.hpp"
#include "support/bench_support.hpp"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using lorvane::bench::best_seconds;

// Running text in several scripts, with digits, punctuation and a few
// characters whose case mapping changes the byte length.
std::string mixed_script_text(std::size_t bytes) {
  const std::vector<std::string> sentences = {
      "The Quick Brown Fox Jumps Over The Lazy Dog, 42 times in 2023. ",
      "Größere Straßen führen über die ÖSTLICHEN Brücken nach Köln. ",
      "Ο ΣΚΎΛΟΣ τρέχει στην παραλία και ΠΊΝΕΙ νερό. ",
      "Москва — СТОЛИЦА России, а Київ — столиця України. ",
      "Ça SE PASSE à l'ÉCOLE où les élèves APPRENNENT. ",
      "東京都の人口は約1400万人です。北京は中国の首都です。 ",
      "القاهرة هي عاصمة مصر وأكبر مدنها. ",
      "İSTANBUL ve IĞDIR şehirleri Türkiye'dedir. ",
      "ՀԱՅԱՍՏԱՆԻ մայրաքաղաքը Երևանն է. ",
      "𐐀𐐁𐐂 Deseret and 𞤀𞤁 Adlam letters, ﬁne ﬀ ligatures. ",
  };
  std::string text;
  text.reserve(bytes + 256);
  for (std::size_t i = 0; text.size() < bytes; ++i) text += sentences[i % sentences.size()];
  return text;
}

using IcuCaseFunction = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

std::string icu_case_map(const UCaseMap* map, IcuCaseFunction function, const std::string& text) {
  std::string out(text.size() + text.size() / 2, '\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = function(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                  static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU case mapping failed: ") + u_errorName(status));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

void compare(const char* name, const std::string& text, int repetitions,
             std::string (*ours)(std::string_view), const UCaseMap* map, IcuCaseFunction icu) {
  std::size_t sink = 0;
  const double ours_s = best_seconds(repetitions, [&] { sink += ours(text).size(); });
  const double icu_s = best_seconds(repetitions, [&] { sink += icu_case_map(map, icu, text).size(); });

  const long before = g_allocations.load();
  sink += ours(text).size();
  const long allocations = g_allocations.load() - before;

  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("%-14s ours %8.1f MB/s   ICU ucasemap %8.1f MB/s   ratio ours/ICU %.2f   allocations/call %ld\n",
              name, mb / ours_s, mb / icu_s, icu_s / ours_s, allocations);
  if (sink == 0) std::puts("");  // keeps the results observable
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 7;
  const std::string text = mixed_script_text(megabytes * 1000 * 1000);

  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  if (U_FAILURE(status)) {
    std::fprintf(stderr, "ucasemap_open failed: %s\n", u_errorName(status));
    return 1;
  }
  std::printf("mixed-script text: %zu bytes, %zu code points, best of %d runs\n", text.size(),
              lorvane::detail::decode_utf8(text).size(), repetitions);
  compare("unicode_lower", text, repetitions, lorvane::detail::unicode_lower, map, ucasemap_utf8ToLower);
  compare("unicode_upper", text, repetitions, lorvane::detail::unicode_upper, map, ucasemap_utf8ToUpper);
  ucasemap_close(map);
  return 0;
}
