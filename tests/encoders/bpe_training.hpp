#pragma once

// A small byte-level BPE trainer for test and benchmark vocabularies: merges
// are learnt by pair frequency, so every merge's parts exist before it (as in
// vocabularies met in practice). Written from the byte-level convention, not
// from the library's code; needs no test framework.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace lorvane::testing {

// The UTF-8 spelling of byte b in a byte-level vocabulary: the byte's own
// character when printable (0x21..0x7E, 0xA1..0xAC, 0xAE..0xFF), else the next
// of U+0100, U+0101, ... in increasing byte order.
inline std::string spelled_byte(unsigned char b) {
  unsigned code_point = b;
  if (!((b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE)) {
    static const std::string unprintable = [] {
      std::string bytes;
      for (unsigned c = 0; c < 256; ++c) {
        if (!((c >= 0x21 && c <= 0x7E) || (c >= 0xA1 && c <= 0xAC) || c >= 0xAE)) bytes += static_cast<char>(c);
      }
      return bytes;
    }();
    code_point = 256 + static_cast<unsigned>(unprintable.find(static_cast<char>(b)));
  }
  std::string out;
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

struct BpeModel {
  std::vector<std::string> vocabulary;  // specials, the 256 byte spellings, then merged entries
  std::vector<std::pair<std::string, std::string>> merges;
};

// Learns up to merge_count merges from the pieces (byte strings, as the
// pre-tokenizer would cut them): each round merges the most frequent adjacent
// pair (ties: the smallest pair) everywhere, left to right.
inline BpeModel train_byte_level_bpe(const std::vector<std::string>& pieces, std::size_t merge_count,
                                     const std::vector<std::string>& specials) {
  BpeModel model;
  model.vocabulary = specials;
  for (unsigned b = 0; b < 256; ++b) model.vocabulary.push_back(spelled_byte(static_cast<unsigned char>(b)));
  std::set<std::string> known(model.vocabulary.begin(), model.vocabulary.end());
  std::map<std::vector<std::string>, std::size_t> words;
  for (const std::string& piece : pieces) {
    std::vector<std::string> symbols;
    for (const char c : piece) symbols.push_back(spelled_byte(static_cast<unsigned char>(c)));
    ++words[symbols];
  }
  std::vector<std::pair<std::vector<std::string>, std::size_t>> corpus(words.begin(), words.end());
  for (std::size_t round = 0; round < merge_count; ++round) {
    std::map<std::pair<std::string, std::string>, std::size_t> counts;
    for (const auto& [symbols, count] : corpus) {
      for (std::size_t k = 0; k + 1 < symbols.size(); ++k) counts[{symbols[k], symbols[k + 1]}] += count;
    }
    if (counts.empty()) break;
    auto best = counts.begin();
    for (auto it = counts.begin(); it != counts.end(); ++it) {
      if (it->second > best->second) best = it;
    }
    const auto [first, second] = best->first;
    model.merges.emplace_back(first, second);
    if (known.insert(first + second).second) model.vocabulary.push_back(first + second);
    for (auto& [symbols, count] : corpus) {
      std::vector<std::string> merged;
      for (std::size_t k = 0; k < symbols.size(); ++k) {
        if (k + 1 < symbols.size() && symbols[k] == first && symbols[k + 1] == second) {
          merged.push_back(first + second);
          ++k;
        } else {
          merged.push_back(symbols[k]);
        }
      }
      symbols = std::move(merged);
    }
  }
  return model;
}

}  // namespace lorvane::testing
