#include <cmath>
#include <cstring>
#include <limits>

#include "encoders/subword/unigram_impl.hpp"
#include "encoders/unicode/unicode_lookup.hpp"
#include "encoders/unicode/unicode_tables.hpp"

namespace lorvane {
namespace detail {
namespace {

std::uint32_t unit_label(std::uint32_t unit) { return unit & 0x800000FFu; }
bool unit_has_leaf(std::uint32_t unit) { return (unit & 0x100u) != 0; }
std::uint32_t unit_offset(std::uint32_t unit) { return (unit >> 10) << ((unit & 0x200u) >> 6); }
std::uint32_t unit_value(std::uint32_t unit) { return unit & 0x7FFFFFFFu; }

}  // namespace

CharacterMap::CharacterMap(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 4) throw SubwordError("XLM-R precompiled charsmap is truncated");
  const std::uint64_t trie_bytes = static_cast<std::uint64_t>(bytes[0]) | static_cast<std::uint64_t>(bytes[1]) << 8 |
                                   static_cast<std::uint64_t>(bytes[2]) << 16 |
                                   static_cast<std::uint64_t>(bytes[3]) << 24;
  if (trie_bytes % 4 != 0 || bytes.size() - 4 < trie_bytes) {
    throw SubwordError("XLM-R precompiled charsmap has invalid trie");
  }
  units_.resize(trie_bytes / 4);
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const std::uint8_t* u = bytes.data() + 4 + 4 * i;
    units_[i] = static_cast<std::uint32_t>(u[0]) | static_cast<std::uint32_t>(u[1]) << 8 |
                static_cast<std::uint32_t>(u[2]) << 16 | static_cast<std::uint32_t>(u[3]) << 24;
  }
  blob_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(4 + trie_bytes), bytes.end());
}

std::optional<CharacterMap::Match> CharacterMap::longest_prefix(std::string_view text) const {
  if (units_.empty()) return std::nullopt;
  std::optional<Match> longest;
  std::size_t pos = unit_offset(units_[0]);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0) break;
    pos ^= byte;
    if (pos >= units_.size()) break;
    const std::uint32_t unit = units_[pos];
    if (unit_label(unit) != byte) break;
    pos ^= unit_offset(unit);
    // A key ending inside a code point would leave a broken one behind.
    const bool at_boundary = i + 1 == text.size() || (static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80;
    if (unit_has_leaf(unit) && at_boundary) {
      if (const std::optional<std::string_view> replacement = value_at(pos)) longest = Match{i + 1, *replacement};
    }
  }
  return longest;
}

std::optional<std::string_view> CharacterMap::value_at(std::size_t pos) const {
  if (pos >= units_.size()) return std::nullopt;
  const std::size_t value = unit_value(units_[pos]);
  if (value >= blob_.size()) return std::nullopt;
  const std::string_view rest = std::string_view(blob_).substr(value);
  return rest.substr(0, rest.find('\0'));  // to the next NUL, or to the blob's end
}

}  // namespace detail

namespace {

using detail::CodePointSpan;

const XLMRobertaTokenizer::Impl& loaded(const std::unique_ptr<XLMRobertaTokenizer::Impl>& impl) {
  return detail::loaded_tokenizer(impl, "XLM-R");
}

std::int64_t required_id(const detail::TokenIdMap& ids, const std::string& token) {
  const std::int64_t* id = detail::find_token(ids, token);
  if (id == nullptr) throw SubwordError("XLM-R vocabulary is missing token: " + token);
  return *id;
}

bool is_whitespace(char32_t c) { return detail::in_ranges(detail::kWhitespaceRanges, c); }
constexpr std::string_view kWordStart = "\xE2\x96\x81";  // U+2581

}  // namespace

std::string XLMRobertaTokenizer::Impl::normalize(std::string_view word) const {
  const std::vector<CodePointSpan> spans = detail::decode_utf8_spans(word.data(), word.size());
  std::string out;
  out.reserve(word.size());
  for (std::size_t i = 0; i < spans.size();) {
    const std::size_t begin = spans[i].begin;
    if (const auto match = character_map.longest_prefix(word.substr(begin))) {
      out.append(match->replacement);
      const std::size_t end = begin + match->length;
      while (i < spans.size() && spans[i].begin < end) ++i;
    } else {
      out.append(word.substr(begin, spans[i].end - begin));
      ++i;
    }
  }
  return out;
}

