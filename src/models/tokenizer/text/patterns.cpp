#include "models/tokenizer/text/patterns.hpp"

#include <re2/re2.h>

#include <bitset>
#include <cctype>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

// Two engines run the patterns; both give exactly the ECMAScript matches.
//
// The automaton engine (RE2, byte-oriented, leftmost-first) runs every search
// in linear time. Enumerating all matches repeats the search from each match
// end, and a search can only stop once every thread that outranks the match
// found (an earlier start, an earlier alternative, a longer repetition) has
// died. For the four feature patterns and the common form of the address
// pattern such threads die at the match end, or at the end of a run of hyphens
// after a domain, which the next search reads anyway, so the enumeration stays
// linear. Two address forms break that: a quoted local part ("...") and an
// address literal (@[...]) may stay alive across any number of later matches
// and fail only at the end of the text, and every later search would rescan
// that far. The automaton therefore runs the address pattern without those two
// forms, on texts where neither can complete (no `"@`, no `@[`), and all other
// texts go to the second engine.
//
// The backtracking engine walks the pattern's ECMAScript alternatives in
// priority order, as a recursive backtracker does, but iteratively (its stack
// is on the heap) and with a memo of (pattern node, text position) pairs that
// already failed. Whether a node can still reach a match from a position does
// not depend on where the search started, so the memo stays valid across all
// searches of one enumeration and every pair is expanded at most once.

namespace lorvane::detail {
namespace {

// ---------------------------------------------------------------------------
// Sources

constexpr std::string_view kLabeledFieldSource =
    R"(\b[A-Z][a-zA-Z]*(?:\s[A-Z][a-zA-Z]*){0,2}\s*:)";
constexpr std::string_view kPhoneIdSource =
    R"((?:\([0-9]{3}\)\s?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b))";
constexpr std::string_view kDatePatternSource =
    R"((?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December)\s+[0-9]{1,2},?\s+[0-9]{4}\b))";
constexpr std::string_view kCurrencySource = R"(\$\s?[0-9][0-9,]*(?:\.[0-9]+)?)";
constexpr std::string_view kEmailOrUrlSource =
    R"RX((?:(?:[a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9]))\.){3}(?:(?:2(?:5[0-5]|[0-4][0-9])|1[0-9][0-9]|[1-9]?[0-9])|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))|(?:(?:https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|www\.[a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9]\.[^\s"]{2,}|https?:\/\/(?:www\.|(?!www))[a-zA-Z0-9]+\.[^\s"]{2,}|www\.[a-zA-Z0-9]+\.[^\s"]{2,})|[a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:\.[^\s"]{2,})))RX";

// The same patterns in RE2 syntax, run in Latin-1 mode so that every byte is
// one character. \s is spelled out as the six ASCII whitespace bytes (RE2's
// \s lacks \v); \b is ASCII-only in RE2 as in ECMAScript over bytes.
#define LV_SPACE R"([\x09-\x0d\x20])"

const std::string& labeled_field_re2_source() {
  static const std::string source =
      R"(\b[A-Z][a-zA-Z]*(?:)" LV_SPACE R"([A-Z][a-zA-Z]*){0,2})" LV_SPACE R"(*:)";
  return source;
}

const std::string& phone_id_re2_source() {
  static const std::string source =
      R"((?:\([0-9]{3}\))" LV_SPACE
      R"(?[0-9]{3}-[0-9]{4})|(?:\b[0-9]{3}-[0-9]{3}-[0-9]{4}\b)|(?:\bx[0-9]{3,5}\b))";
  return source;
}

const std::string& date_pattern_re2_source() {
  static const std::string source =
      R"((?:\b[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}\b)|(?:\b(?:January|February|March|April|May|June|July|August|September|October|November|December))" LV_SPACE
      R"(+[0-9]{1,2},?)" LV_SPACE R"(+[0-9]{4}\b))";
  return source;
}

const std::string& currency_re2_source() {
  static const std::string source = R"(\$)" LV_SPACE R"(?[0-9][0-9,]*(?:\.[0-9]+)?)";
  return source;
}

// The address pattern without its quoted local part and its address literal,
// for texts in which neither can complete (no `"@`, no `@[`): dropping
// alternatives that never match leaves every match and its priority unchanged.
//
// RE2 has no lookahead. `(?:www\.|(?!www))H` becomes `(?:www\.H|H')`, where
// H' is the host H restricted to not begin with "www". The three bytes the
// lookahead reads decide nothing outside the host: the longer host has at
// least three bytes, and the shorter one ([a-zA-Z0-9]+) is followed by a full
// stop, which is not "w". So H' is an alternation over the host's first bytes,
// and within it the greedy repetitions keep their order (longer first): the
// preferred path through the pattern is the one ECMAScript takes.
const std::string& email_or_url_re2_source() {
  static const std::string source = [] {
    const std::string local = R"([a-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\.[a-z0-9!#$%&'*+/=?^_`{|}~-]+)*)";
    const std::string domain = R"((?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?)";
    const std::string tail = R"(\.[^\x09-\x0d\x20"]{2,})";
    // [a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9], and the same not beginning with "www".
    const std::string host3 = R"([a-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9])";
    const std::string host3_not_www =
        R"((?:[a-vx-zA-Z0-9][a-zA-Z0-9-]+[a-zA-Z0-9])"
        R"(|w(?:[a-vx-zA-Z0-9-][a-zA-Z0-9-]*[a-zA-Z0-9])"
        R"(|w(?:[a-vx-zA-Z0-9-][a-zA-Z0-9-]*[a-zA-Z0-9]|[a-vx-zA-Z0-9]))))";
    // [a-zA-Z0-9]+, and the same not beginning with "www".
    const std::string host1 = R"([a-zA-Z0-9]+)";
    const std::string host1_not_www =
        R"((?:[a-vx-zA-Z0-9][a-zA-Z0-9]*)"
        R"(|w(?:[a-vx-zA-Z0-9][a-zA-Z0-9]*|w(?:[a-vx-zA-Z0-9][a-zA-Z0-9]*)?)?))";
    const std::string email = "(?:(?:" + local + ")@(?:" + domain + "))";
    const std::string urls =
        "(?:https?://(?:www\\." + host3 + "|" + host3_not_www + ")" + tail +
        "|www\\." + host3 + tail +
        "|https?://(?:www\\." + host1 + "|" + host1_not_www + ")" + tail +
        "|www\\." + host1 + tail + ")";
    const std::string bare_name = R"([a-zA-Z0-9]+\.(?:gov|org|edu|net|com|co)(?:)" + tail + ")";
    return email + "|(?:" + urls + "|" + bare_name + ")";
  }();
  return source;
}

