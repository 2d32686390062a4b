#pragma once

// The one strict UTF-8 decoder of the library. Every component that reads
// UTF-8 (document text, tokenizer units, Unicode helpers, lexicon entries)
// decodes through decode_code_point and reports malformed input with
// utf8_error_message, each throwing its own exception type.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane::detail {

// Returned by decode_code_point when the sequence is well formed.
inline constexpr std::size_t kUtf8Valid = static_cast<std::size_t>(-1);

// Decodes the sequence that starts at data[pos] (pos < size). On success
// stores the scalar value and the sequence length and returns kUtf8Valid;
// otherwise returns the byte offset to report:
//   - the lead byte for a bad lead byte, a truncated sequence, an overlong
//     form, a surrogate or a value above U+10FFFF;
//   - the offending byte for a bad continuation byte.
// Checks run in that order: truncation before continuation bytes, continuation
// bytes before the range checks.
inline std::size_t decode_code_point(const unsigned char* data, std::size_t size,
                                     std::size_t pos, char32_t& code_point,
                                     std::size_t& length) noexcept {
  const unsigned char lead = data[pos];
  if (lead < 0x80) {
    code_point = lead;
    length = 1;
    return kUtf8Valid;
  }
  std::size_t len;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    len = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return pos;
  }
  if (len > size - pos) return pos;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char byte = data[pos + k];
    if ((byte & 0xC0) != 0x80) return pos + k;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value > 0x10FFFF || value < minimum || (value >= 0xD800 && value <= 0xDFFF)) return pos;
  code_point = value;
  length = len;
  return kUtf8Valid;
}

// "invalid UTF-8 sequence at byte offset N"
std::string utf8_error_message(std::size_t offset);

// Calls visit(code_point, byte_offset, byte_length) for every code point of
// text. Returns kUtf8Valid, or the offset of the first malformed sequence
// (nothing after it is visited).
template <class Visit>
std::size_t for_each_code_point(std::string_view text, Visit&& visit) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    char32_t cp = 0;  // initialised: GCC cannot see that an error skips the uses
    std::size_t len = 0;
    const std::size_t error = decode_code_point(data, size, pos, cp, len);
    if (error != kUtf8Valid) return error;
    visit(cp, pos, len);
    pos += len;
  }
  return kUtf8Valid;
}

// Decodes text, throwing Error(utf8_error_message(offset)) on malformed input.
template <class Error, class Visit>
void decode_utf8_or_throw(std::string_view text, Visit&& visit) {
  const std::size_t error = for_each_code_point(text, visit);
  if (error != kUtf8Valid) throw Error(utf8_error_message(error));
}

// Appends the UTF-8 form of a Unicode scalar value (not validated).
inline void append_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace lorvane::detail
