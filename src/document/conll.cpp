#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "lorvane/document.hpp"

namespace lorvane {
namespace {

constexpr std::string_view kSentIdPrefix = "# sent_id";
constexpr std::string_view kTextPrefix = "# text";

// Appends CoNLL-U blocks of one storage to a string. Values are written as
// the cells hold them; nothing is escaped or checked.
class ConllWriter {
 public:
  ConllWriter(const DocumentStorage& storage, std::string& out) : st_(storage), pool_(storage.pool), out_(out) {}

  void write_sentence(std::uint32_t s) {
    write_header(s);
    write_body(s);
  }

 private:
  void write_header(std::uint32_t s) {
    bool has_sent_id = false;
    bool has_text = false;
    for (std::uint32_t id : st_.sentences.comments[s]) {
      const std::string& comment = pool_.get(id);
      out_ += comment;
      out_ += '\n';
      has_sent_id = has_sent_id || comment.starts_with(kSentIdPrefix);
      has_text = has_text || comment.starts_with(kTextPrefix);
    }
    if (!has_sent_id) {
      out_ += "# sent_id = ";
      const std::uint32_t sent_id = st_.sentences.sent_id[s];
      if (sent_id == kNoIndex) {
        write_number(static_cast<std::int64_t>(s));
      } else {
        out_ += pool_.get(sent_id);
      }
      out_ += '\n';
    }
    const std::uint32_t text = st_.sentences.text[s];
    if (!has_text && text != kNoIndex && !pool_.get(text).empty()) {
      out_ += "# text = ";
      write_single_line(pool_.get(text));
      out_ += '\n';
    }
  }

  // Tokens in order; each token is preceded by the empty words (from the
  // list cursor on) whose id is below the token's first id.
  void write_body(std::uint32_t s) {
    first_line_ = true;
    const auto& empty_words = st_.sentences.empty_words[s];
    std::size_t cursor = 0;
    const auto& tokens = st_.tokens;
    for (std::uint32_t t = st_.sentences.token_offsets[s]; t < st_.sentences.token_offsets[s + 1]; ++t) {
      while (cursor < empty_words.size() && st_.words.id[empty_words[cursor]] < tokens.id_start[t]) {
        write_word(empty_words[cursor++]);
      }
      if (tokens.id_start[t] != tokens.id_end[t]) write_range(t);
      for (std::uint32_t w = tokens.word_begin[t]; w < tokens.word_end[t]; ++w) write_word(w);
    }
    while (cursor < empty_words.size()) write_word(empty_words[cursor++]);
  }

  void begin_line() {
    if (!first_line_) out_ += '\n';
    first_line_ = false;
  }

  void write_range(std::uint32_t t) {
    begin_line();
    write_number(st_.tokens.id_start[t]);
    out_ += '-';
    write_number(st_.tokens.id_end[t]);
    out_ += '\t';
    out_ += pool_.get(st_.tokens.text[t]);
    out_ += "\t_\t_\t_\t_\t_\t_\t_\t";
    write_optional(st_.tokens.misc[t]);
  }

  void write_word(std::uint32_t w) {
    const auto& words = st_.words;
    begin_line();
    write_number(words.id[w]);
    if (words.empty_index[w] != kAbsentInt) {
      out_ += '.';
      write_number(words.empty_index[w]);
    }
    out_ += '\t';
    out_ += pool_.get(words.text[w]);
    for (const auto* column : {&words.lemma, &words.upos, &words.xpos, &words.feats}) {
      out_ += '\t';
      write_optional((*column)[w]);
    }
    out_ += '\t';
    if (words.head[w] == kAbsentInt) {
      out_ += '_';
    } else {
      write_number(words.head[w]);
    }
    for (const auto* column : {&words.deprel, &words.deps}) {
      out_ += '\t';
      write_optional((*column)[w]);
    }
    out_ += '\t';
    write_misc(w);
  }

  // The word's MISC with its morphemes appended as Morphemes=a,b.
  void write_misc(std::uint32_t w) {
    const std::uint32_t misc = st_.words.misc[w];
    const auto& morphemes = st_.words.morphemes[w];
    const bool has_misc = misc != kNoIndex && !pool_.get(misc).empty();
    if (!has_misc && morphemes.empty()) {
      out_ += '_';
      return;
    }
    if (has_misc) out_ += pool_.get(misc);
    if (morphemes.empty()) return;
    if (has_misc) out_ += '|';
    out_ += "Morphemes=";
    for (std::size_t i = 0; i < morphemes.size(); ++i) {
      if (i > 0) out_ += ',';
      out_ += pool_.get(morphemes[i]);
    }
  }

  // "_" for an absent or empty string cell.
  void write_optional(std::uint32_t id) {
    if (id == kNoIndex) {
      out_ += '_';
      return;
    }
    const std::string& value = pool_.get(id);
    if (value.empty()) {
      out_ += '_';
    } else {
      out_ += value;
    }
  }

  void write_number(std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
  }

  // A comment line ends at the first line break, so line breaks inside a
  // sentence text (the tokenizer keeps single newlines of a paragraph) are
  // written as spaces.
  void write_single_line(const std::string& text) {
    const std::size_t begin = out_.size();
    out_ += text;
    for (std::size_t i = begin; i < out_.size(); ++i) {
      if (out_[i] == '\n' || out_[i] == '\r') out_[i] = ' ';
    }
  }

  const DocumentStorage& st_;
  const StringPool& pool_;
  std::string& out_;
  bool first_line_ = true;
};

}  // namespace

std::string Sentence::to_conll() const {
  std::string out;
  ConllWriter(checked(), out).write_sentence(index_);
  return out;
}

std::string Document::to_conll() const {
  const DocumentStorage& storage = *storage_;
  std::string out;
  // A word line takes some 30 to 60 bytes; one guess saves most regrowth.
  out.reserve(storage.num_word_rows() * 48 + storage.num_sentences() * 64);
  ConllWriter writer(storage, out);
  for (std::uint64_t s = 0; s < storage.num_sentences(); ++s) {
    if (s > 0) out += "\n\n";
    writer.write_sentence(static_cast<std::uint32_t>(s));
  }
  return out;
}

}  // namespace lorvane