#undef LV_SPACE

// ---------------------------------------------------------------------------
// Automaton engine

RE2::Options automaton_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_case_sensitive(true);
  options.set_longest_match(false);  // leftmost-first, as ECMAScript
  options.set_log_errors(false);
  return options;
}

// An RE2 object that is known to have compiled.
// Safe to share across threads: RE2 matching is const and internally synchronised.
struct Automaton {
  RE2 regex;
  explicit Automaton(const std::string& source) : regex(source, automaton_options()) {
    if (!regex.ok()) {
      throw std::logic_error("tokenizer pattern does not compile: " + regex.error());
    }
  }
};

// Compiled once, together, on the first use of any feature pattern.
// Safe to share across threads, as Automaton.
struct FeatureAutomata {
  Automaton labeled_field{labeled_field_re2_source()};
  Automaton phone_id{phone_id_re2_source()};
  Automaton date_pattern{date_pattern_re2_source()};
  Automaton currency{currency_re2_source()};
};

const RE2& feature_automaton(TokenizerPattern pattern) {
  static const FeatureAutomata automata;
  switch (pattern) {
    case TokenizerPattern::labeled_field: return automata.labeled_field.regex;
    case TokenizerPattern::phone_id: return automata.phone_id.regex;
    case TokenizerPattern::date_pattern: return automata.date_pattern.regex;
    case TokenizerPattern::currency: return automata.currency.regex;
    case TokenizerPattern::email_or_url: break;
  }
  throw std::logic_error("not a feature pattern");
}

