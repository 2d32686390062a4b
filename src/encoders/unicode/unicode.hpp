#pragma once

// Case tests, case mappings and normalisation of UTF-8 strings.
//
// The case functions read only the compiled-in tables of unicode_tables.hpp
// (Unicode 15.1), so their answers never depend on the ICU build or the
// locale of the machine. Only unicode_nfkc_casefold_nfc calls ICU.
//
// Every function here is pure over constant data and may be called from any
// number of threads at once. Ill-formed UTF-8 raises std::invalid_argument
// "invalid UTF-8 sequence at byte offset N" before any result is produced.

#include <string>
#include <string_view>
#include <vector>

#include "document/utf8_decode.hpp"  // append_utf8(code_point, out)

namespace lorvane::detail {

// The code points of text (strictly decoded; see document/utf8_decode.hpp).
std::vector<char32_t> decode_utf8(std::string_view text);

// True when text holds at least one cased code point and all of its cased
// code points are uppercase (lowercase). Uncased code points are ignored; a
// titlecase letter such as U+01C5 is cased but neither, so it makes both false.
bool unicode_is_upper(std::string_view text);
bool unicode_is_lower(std::string_view text);

// Full unconditional case mappings, code point by code point: no final-sigma,
// no language-specific rule. Unmapped code points are copied unchanged.
std::string unicode_upper(std::string_view text);
std::string unicode_lower(std::string_view text);

// ICU NFKC, then default full case folding, then NFC. Ill-formed input is not
// rejected here; it is converted the way ICU's UTF-8 conversion converts it.
// Throws std::runtime_error when ICU reports a failure.
std::string unicode_nfkc_casefold_nfc(std::string_view text);

// General_Category Nd as of Unicode 15.0 (the tokenizer's "numeric" feature,
// fixed to that version on purpose).
bool is_decimal_digit_15_0(char32_t code_point);

}  // namespace lorvane::detail
