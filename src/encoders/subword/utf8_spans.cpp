#include "encoders/subword/utf8_spans.hpp"

#include <string_view>

#include "document/utf8_decode.hpp"
#include "encoders/subword/subword_common.hpp"
#include "lorvane/errors.hpp"

namespace lorvane::detail {

std::vector<CodePointSpan> decode_utf8_spans(const char* data, std::size_t size) {
  std::vector<CodePointSpan> spans;
  spans.reserve(size);
  const std::string_view text(data, size);
  if (is_ascii(text)) {
    for (std::size_t i = 0; i < size; ++i) {
      spans.push_back({static_cast<unsigned char>(data[i]), i, i + 1});
    }
    return spans;
  }
  decode_utf8_or_throw<SubwordError>(text, [&](char32_t c, std::size_t begin, std::size_t length) {
    spans.push_back({c, begin, begin + length});
  });
  return spans;
}

}  // namespace lorvane::detail