const RE2& email_or_url_automaton() {
  static const Automaton automaton(email_or_url_re2_source());
  return automaton.regex;
}

std::logic_error empty_match_error() {
  return std::logic_error("tokenizer pattern produced an empty match");
}

std::vector<PatternMatch> automaton_matches(const RE2& regex, std::string_view text) {
  std::vector<PatternMatch> matches;
  const re2::StringPiece whole(text.data(), text.size());
  re2::StringPiece found;
  // No pattern matches the empty string, so nothing can start at the end.
  std::size_t position = 0;
  while (position < text.size() &&
         regex.Match(whole, position, text.size(), RE2::UNANCHORED, &found, 1)) {
    const auto start = static_cast<std::size_t>(found.data() - text.data());
    if (found.empty()) throw empty_match_error();
    matches.push_back({start, found.size()});
    position = start + found.size();
  }
  return matches;
}

// ---------------------------------------------------------------------------
// Backtracking engine: syntax tree of the ECMAScript subset the patterns use

using ByteSet = std::bitset<256>;

constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

bool is_word_byte(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_';
}

// \s over single bytes in the classic locale.
ByteSet space_bytes() {
  ByteSet set;
  for (unsigned byte = 0x09; byte <= 0x0D; ++byte) set.set(byte);
  set.set(0x20);
  return set;
}

// The syntax tree: plain values, immutable once parsed.
struct Alternation;

struct Atom {
  enum class Kind { bytes, group, word_boundary, not_followed_by };
  Kind kind = Kind::bytes;
  ByteSet bytes;                              // bytes
  std::shared_ptr<const Alternation> group;  // group
  std::string literal;                       // not_followed_by
};

struct Piece {
  Atom atom;
  std::size_t min = 1;
  std::size_t max = 1;  // or kUnbounded
};

struct Sequence {
  std::vector<Piece> pieces;
};

struct Alternation {
  std::vector<Sequence> branches;
};

// Parses the fixed sources; anything outside the subset they use is refused
// rather than guessed at. Recursion follows the source's nesting only.
// Not thread-safe: one object per parse.
class SourceParser {
 public:
  explicit SourceParser(std::string_view source) : source_(source) {}

  Alternation parse() {
    Alternation root = parse_alternation();
    if (!at_end()) fail("unbalanced parenthesis");
    return root;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::logic_error("unsupported tokenizer pattern syntax (" + what + ") at offset " +
                           std::to_string(position_));
  }

  bool at_end() const { return position_ >= source_.size(); }
  char peek() const { return at_end() ? '\0' : source_[position_]; }
  unsigned char take() {
    if (at_end()) fail("unexpected end");
    const auto byte = static_cast<unsigned char>(source_[position_++]);
    if (byte >= 0x80) fail("non-ASCII byte");
    return byte;
  }
  bool take_if(char expected) {
    if (peek() != expected || at_end()) return false;
    ++position_;
    return true;
  }

  Alternation parse_alternation() {
    Alternation alternation;
    alternation.branches.push_back(parse_sequence());
    while (take_if('|')) alternation.branches.push_back(parse_sequence());
    return alternation;
  }

  Sequence parse_sequence() {
    Sequence sequence;
    while (!at_end() && peek() != '|' && peek() != ')') {
      Piece piece;
      piece.atom = parse_atom();
      parse_quantifier(piece);
      sequence.pieces.push_back(std::move(piece));
    }
    return sequence;
  }

  Atom parse_atom() {
    const unsigned char byte = take();
    switch (byte) {
      case '(': return parse_group();
      case '[': return bytes_atom(parse_class());
      case '\\': return parse_escape();
      case '.': case '^': case '$': case '*': case '+': case '?': case '{':
        fail("metacharacter");
      default: {
        ByteSet set;
        set.set(byte);
        return bytes_atom(set);
      }
    }
  }

  static Atom bytes_atom(const ByteSet& set) {
    Atom atom;
    atom.bytes = set;
    return atom;
  }

