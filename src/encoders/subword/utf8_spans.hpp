#pragma once

// Strict UTF-8 decoding into code points with their byte spans, for the
// byte-level BPE and unigram tokenizers (errors are SubwordError).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvane::detail {

struct CodePointSpan {
  char32_t code_point;
  std::uint64_t begin;  // byte offset of the first byte
  std::uint64_t end;    // byte offset one past the last byte
};

// The code points of bytes [data, data + size). All-ASCII input takes a
// shortcut. Ill-formed input throws SubwordError "invalid UTF-8 sequence at
// byte offset N" (the offsets of the library's strict decoder).
std::vector<CodePointSpan> decode_utf8_spans(const char* data, std::size_t size);

}  // namespace lorvane::detail