std::vector<std::int64_t> XLMRobertaTokenizer::Impl::segment(std::string_view run) const {
  const std::vector<CodePointSpan> spans = detail::decode_utf8_spans(run.data(), run.size());
  const std::size_t n = spans.size();
  const auto offset = [&](std::size_t p) { return p == 0 ? std::uint64_t{0} : spans[p - 1].end; };
  std::vector<float> best(n + 1, -std::numeric_limits<float>::infinity());
  std::vector<std::size_t> back(n + 1, 0);
  std::vector<std::int64_t> piece(n + 1, unknown_id);
  best[0] = 0.0f;
  const auto offer = [&](std::size_t s, std::size_t e, std::int64_t id) {
    const float candidate = best[s] + scores[static_cast<std::size_t>(id)];
    if (candidate > best[e]) best[e] = candidate, back[e] = s, piece[e] = id;  // ties keep the earlier start
  };
  for (std::size_t s = 0; s < n; ++s) {
    if (!std::isfinite(best[s])) continue;
    // Every entry that starts at s, shortest first; the walk stops where no
    // entry continues (so never past the longest entry).
    bool entry_begins = false;
    std::uint32_t node = detail::PrefixTrie::root();
    for (std::size_t e = s + 1; e <= n && node != detail::PrefixTrie::kNoNode; ++e) {
      for (std::uint64_t b = offset(e - 1); b < offset(e) && node != detail::PrefixTrie::kNoNode; ++b) {
        node = entries.child(node, static_cast<unsigned char>(run[b]));
      }
      if (node == detail::PrefixTrie::kNoNode) break;
      if (const std::int64_t* id = entries.id(node)) {
        entry_begins = true;
        offer(s, e, *id);
      }
    }
    if (!entry_begins) offer(s, s + 1, unknown_id);  // one unknown id per uncovered code point
  }
  if (!std::isfinite(best[n])) return {unknown_id};
  std::vector<std::int64_t> ids;
  for (std::size_t p = n; p > 0; p = back[p]) ids.push_back(piece[p]);
  return {ids.rbegin(), ids.rend()};
}

std::vector<std::int64_t> XLMRobertaTokenizer::Impl::tokenize(std::string_view word) const {
  return cache.ids_of(word, [this](std::string_view w) {
    const std::string normalized = normalize(w);
    const std::vector<CodePointSpan> spans = detail::decode_utf8_spans(normalized.data(), normalized.size());
    std::vector<std::int64_t> ids;
    std::string run;
    for (std::size_t i = 0; i < spans.size();) {
      if (is_whitespace(spans[i].code_point)) {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < spans.size() && !is_whitespace(spans[j].code_point)) ++j;
      run.assign(kWordStart);
      run.append(normalized, spans[i].begin, spans[j - 1].end - spans[i].begin);
      const std::vector<std::int64_t> run_ids = segment(run);
      ids.insert(ids.end(), run_ids.begin(), run_ids.end());
      i = j;
    }
    return ids;
  });
}

XLMRobertaTokenizer::XLMRobertaTokenizer(std::vector<std::string> vocabulary, std::vector<float> scores,
                                         std::vector<std::uint8_t> precompiled_charsmap, std::int64_t unknown_id,
                                         std::string cls_token, std::string sep_token) {
  if (vocabulary.empty() || vocabulary.size() != scores.size()) {
    throw SubwordError("XLM-R vocabulary and score arrays must be nonempty and equal");
  }
  if (unknown_id < 0 || static_cast<std::uint64_t>(unknown_id) >= vocabulary.size()) {
    throw SubwordError("XLM-R unknown id is out of range");
  }
  auto impl = std::make_unique<Impl>();
  detail::TokenIdMap token_ids;
  token_ids.reserve(vocabulary.size());
  for (std::size_t i = 0; i < vocabulary.size(); ++i) {
    token_ids.try_emplace(vocabulary[i], static_cast<std::int64_t>(i));  // the first index stays
  }
  impl->cls_id = required_id(token_ids, cls_token);
  impl->sep_id = required_id(token_ids, sep_token);
  impl->entries = detail::PrefixTrie(token_ids);
  impl->character_map = detail::CharacterMap(precompiled_charsmap);
  impl->vocabulary = std::move(vocabulary);
  impl->scores = std::move(scores);
  impl->unknown_id = unknown_id;
  impl_ = std::move(impl);
}

XLMRobertaTokenizer::XLMRobertaTokenizer(XLMRobertaTokenizer&& other) noexcept = default;
XLMRobertaTokenizer& XLMRobertaTokenizer::operator=(XLMRobertaTokenizer&& other) noexcept = default;
XLMRobertaTokenizer::~XLMRobertaTokenizer() = default;

std::vector<std::int64_t> XLMRobertaTokenizer::tokenize(const std::string& text) const {
  return loaded(impl_).tokenize(text);
}

WordPieceEncoding XLMRobertaTokenizer::encode(const std::vector<std::string>& words,
                                              bool add_special_tokens) const {
  const Impl& impl = loaded(impl_);
  return detail::encode_words(words, add_special_tokens, impl.cls_id, impl.sep_id,
                              [&impl](const std::string& word) { return impl.tokenize(word); });
}

std::uint64_t XLMRobertaTokenizer::vocabulary_size() const { return loaded(impl_).vocabulary.size(); }
std::uint64_t XLMRobertaTokenizer::cache_size() const { return loaded(impl_).cache.size(); }
std::int64_t XLMRobertaTokenizer::unknown_id() const { return loaded(impl_).unknown_id; }
std::int64_t XLMRobertaTokenizer::cls_id() const { return loaded(impl_).cls_id; }
std::int64_t XLMRobertaTokenizer::sep_id() const { return loaded(impl_).sep_id; }
const XLMRobertaTokenizer::Impl& XLMRobertaTokenizer::impl() const { return loaded(impl_); }

}  // namespace lorvane