  Atom parse_group() {
    Atom atom;
    if (take_if('?')) {
      if (take_if('!')) return parse_negative_lookahead();
      if (!take_if(':')) fail("group kind");
    }
    atom.kind = Atom::Kind::group;
    atom.group = std::make_shared<const Alternation>(parse_alternation());
    if (!take_if(')')) fail("unclosed group");
    return atom;
  }

  // Only literal text is supported inside (?!...).
  Atom parse_negative_lookahead() {
    Atom atom;
    atom.kind = Atom::Kind::not_followed_by;
    while (!take_if(')')) {
      const unsigned char byte = take();
      if (!std::isalnum(byte)) fail("lookahead content");
      atom.literal.push_back(static_cast<char>(byte));
    }
    return atom;
  }

  Atom parse_escape() {
    const unsigned char byte = take();
    if (byte == 'b') {
      Atom atom;
      atom.kind = Atom::Kind::word_boundary;
      return atom;
    }
    return bytes_atom(escape_bytes(byte));
  }

  // The bytes of an escape other than \b, inside or outside a class.
  ByteSet escape_bytes(unsigned char byte) {
    ByteSet set;
    if (byte == 's') return space_bytes();
    if (byte == 'x') {
      set.set(hex_digit() * 16 + hex_digit());
    } else if (std::isalnum(byte)) {
      fail("escape");
    } else {
      set.set(byte);  // an escaped punctuation character stands for itself
    }
    return set;
  }

  unsigned hex_digit() {
    const unsigned char byte = take();
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    fail("hexadecimal digit");
  }

  ByteSet parse_class() {
    const bool negated = take_if('^');
    ByteSet set;
    while (!take_if(']')) {
      const ByteSet low = class_member();
      if (peek() == '-' && position_ + 1 < source_.size() && source_[position_ + 1] != ']') {
        ++position_;
        const ByteSet high = class_member();
        if (low.count() != 1 || high.count() != 1) fail("class range");
        const std::size_t first = single_byte(low);
        const std::size_t last = single_byte(high);
        if (first > last) fail("class range order");
        for (std::size_t byte = first; byte <= last; ++byte) set.set(byte);
      } else {
        set |= low;
      }
    }
    return negated ? ~set : set;
  }

  ByteSet class_member() {
    const unsigned char byte = take();
    if (byte == '\\') {
      const unsigned char escaped = take();
      if (escaped == 'b') fail("class escape");
      return escape_bytes(escaped);
    }
    ByteSet set;
    set.set(byte);
    return set;
  }

  static std::size_t single_byte(const ByteSet& set) {
    std::size_t byte = 0;
    while (!set.test(byte)) ++byte;
    return byte;
  }

  void parse_quantifier(Piece& piece) {
    const char next = peek();
    if (next == '?') {
      piece.min = 0, piece.max = 1;
    } else if (next == '*') {
      piece.min = 0, piece.max = kUnbounded;
    } else if (next == '+') {
      piece.min = 1, piece.max = kUnbounded;
    } else if (next == '{') {
      ++position_;
      piece.min = piece.max = number();
      if (take_if(',')) piece.max = peek() == '}' ? kUnbounded : number();
      if (peek() != '}' || piece.max < piece.min) fail("repetition bounds");
    } else {
      return;
    }
    ++position_;
    if (piece.atom.kind == Atom::Kind::word_boundary ||
        piece.atom.kind == Atom::Kind::not_followed_by) {
      fail("quantified assertion");
    }
    if (peek() == '?') fail("lazy quantifier");
  }

  std::size_t number() {
    if (!std::isdigit(static_cast<unsigned char>(peek()))) fail("repetition count");
    std::size_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(peek()))) value = value * 10 + (take() - '0');
    return value;
  }

  std::string_view source_;
  std::size_t position_ = 0;
};

// ---------------------------------------------------------------------------
// Backtracking engine: program

enum class NodeKind : std::uint8_t { bytes, split, word_boundary, not_followed_by, match };

