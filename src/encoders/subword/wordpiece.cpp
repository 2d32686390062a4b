#include <algorithm>
#include <utility>

#include "encoders/subword/wordpiece_impl.hpp"
#include "encoders/subword/wordpiece_normalize.hpp"

namespace lorvane {
namespace {

using detail::WordPieces;

const WordPieceTokenizer::Impl& loaded(const std::unique_ptr<WordPieceTokenizer::Impl>& impl) {
  return detail::loaded_tokenizer(impl, "WordPiece");
}

std::int64_t required_token_id(const detail::TokenIdMap& vocabulary, const std::string& token) {
  const std::int64_t* id = detail::find_token(vocabulary, token);
  if (id == nullptr) throw WordPieceError("WordPiece vocabulary is missing required token: " + token);
  return *id;
}

// The largest end in (start, piece_end] whose candidate can still fit in the
// longest vocabulary entry; longer candidates cannot match, so skipping them
// changes no result and keeps long pieces from costing cubic time.
std::size_t longest_possible_end(const WordPieces& pieces, std::size_t start, std::size_t piece_end,
                                 std::size_t prefix_bytes, std::size_t max_token_bytes) {
  if (prefix_bytes >= max_token_bytes) return start;
  const std::size_t limit = pieces.starts[start] + (max_token_bytes - prefix_bytes);
  const auto first = pieces.starts.begin() + static_cast<std::ptrdiff_t>(start + 1);
  const auto last = pieces.starts.begin() + static_cast<std::ptrdiff_t>(piece_end + 1);
  return static_cast<std::size_t>(std::upper_bound(first, last, limit) - pieces.starts.begin()) - 1;
}

// Greedy longest-match-first segmentation of piece k into ids; false (with
// ids left partly filled) when some position starts no vocabulary entry.
bool segment_piece(const WordPieceTokenizer::Impl& impl, const WordPieces& pieces, std::size_t k,
                   std::vector<std::int64_t>& ids) {
  const std::size_t piece_end = pieces.piece_ends[k];
  std::size_t start = pieces.piece_begin(k);
  const std::size_t piece_start = start;
  std::string candidate;
  while (start < piece_end) {
    const std::int64_t* found = nullptr;
    const std::size_t prefix_bytes = start == piece_start ? 0 : impl.continuing_subword_prefix.size();
    std::size_t end = longest_possible_end(pieces, start, piece_end, prefix_bytes, impl.max_token_bytes);
    for (; end > start; --end) {
      if (start == piece_start) {
        found = detail::find_token(impl.vocabulary, pieces.bytes(start, end));
      } else {
        candidate.assign(impl.continuing_subword_prefix);
        candidate.append(pieces.bytes(start, end));
        found = detail::find_token(impl.vocabulary, candidate);
      }
      if (found != nullptr) break;
    }
    if (found == nullptr) return false;
    ids.push_back(*found);
    start = end;
  }
  return true;
}

}  // namespace

std::vector<std::int64_t> WordPieceTokenizer::Impl::tokenize_word(std::string_view word) const {
  const WordPieces pieces = detail::split_wordpiece_pieces(word, lowercase, strip_accents);
  std::vector<std::int64_t> ids;
  for (std::size_t k = 0; k < pieces.piece_count(); ++k) {
    const std::size_t length = pieces.piece_ends[k] - pieces.piece_begin(k);
    const std::size_t before = ids.size();
    if (length > max_input_characters_per_word || !segment_piece(*this, pieces, k, ids)) {
      // An unknown piece is one unknown id; what it had matched is dropped.
      ids.resize(before);
      ids.push_back(unknown_id);
    }
  }
  return ids;
}

std::vector<std::int64_t> WordPieceTokenizer::Impl::encode_word(std::string_view word) const {
  return cache.ids_of(word, [this](std::string_view w) {
    std::vector<std::int64_t> ids = tokenize_word(w);
    // A word that cleans away entirely stands for what "-" yields.
    if (ids.empty()) ids = tokenize_word("-");
    if (ids.empty()) ids.push_back(unknown_id);
    return ids;
  });
}

WordPieceTokenizer::WordPieceTokenizer(std::vector<std::string> vocabulary, bool lowercase,
                                       bool strip_accents, std::string unknown_token,
                                       std::string cls_token, std::string sep_token,
                                       std::string continuing_subword_prefix,
                                       std::uint64_t max_input_characters_per_word) {
  if (vocabulary.empty()) throw WordPieceError("WordPiece vocabulary cannot be empty");
  if (max_input_characters_per_word == 0) {
    throw WordPieceError("max_input_characters_per_word must be positive");
  }
  auto impl = std::make_unique<Impl>();
  impl->vocabulary.reserve(vocabulary.size());
  for (std::size_t i = 0; i < vocabulary.size(); ++i) {
    impl->max_token_bytes = std::max(impl->max_token_bytes, vocabulary[i].size());
    if (!impl->vocabulary.try_emplace(std::move(vocabulary[i]), static_cast<std::int64_t>(i)).second) {
      throw WordPieceError("WordPiece vocabulary contains duplicate token: " + vocabulary[i]);
    }
  }
  impl->unknown_id = required_token_id(impl->vocabulary, unknown_token);
  impl->cls_id = required_token_id(impl->vocabulary, cls_token);
  impl->sep_id = required_token_id(impl->vocabulary, sep_token);
  impl->lowercase = lowercase;
  impl->strip_accents = strip_accents;
  impl->continuing_subword_prefix = std::move(continuing_subword_prefix);
  impl->max_input_characters_per_word = max_input_characters_per_word;
  impl_ = std::move(impl);
}

WordPieceTokenizer::WordPieceTokenizer(WordPieceTokenizer&& other) noexcept = default;
WordPieceTokenizer& WordPieceTokenizer::operator=(WordPieceTokenizer&& other) noexcept = default;
WordPieceTokenizer::~WordPieceTokenizer() = default;

WordPieceEncoding WordPieceTokenizer::encode(const std::vector<std::string>& words,
                                             bool add_special_tokens) const {
  const Impl& impl = loaded(impl_);
  return detail::encode_words(words, add_special_tokens, impl.cls_id, impl.sep_id,
                              [&impl](const std::string& word) { return impl.encode_word(word); });
}

std::uint64_t WordPieceTokenizer::vocabulary_size() const { return loaded(impl_).vocabulary.size(); }
std::uint64_t WordPieceTokenizer::cache_size() const { return loaded(impl_).cache.size(); }
std::int64_t WordPieceTokenizer::unknown_id() const { return loaded(impl_).unknown_id; }
std::int64_t WordPieceTokenizer::cls_id() const { return loaded(impl_).cls_id; }
std::int64_t WordPieceTokenizer::sep_id() const { return loaded(impl_).sep_id; }
const WordPieceTokenizer::Impl& WordPieceTokenizer::impl() const { return loaded(impl_); }

}  // namespace lorvane
