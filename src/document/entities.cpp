#include <string>
#include <string_view>
#include <utility>

#include "document/storage_rows.hpp"
#include "lorvane/document.hpp"

namespace lorvane {

namespace {

// A tag counts when it is at least three bytes long with a hyphen second:
// a one-byte prefix, the hyphen and the entity type.
struct Tag {
  char prefix;
  std::string_view type;
};

std::optional<Tag> tag_of(const DocumentStorage& d, std::uint32_t token) {
  const std::uint32_t id = d.tokens.ner[token];
  if (id == kNoIndex) return std::nullopt;
  const std::string& tag = d.pool.get(id);
  if (tag.size() < 3 || tag[1] != '-') return std::nullopt;
  return Tag{tag[0], std::string_view(tag).substr(2)};
}

// Builds the new span table beside the current one, so that a failure leaves
// the current table as it was.
class SpanTableBuilder {
 public:
  explicit SpanTableBuilder(DocumentStorage& d) : d_(d) {}

  void add_sentence(std::uint32_t sentence) {
    const std::uint32_t begin = d_.sentences.token_offsets[sentence];
    const std::uint32_t end = d_.sentences.token_offsets[sentence + 1];
    std::uint32_t t = begin;
    while (t < end) t = add_span_at(sentence, t, end);
    offsets_.push_back(static_cast<std::uint32_t>(spans_.text.size()));
  }

  void install() {
    std::swap(d_.spans, spans_);
    std::swap(d_.sentences.span_offsets, offsets_);
  }

 private:
  // Adds the span (if any) that starts at token t and returns the next token.
  std::uint32_t add_span_at(std::uint32_t sentence, std::uint32_t t, std::uint32_t end) {
    const std::optional<Tag> tag = tag_of(d_, t);
    if (!tag || tag->prefix == 'O') return t + 1;
    if (tag->prefix != 'B') {
      add_span(sentence, t, t + 1, std::string(tag->type));
      return t + 1;
    }
    std::uint32_t j = t + 1;
    while (j < end) {
      const std::optional<Tag> next = tag_of(d_, j);
      if (!next || next->type != tag->type) break;
      if (next->prefix == 'I') {
        ++j;
      } else if (next->prefix == 'E' || next->prefix == 'L') {
        ++j;
        break;
      } else {
        break;
      }
    }
    add_span(sentence, t, j, std::string(tag->type));
    return j;
  }

  // The type is taken by value: interning may move the pool's strings.
  void add_span(std::uint32_t sentence, std::uint32_t first, std::uint32_t end, std::string type) {
    const TokenColumns& t = d_.tokens;
    const std::uint32_t start_char = t.start_char[first];
    const std::uint32_t end_char = t.end_char[end - 1];
    std::string text;
    if (detail::offsets_inside(start_char, end_char, d_.text.codepoint_count())) {
      text = d_.text.slice(start_char, end_char);
    } else {
      text = d_.pool.get(t.text[first]);
      for (std::uint32_t k = first + 1; k < end; ++k) {
        text += d_.pool.get(t.spaces_before[k]);
        text += d_.pool.get(t.text[k]);
      }
    }
    const std::uint32_t text_id = d_.pool.intern(text);
    const std::uint32_t type_id = d_.pool.intern(type);
    spans_.sentence.push_back(sentence);
    spans_.token_begin.push_back(first);
    spans_.token_end.push_back(end);
    spans_.word_begin.push_back(t.word_begin[first]);
    spans_.word_end.push_back(t.word_end[end - 1]);
    spans_.text.push_back(text_id);
    spans_.type.push_back(type_id);
    spans_.start_char.push_back(start_char);
    spans_.end_char.push_back(end_char);
  }

  DocumentStorage& d_;
  SpanColumns spans_;
  std::vector<std::uint32_t> offsets_{0};
};

}  // namespace

void DocumentStorage::rebuild_entities() {
  SpanTableBuilder builder(*this);
  const std::size_t bounds = sentences.token_offsets.size();
  for (std::size_t s = 0; bounds >= 2 && s < bounds - 1; ++s)
    builder.add_sentence(static_cast<std::uint32_t>(s));
  builder.install();
}

void Document::rebuild_entities() { storage_->rebuild_entities(); }

}  // namespace lorvane