struct Node {
  NodeKind kind = NodeKind::match;
  std::uint32_t next = 0;     // split: the preferred branch
  std::uint32_t other = 0;    // split: the branch tried when the preferred one fails
  std::uint32_t operand = 0;  // bytes: index into sets; not_followed_by: into literals
  std::int32_t memo = -1;     // memo slot of a node reached along several edges
};

// Safe to share across threads: immutable after construction.
struct Program {
  std::vector<Node> nodes;
  std::vector<ByteSet> sets;
  std::vector<std::string> literals;
  std::uint32_t start = 0;
  std::uint32_t memo_slots = 0;
  ByteSet first_bytes;  // the bytes a match can begin with
};

// Compiles the tree back to front: each construct is built with the node
// that follows it already known. Counted repetitions are unrolled into copies.
// Not thread-safe: one object per build.
class ProgramBuilder {
 public:
  Program build(const Alternation& root) {
    const std::uint32_t match = add(Node{});
    program_.start = alternation(root, match);
    assign_memo_slots();
    collect_first_bytes();
    return std::move(program_);
  }

 private:
  std::uint32_t add(const Node& node) {
    program_.nodes.push_back(node);
    return static_cast<std::uint32_t>(program_.nodes.size() - 1);
  }

  std::uint32_t split(std::uint32_t preferred, std::uint32_t other) {
    Node node;
    node.kind = NodeKind::split;
    node.next = preferred;
    node.other = other;
    return add(node);
  }

  std::uint32_t alternation(const Alternation& alternation, std::uint32_t next) {
    std::vector<std::uint32_t> entries;
    for (const Sequence& branch : alternation.branches) entries.push_back(sequence(branch, next));
    std::uint32_t entry = entries.back();
    for (std::size_t i = entries.size() - 1; i-- > 0;) entry = split(entries[i], entry);
    return entry;
  }

  std::uint32_t sequence(const Sequence& sequence, std::uint32_t next) {
    for (auto piece = sequence.pieces.rbegin(); piece != sequence.pieces.rend(); ++piece) {
      next = repetition(*piece, next);
    }
    return next;
  }

  // Greedy: another copy of the atom is always tried before what follows.
  std::uint32_t repetition(const Piece& piece, std::uint32_t next) {
    std::uint32_t entry = next;
    if (piece.max == kUnbounded) {
      const std::uint32_t loop = split(0, next);
      program_.nodes[loop].next = atom(piece.atom, loop);
      entry = loop;
    } else {
      for (std::size_t optional = piece.min; optional < piece.max; ++optional) {
        entry = split(atom(piece.atom, entry), next);
      }
    }
    for (std::size_t required = 0; required < piece.min; ++required) entry = atom(piece.atom, entry);
    return entry;
  }

  std::uint32_t atom(const Atom& atom, std::uint32_t next) {
    Node node;
    node.next = next;
    switch (atom.kind) {
      case Atom::Kind::group:
        return alternation(*atom.group, next);
      case Atom::Kind::bytes:
        node.kind = NodeKind::bytes;
        node.operand = static_cast<std::uint32_t>(program_.sets.size());
        program_.sets.push_back(atom.bytes);
        break;
      case Atom::Kind::word_boundary:
        node.kind = NodeKind::word_boundary;
        break;
      case Atom::Kind::not_followed_by:
        node.kind = NodeKind::not_followed_by;
        node.operand = static_cast<std::uint32_t>(program_.literals.size());
        program_.literals.push_back(atom.literal);
        break;
    }
    return add(node);
  }

  // A node entered along a single edge is re-entered at a position only when
  // its predecessor is; memoising the nodes with several incoming edges
  // therefore bounds the work by (edges x positions).
  void assign_memo_slots() {
    std::vector<std::uint32_t> incoming(program_.nodes.size(), 0);
    ++incoming[program_.start];
    for (const Node& node : program_.nodes) {
      if (node.kind == NodeKind::match) continue;
      ++incoming[node.next];
      if (node.kind == NodeKind::split) ++incoming[node.other];
    }
    for (std::size_t id = 0; id < program_.nodes.size(); ++id) {
      if (incoming[id] > 1) program_.nodes[id].memo = static_cast<std::int32_t>(program_.memo_slots++);
    }
  }

