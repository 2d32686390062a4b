#include "encoders/unicode/unicode.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "encoders/unicode/unicode_lookup.hpp"
#include "encoders/unicode/unicode_tables.hpp"

namespace lorvane::detail {
namespace {

// Shared by the two case tests: every cased code point must belong to
// `wanted`, and at least one must be present. The whole text is validated
// even once the answer is known, so ill-formed text never yields an answer.
bool all_cased_in(std::string_view text, std::span<const CodePointRange> wanted) {
  bool seen_cased = false;
  bool spoiled = false;
  decode_utf8_or_throw<std::invalid_argument>(text, [&](char32_t c, std::size_t, std::size_t) {
    if (spoiled || !in_ranges(kCasedRanges, c)) return;
    if (in_ranges(wanted, c)) {
      seen_cased = true;
    } else {
      spoiled = true;
    }
  });
  return seen_cased && !spoiled;
}

// The ASCII rows of the case maps, so that the common case skips the binary
// search. The tables agree (checked by the tests over every code point).
char32_t ascii_lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
char32_t ascii_upper(char32_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

void append_mapping(char32_t c, std::span<const CaseMapping> pairs,
                    std::span<const SpecialCaseMapping> specials, std::string& out) {
  if (const CaseMapping* pair = find_entry(pairs, c)) {
    append_utf8(pair->mapped, out);
  } else if (const SpecialCaseMapping* special = find_entry(specials, c)) {
    for (std::uint32_t k = 0; k < special->length; ++k) append_utf8(special->mapped[k], out);
  } else {
    append_utf8(c, out);
  }
}

// Maps code point by code point in one validating pass; on ill-formed input
// the partial output is discarded by the exception.
std::string map_case(std::string_view text, char32_t (*ascii)(char32_t),
                     std::span<const CaseMapping> pairs, std::span<const SpecialCaseMapping> specials) {
  std::string out;
  out.reserve(text.size());
  decode_utf8_or_throw<std::invalid_argument>(text, [&](char32_t c, std::size_t, std::size_t) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(ascii(c)));
    } else {
      append_mapping(c, pairs, specials, out);
    }
  });
  return out;
}

[[noreturn]] void throw_icu_failure(const char* what, UErrorCode status) {
  throw std::runtime_error(std::string(what) + u_errorName(status));
}

// Appends UTF-8 bytes to a std::string without ICU's intermediate buffers.
class StringAppendSink final : public icu::ByteSink {
 public:
  explicit StringAppendSink(std::string& out) : out_(out) {}
  void Append(const char* bytes, int32_t n) override { out_.append(bytes, static_cast<std::size_t>(n)); }

 private:
  std::string& out_;
};

}  // namespace

std::vector<char32_t> decode_utf8(std::string_view text) {
  std::vector<char32_t> code_points;
  code_points.reserve(text.size());
  decode_utf8_or_throw<std::invalid_argument>(
      text, [&](char32_t c, std::size_t, std::size_t) { code_points.push_back(c); });
  return code_points;
}

bool unicode_is_upper(std::string_view text) { return all_cased_in(text, kUppercaseRanges); }

bool unicode_is_lower(std::string_view text) { return all_cased_in(text, kLowercaseRanges); }

std::string unicode_upper(std::string_view text) {
  return map_case(text, ascii_upper, kUppercasePairs, kUppercaseSpecials);
}

std::string unicode_lower(std::string_view text) {
  return map_case(text, ascii_lower, kLowercasePairs, kLowercaseSpecials);
}

std::string unicode_nfkc_casefold_nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  if (U_FAILURE(status) || nfkc == nullptr) {
    throw_icu_failure("ICU could not initialize the NFKC normalizer: ", status);
  }
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) {
    throw_icu_failure("ICU could not initialize the NFC normalizer: ", status);
  }
  // ICU measures strings in int32_t; a longer view would be silently cut
  // short (or read with a negative length) by the conversion below.
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("text is too long for ICU normalization");
  }
  const icu::UnicodeString input = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::UnicodeString compatible = nfkc->normalize(input, status);
  if (U_FAILURE(status)) throw_icu_failure("ICU NFKC normalization failed: ", status);
  compatible.foldCase();
  const icu::UnicodeString composed = nfc->normalize(compatible, status);
  if (U_FAILURE(status)) throw_icu_failure("ICU NFC normalization failed: ", status);

  std::string out;
  out.reserve(static_cast<std::size_t>(composed.length()));
  StringAppendSink sink(out);
  composed.toUTF8(sink);
  return out;
}

bool is_decimal_digit_15_0(char32_t code_point) {
  return in_ranges(kDecimalDigitRanges15_0, code_point);
}

}  // namespace lorvane::detail
