#include <queue>

#include "document/utf8_decode.hpp"

#include "encoders/subword/bpe_impl.hpp"
#include "encoders/unicode/unicode_lookup.hpp"
#include "encoders/unicode/unicode_tables.hpp"

namespace lorvane {
namespace detail {

char32_t byte_level_character(unsigned char b) {
  const auto printable = [](unsigned c) { return (c >= 0x21 && c <= 0x7E) || (c >= 0xA1 && c <= 0xAC) || c >= 0xAE; };
  if (printable(b)) return b;
  char32_t next = 256;
  for (unsigned c = 0; c < b; ++c) {
    if (!printable(c)) ++next;
  }
  return next;
}

}  // namespace detail

namespace {

using detail::CodePointSpan;

const ByteBPETokenizer::Impl& loaded(const std::unique_ptr<ByteBPETokenizer::Impl>& impl) {
  return detail::loaded_tokenizer(impl, "byte-level BPE");
}

std::int64_t required_id(const detail::TokenIdMap& ids, const std::string& token) {
  const std::int64_t* id = detail::find_token(ids, token);
  if (id == nullptr) throw SubwordError("byte-level BPE vocabulary is missing token: " + token);
  return *id;
}

// Pre-tokenization classes: letters and marks, numbers, whitespace, the rest.
enum class CharClass : std::uint8_t { kLetter = 1, kNumber, kSpace, kOther };

CharClass class_from_tables(char32_t c) {
  if (detail::in_ranges(detail::kLetterRanges, c) || detail::in_ranges(detail::kMarkRanges, c)) {
    return CharClass::kLetter;
  }
  if (detail::in_ranges(detail::kNumberRanges, c)) return CharClass::kNumber;
  if (detail::in_ranges(detail::kWhitespaceRanges, c)) return CharClass::kSpace;
  return CharClass::kOther;
}

CharClass char_class(char32_t c) {
  static const std::array<CharClass, 128> ascii = [] {
    std::array<CharClass, 128> table{};
    for (char32_t a = 0; a < 128; ++a) table[a] = class_from_tables(a);
    return table;
  }();
  return c < 128 ? ascii[c] : class_from_tables(c);
}

// When code point i (a quote) starts a contraction, the index of the code
// point that ends it; otherwise 0.
std::size_t contraction_end(std::string_view text, const std::vector<CodePointSpan>& spans, std::size_t i) {
  static const std::string_view kSuffixes[] = {"s", "t", "re", "ve", "m", "ll", "d"};
  const std::string_view after = text.substr(spans[i].end);
  for (const std::string_view suffix : kSuffixes) {
    if (!after.starts_with(suffix)) continue;
    const std::uint64_t end = spans[i].end + suffix.size();
    std::size_t k = i + 1;
    while (k < spans.size() && spans[k].end < end) ++k;
    if (k < spans.size() && spans[k].end == end) return k;
  }
  return 0;
}

// A merge candidate: the pair starting at symbol `left`, as it was when queued.
struct Candidate {
  std::uint32_t rank;
  std::size_t left;
  std::int64_t first, second, merged;
};

// Orders the queue lowest rank first, then leftmost first.
struct LaterCandidate {
  bool operator()(const Candidate& a, const Candidate& b) const {
    return a.rank != b.rank ? a.rank > b.rank : a.left > b.left;
  }
};

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> ByteBPETokenizer::Impl::pretokenize(
    std::string_view text, const std::vector<CodePointSpan>& spans) {
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  const std::size_t n = spans.size();
  std::size_t i = 0;
  while (i < n) {
    if (spans[i].code_point == '\'' && i + 1 < n) {
      if (const std::size_t last = contraction_end(text, spans, i)) {
        pieces.emplace_back(spans[i].begin, spans[last].end);
        i = last + 1;
        continue;
      }
    }
    CharClass run;
    std::size_t j;
    if (spans[i].code_point == ' ' && i + 1 < n && char_class(spans[i + 1].code_point) != CharClass::kSpace) {
      run = char_class(spans[i + 1].code_point);  // the space joins the next piece
      j = i + 2;
    } else {
      run = char_class(spans[i].code_point);
      j = i + 1;
    }
    while (j < n && char_class(spans[j].code_point) == run) ++j;
    pieces.emplace_back(spans[i].begin, spans[j - 1].end);
    i = j;
  }
  return pieces;
}

// Equivalent to repeatedly choosing the lowest-ranked adjacent pair and
// rewriting all its non-overlapping occurrences left to right, in
// O(n log n): symbols form a linked list, candidates wait in a queue ordered
// by (rank, position). All candidates of one rank are taken as one pass, and
// the pairs that the pass creates are queued only after it, as the rescan
// would see them. A merged id never equals either of its parts (its entry is
// longer), so a pass never creates another occurrence of its own pair.
std::vector<std::int64_t> ByteBPETokenizer::Impl::merge(std::string_view piece) const {
  const std::size_t n = piece.size();
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = byte_ids[static_cast<unsigned char>(piece[i])];
  if (n < 2) return ids;
  std::vector<std::size_t> next(n), prev(n);
  std::vector<bool> alive(n, true);
  for (std::size_t i = 0; i < n; ++i) {
    next[i] = i + 1 < n ? i + 1 : kNone;
    prev[i] = i > 0 ? i - 1 : kNone;
  }
  std::priority_queue<Candidate, std::vector<Candidate>, LaterCandidate> queue;
  const auto enqueue = [&](std::size_t left) {
    if (left == kNone || next[left] == kNone) return;
    const auto rule = merge_ranks.find(detail::pair_key(ids[left], ids[next[left]]));
    if (rule != merge_ranks.end()) {
      queue.push({rule->second.rank, left, ids[left], ids[next[left]], rule->second.id});
    }
  };
  for (std::size_t i = 0; i + 1 < n; ++i) enqueue(i);

  std::vector<std::size_t> merged_at;
  while (!queue.empty()) {
    const std::uint32_t rank = queue.top().rank;
    merged_at.clear();
    while (!queue.empty() && queue.top().rank == rank) {
      const Candidate c = queue.top();
      queue.pop();
      const std::size_t right = alive[c.left] ? next[c.left] : kNone;
      if (right == kNone || ids[c.left] != c.first || ids[right] != c.second) continue;  // stale
      ids[c.left] = c.merged;
      alive[right] = false;
      next[c.left] = next[right];
      if (next[right] != kNone) prev[next[right]] = c.left;
      merged_at.push_back(c.left);
    }
    for (const std::size_t at : merged_at) {
      if (!alive[at]) continue;
      enqueue(prev[at]);
      enqueue(at);
    }
  }
  std::vector<std::int64_t> out;
  for (std::size_t i = 0; i != kNone; i = next[i]) out.push_back(ids[i]);
  return out;
}

std::vector<std::int64_t> ByteBPETokenizer::Impl::uncached(std::string_view word) const {
  std::vector<CodePointSpan> spans = detail::decode_utf8_spans(word.data(), word.size());
  std::string prefixed;
  std::string_view text = word;
  if (add_prefix_space && !spans.empty() && char_class(spans[0].code_point) != CharClass::kSpace) {
    prefixed.reserve(word.size() + 1);
    prefixed.append(" ").append(word);
    text = prefixed;
    for (CodePointSpan& span : spans) ++span.begin, ++span.end;
    spans.insert(spans.begin(), CodePointSpan{' ', 0, 1});
  }
  std::vector<std::int64_t> ids;
  for (const auto& [begin, end] : pretokenize(text, spans)) {
    const std::vector<std::int64_t> piece = merge(text.substr(begin, end - begin));
    ids.insert(ids.end(), piece.begin(), piece.end());
  }
  if (ids.empty() && !word.empty()) ids.push_back(unknown_id);
  return ids;
}

std::vector<std::int64_t> ByteBPETokenizer::Impl::tokenize(std::string_view word) const {
  return cache.ids_of(word, [this](std::string_view w) { return uncached(w); });
}

ByteBPETokenizer::ByteBPETokenizer(std::vector<std::string> vocabulary,
                                   std::vector<std::pair<std::string, std::string>> merges,
                                   std::string unknown_token, std::string cls_token, std::string sep_token,
                                   bool add_prefix_space) {
  if (vocabulary.empty()) throw SubwordError("byte-level BPE vocabulary cannot be empty");
  auto impl = std::make_unique<Impl>();
  impl->token_ids.reserve(vocabulary.size());
  for (std::size_t i = 0; i < vocabulary.size(); ++i) {
    if (!impl->token_ids.try_emplace(std::move(vocabulary[i]), static_cast<std::int64_t>(i)).second) {
      throw SubwordError("byte-level BPE vocabulary contains a duplicate token");
    }
  }
  impl->vocabulary_size = vocabulary.size();
  impl->unknown_id = required_id(impl->token_ids, unknown_token);
  impl->cls_id = required_id(impl->token_ids, cls_token);
  impl->sep_id = required_id(impl->token_ids, sep_token);
  for (unsigned b = 0; b < 256; ++b) {
    std::string spelled;
    detail::append_utf8(detail::byte_level_character(static_cast<unsigned char>(b)), spelled);
    impl->byte_ids[b] = required_id(impl->token_ids, spelled);
  }
  impl->merge_ranks.reserve(merges.size());
  for (std::size_t r = 0; r < merges.size(); ++r) {
    const auto& [first, second] = merges[r];
    const std::int64_t first_id = required_id(impl->token_ids, first);
    const std::int64_t second_id = required_id(impl->token_ids, second);
    const std::int64_t merged_id = required_id(impl->token_ids, first + second);
    // A repeated pair keeps its first (lowest) rank.
    impl->merge_ranks.try_emplace(detail::pair_key(first_id, second_id),
                                  detail::MergeRule{static_cast<std::uint32_t>(r), merged_id});
  }
  impl->add_prefix_space = add_prefix_space;
  impl_ = std::move(impl);
}

ByteBPETokenizer::ByteBPETokenizer(ByteBPETokenizer&& other) noexcept = default;
ByteBPETokenizer& ByteBPETokenizer::operator=(ByteBPETokenizer&& other) noexcept = default;
ByteBPETokenizer::~ByteBPETokenizer() = default;

std::vector<std::int64_t> ByteBPETokenizer::tokenize(const std::string& text) const {
  return loaded(impl_).tokenize(text);
}

WordPieceEncoding ByteBPETokenizer::encode(const std::vector<std::string>& words, bool add_special_tokens) const {
  const Impl& impl = loaded(impl_);
  return detail::encode_words(words, add_special_tokens, impl.cls_id, impl.sep_id,
                              [&impl](const std::string& word) { return impl.tokenize(word); });
}

std::uint64_t ByteBPETokenizer::vocabulary_size() const { return loaded(impl_).vocabulary_size; }
std::uint64_t ByteBPETokenizer::cache_size() const { return loaded(impl_).cache.size(); }
std::int64_t ByteBPETokenizer::unknown_id() const { return loaded(impl_).unknown_id; }
std::int64_t ByteBPETokenizer::cls_id() const { return loaded(impl_).cls_id; }
std::int64_t ByteBPETokenizer::sep_id() const { return loaded(impl_).sep_id; }
const ByteBPETokenizer::Impl& ByteBPETokenizer::impl() const { return loaded(impl_); }

}  // namespace lorvane