  // Follows the edges that consume nothing from the start. Reaching the match
  // node that way would allow empty matches, which the enumeration (and the
  // memo's validity across searches) rules out.
  void collect_first_bytes() {
    std::vector<bool> seen(program_.nodes.size(), false);
    std::vector<std::uint32_t> pending{program_.start};
    while (!pending.empty()) {
      const std::uint32_t id = pending.back();
      pending.pop_back();
      if (seen[id]) continue;
      seen[id] = true;
      const Node& node = program_.nodes[id];
      switch (node.kind) {
        case NodeKind::match:
          throw std::logic_error("tokenizer pattern can match the empty string");
        case NodeKind::bytes:
          program_.first_bytes |= program_.sets[node.operand];
          break;
        case NodeKind::split:
          pending.push_back(node.other);
          pending.push_back(node.next);
          break;
        case NodeKind::word_boundary:
        case NodeKind::not_followed_by:
          pending.push_back(node.next);
          break;
      }
    }
  }

  Program program_;
};

Program compile_program(std::string_view source) {
  return ProgramBuilder().build(SourceParser(source).parse());
}

const Program& backtracking_program(TokenizerPattern pattern) {
  switch (pattern) {
    case TokenizerPattern::labeled_field: {
      static const Program program = compile_program(kLabeledFieldSource);
      return program;
    }
    case TokenizerPattern::phone_id: {
      static const Program program = compile_program(kPhoneIdSource);
      return program;
    }
    case TokenizerPattern::date_pattern: {
      static const Program program = compile_program(kDatePatternSource);
      return program;
    }
    case TokenizerPattern::currency: {
      static const Program program = compile_program(kCurrencySource);
      return program;
    }
    case TokenizerPattern::email_or_url: {
      static const Program program = compile_program(kEmailOrUrlSource);
      return program;
    }
  }
  throw std::logic_error("unknown tokenizer pattern");
}

// ---------------------------------------------------------------------------
// Backtracking engine: matching

// Not thread-safe: holds the memo and the pending-branch stack of one text.
class Backtracker {
 public:
  Backtracker(const Program& program, std::string_view text)
      : program_(program), text_(text), failed_((text.size() + 1) * program.memo_slots, false) {}

  std::vector<PatternMatch> all_matches() {
    std::vector<PatternMatch> matches;
    std::size_t start = 0;
    while (start < text_.size()) {
      const auto [begin, end] = leftmost_match(start);
      if (begin == kNone) break;
      matches.push_back({begin, end - begin});
      start = end;
    }
    return matches;
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  unsigned char byte_at(std::size_t position) const {
    return static_cast<unsigned char>(text_[position]);
  }

  std::pair<std::size_t, std::size_t> leftmost_match(std::size_t from) {
    for (std::size_t begin = from; begin < text_.size(); ++begin) {
      if (!program_.first_bytes.test(byte_at(begin))) continue;
      const std::size_t end = match_end(begin);
      if (end == kNone) continue;
      if (end == begin) throw empty_match_error();
      return {begin, end};
    }
    return {kNone, kNone};
  }

  bool at_word_boundary(std::size_t position) const {
    const bool word_before = position > 0 && is_word_byte(byte_at(position - 1));
    const bool word_after = position < text_.size() && is_word_byte(byte_at(position));
    return word_before != word_after;
  }

  // False when the node was already entered at this position: it failed
  // there (a success would have ended the search that entered it).
  bool first_entry(const Node& node, std::size_t position) {
    if (node.memo < 0) return true;
    const std::size_t bit = position * program_.memo_slots + static_cast<std::size_t>(node.memo);
    if (failed_[bit]) return false;
    failed_[bit] = true;
    return true;
  }

  // Whether the node lets the path go on, and where to: advances id and position.
  bool step(const Node& node, std::uint32_t& id, std::size_t& position) {
    switch (node.kind) {
      case NodeKind::bytes:
        if (position >= text_.size() || !program_.sets[node.operand].test(byte_at(position))) {
          return false;
        }
        ++position;
        break;
      case NodeKind::split:
        pending_.emplace_back(node.other, position);
        break;
      case NodeKind::word_boundary:
        if (!at_word_boundary(position)) return false;
        break;
      case NodeKind::not_followed_by:
        if (text_.substr(position).starts_with(program_.literals[node.operand])) return false;
        break;
      case NodeKind::match:
        return false;
    }
    id = node.next;
    return true;
  }

  // End of the first path, in ECMAScript priority order, from the start node
  // at `begin` to the match node; kNone when every path fails.
  std::size_t match_end(std::size_t begin) {
    pending_.clear();
    pending_.emplace_back(program_.start, begin);
    while (!pending_.empty()) {
      auto [id, position] = pending_.back();
      pending_.pop_back();
      for (;;) {
        const Node& node = program_.nodes[id];
        if (!first_entry(node, position)) break;
        if (node.kind == NodeKind::match) return position;
        if (!step(node, id, position)) break;
      }
    }
    return kNone;
  }

  const Program& program_;
  std::string_view text_;
  std::vector<bool> failed_;
  std::vector<std::pair<std::uint32_t, std::size_t>> pending_;
};

// The quoted local part needs `"@`, the address literal `@[`; without either,
// the automaton's enumeration is linear (see the top of this file).
bool may_hold_quoted_or_literal_address(std::string_view text) {
  return text.find("\"@") != std::string_view::npos || text.find("@[") != std::string_view::npos;
}

// Byte length of the unit that begins with `lead`.
std::size_t unit_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

void require_unit_count(std::string_view text, std::size_t unit_count) {
  std::size_t position = 0;
  std::size_t units = 0;
  while (position < text.size()) {
    position += unit_length(static_cast<unsigned char>(text[position]));
    ++units;
  }
  if (position != text.size() || units != unit_count) {
    throw std::invalid_argument("joined text does not split into " + std::to_string(unit_count) +
                                " units");
  }
}

}  // namespace

std::string_view ecmascript_source(TokenizerPattern pattern) noexcept {
  switch (pattern) {
    case TokenizerPattern::labeled_field: return kLabeledFieldSource;
    case TokenizerPattern::phone_id: return kPhoneIdSource;
    case TokenizerPattern::date_pattern: return kDatePatternSource;
    case TokenizerPattern::currency: return kCurrencySource;
    case TokenizerPattern::email_or_url: return kEmailOrUrlSource;
  }
  return {};
}

std::vector<PatternMatch> find_pattern_matches(TokenizerPattern pattern, std::string_view text) {
  if (pattern != TokenizerPattern::email_or_url) {
    return automaton_matches(feature_automaton(pattern), text);
  }
  if (may_hold_quoted_or_literal_address(text)) {
    return find_pattern_matches_backtracking(pattern, text);
  }
  return automaton_matches(email_or_url_automaton(), text);
}

std::vector<PatternMatch> find_pattern_matches_backtracking(TokenizerPattern pattern,
                                                            std::string_view text) {
  return Backtracker(backtracking_program(pattern), text).all_matches();
}

void mark_pattern_matches(std::string_view joined_text, TokenizerPattern pattern,
                          std::vector<float>& column) {
  const std::size_t unit_count = column.size();
  require_unit_count(joined_text, unit_count);
  // Matches come left to right, so one forward walk over the units finds the
  // unit holding each match boundary (unit_count for the end of the text).
  std::size_t unit = 0;
  std::size_t unit_begin = 0;
  const auto unit_holding = [&](std::size_t byte) {
    while (unit < unit_count) {
      const std::size_t unit_end =
          unit_begin + unit_length(static_cast<unsigned char>(joined_text[unit_begin]));
      if (byte < unit_end) break;
      unit_begin = unit_end;
      ++unit;
    }
    return unit;
  };
  for (const PatternMatch& match : find_pattern_matches(pattern, joined_text)) {
    const std::size_t first = unit_holding(match.position);
    const std::size_t past_last = unit_holding(match.position + match.length);
    for (std::size_t u = first; u < past_last; ++u) column[u] = 1.0f;
  }
}

}  // namespace lorvane::detail
