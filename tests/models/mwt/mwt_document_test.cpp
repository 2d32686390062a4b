// The expander's document side: records copied out of a document rebuild it
// column for column, and the rewrite gives flagged tokens their words,
// renumbers every sentence and rebuilds the storage (or changes nothing when
// it fails).

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/mwt.hpp"
#include "models/mwt/document_records.hpp"
#include "models/mwt/process_document.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using Strings = std::vector<std::string>;

WordInput word(int id, std::string text) {
  WordInput w;
  w.id = id;
  w.text = std::move(text);
  return w;
}

TokenInput token(int first, int last, std::string text, std::vector<WordInput> words) {
  TokenInput t;
  t.id_start = first;
  t.id_end = last;
  t.text = std::move(text);
  t.words = std::move(words);
  return t;
}

TokenInput single(int id, std::string text) { return token(id, id, text, {word(id, text)}); }

// --- Column dump -------------------------------------------------------------

class ColumnDump {
 public:
  explicit ColumnDump(const DocumentStorage& d) : d_(d) {}

  void strings(const char* name, const std::vector<std::uint32_t>& column) {
    std::string line = name;
    for (std::uint32_t id : column) line += id == kNoIndex ? "|<absent>" : "|'" + d_.pool.get(id) + "'";
    lines.push_back(line);
  }
  template <class Column>
  void numbers(const char* name, const Column& column) {
    std::string line = name;
    for (auto value : column) line += "|" + std::to_string(value);
    lines.push_back(line);
  }
  void lists(const char* name, const std::vector<std::vector<std::uint32_t>>& column, bool pooled) {
    std::string line = name;
    for (const auto& ids : column) {
      line += "|[";
      for (std::uint32_t id : ids) line += (pooled ? d_.pool.get(id) : std::to_string(id)) + ",";
      line += "]";
    }
    lines.push_back(line);
  }

  Strings lines;

 private:
  const DocumentStorage& d_;
};

// Every column that records can carry or the build derives (not the
// constituency trees and coreference, which records do not hold).
Strings columns(const DocumentStorage& d) {
  ColumnDump dump(d);
  const SentenceColumns& s = d.sentences;
  dump.numbers("token_offsets", s.token_offsets), dump.numbers("word_offsets", s.word_offsets);
  dump.lists("empty_words", s.empty_words, false), dump.numbers("span_offsets", s.span_offsets);
  dump.strings("sentence.text", s.text), dump.strings("sent_id", s.sent_id), dump.strings("speaker", s.speaker);
  dump.strings("doc_id", s.doc_id), dump.numbers("sentiment", s.sentiment), dump.lists("comments", s.comments, true);
  const TokenColumns& t = d.tokens;
  dump.numbers("token.sentence", t.sentence), dump.numbers("id_start", t.id_start), dump.numbers("id_end", t.id_end);
  dump.numbers("word_begin", t.word_begin), dump.numbers("word_end", t.word_end), dump.strings("token.text", t.text);
  dump.strings("token.misc", t.misc), dump.strings("ner", t.ner), dump.lists("multi_ner", t.multi_ner, true);
  dump.numbers("token.start", t.start_char), dump.numbers("token.end", t.end_char);
  dump.numbers("token.manual", t.manual_expansion), dump.strings("spaces_before", t.spaces_before);
  dump.strings("spaces_after", t.spaces_after);
  const WordColumns& w = d.words;
  dump.numbers("word.sentence", w.sentence), dump.numbers("parent_token", w.parent_token), dump.numbers("id", w.id);
  dump.numbers("empty_index", w.empty_index), dump.strings("word.text", w.text), dump.strings("lemma", w.lemma);
  dump.strings("upos", w.upos), dump.strings("xpos", w.xpos), dump.strings("feats", w.feats);
  dump.numbers("head", w.head), dump.strings("deprel", w.deprel), dump.strings("deps", w.deps);
  dump.strings("word.misc", w.misc), dump.numbers("word.start", w.start_char), dump.numbers("word.end", w.end_char);
  dump.numbers("word.manual", w.manual_expansion), dump.lists("morphemes", w.morphemes, true);
  const SpanColumns& p = d.spans;
  dump.numbers("span.sentence", p.sentence), dump.numbers("token_begin", p.token_begin);
  dump.numbers("token_end", p.token_end), dump.numbers("span.word_begin", p.word_begin);
  dump.numbers("span.word_end", p.word_end), dump.strings("span.text", p.text), dump.strings("type", p.type);
  dump.numbers("span.start", p.start_char), dump.numbers("span.end", p.end_char);
  dump.numbers("num_words", std::vector<std::uint64_t>{d.num_words});
  dump.strings("lang", {d.lang});
  return dump.lines;
}

// Three sentences with every kind of cell: absent and empty strings, head 0
// and absent, tri-state flags, a multi-word token, a token without words, a
// sentence without tokens, and empty words (one added after the build).
Document rich_document() {
  const std::string text = "Au du  monde. x\tZ";
  SentenceInput s0;
  TokenInput au = token(1, 2, "Au", {word(1, "A"), word(2, "le")});
  au.start_char = 0, au.end_char = 2, au.manual_expansion = false, au.misc = "", au.ner = "B-LOC";
  au.multi_ner = {"B-LOC", "O"};
  au.words[0].head = 0, au.words[0].lemma = "", au.words[0].manual_expansion = true, au.words[0].misc = "";
  au.words[0].morphemes = {"A", ""}, au.words[1].head = 1, au.words[1].deprel = "det", au.words[1].deps = "1:det";
  au.words[1].upos = "DET", au.words[1].xpos = "", au.words[1].feats = "Definite=Def";
  au.words[1].start_char = 1, au.words[1].end_char = 2, au.words[1].manual_expansion = false;
  TokenInput du = single(3, "du");
  du.start_char = 3, du.end_char = 5, du.misc = "MWT=Yes", du.ner = "E-LOC", du.manual_expansion = true;
  du.spaces_after = "  ";
  TokenInput monde = token(4, 4, "monde", {});  // no word rows
  monde.start_char = 7, monde.end_char = 12;
  s0.tokens = {au, du, monde, single(5, ".")};
  s0.empty_words = {word(2, "E"), word(0, "Z")};
  s0.empty_words[0].empty_index = 1, s0.empty_words[1].empty_index = 2, s0.empty_words[1].head = 0;
  s0.sent_id = "first", s0.speaker = "", s0.doc_id = "d1", s0.sentiment = 0, s0.comments = {"# c", ""};
  SentenceInput s1;  // no tokens, one empty word, text given
  s1.empty_words = {word(0, "W")};
  s1.empty_words[0].empty_index = 1;
  s1.text = "";
  SentenceInput s2;
  TokenInput x = single(1, "x");
  x.spaces_before = "\t", x.spaces_after = "", x.start_char = 14, x.end_char = 15;
  s2.tokens = {x, single(2, "Z")};
  s2.sentiment = -2;
  Document doc(text, {s0, s1, s2});
  doc.set_lang("fr");
  WordInput added = word(2, "G");
  added.empty_index = 1;
  doc.storage()->add_empty_word(2, added);  // as coreference adds them
  return doc;
}

TEST(DocumentRecords, RebuildARichDocumentColumnForColumn) {
  const Document doc = rich_document();
  const std::vector<SentenceInput> records = detail::to_sentence_inputs(doc);
  DocumentStorage rebuilt(doc.text());
  rebuilt.build(records);
  rebuilt.lang = rebuilt.pool.intern_optional(doc.lang());
  EXPECT_EQ(columns(rebuilt), columns(*doc.storage()));

  ASSERT_EQ(records.size(), 3u);
  const TokenInput& au = records[0].tokens[0];
  EXPECT_EQ(au.misc, std::optional<std::string>(""));
  EXPECT_EQ(au.manual_expansion, std::optional<bool>(false));
  EXPECT_EQ(records[0].tokens[1].manual_expansion, std::optional<bool>(true));
  EXPECT_EQ(records[0].tokens[3].manual_expansion, std::nullopt);
  EXPECT_EQ(au.words[0].head, std::optional<std::int32_t>(0));
  EXPECT_EQ(au.words[1].head, std::optional<std::int32_t>(1));
  EXPECT_EQ(records[0].tokens[1].words[0].head, std::nullopt);
  EXPECT_EQ(records[0].tokens[1].words[0].misc, std::nullopt);
  EXPECT_TRUE(records[0].tokens[2].words.empty());
  EXPECT_TRUE(records[1].tokens.empty());
  EXPECT_EQ(records[1].text, std::optional<std::string>(""));
  EXPECT_EQ(records[1].sent_id, std::optional<std::string>("1"));  // derived at the build, now carried
  ASSERT_EQ(records[2].empty_words.size(), 1u);
  EXPECT_EQ(records[2].empty_words[0].text, "G");
  EXPECT_TRUE(detail::to_sentence_inputs(Document("no sentences")).empty());
}

// --- The rewrite ---------------------------------------------------------------

// "text first-last {misc} m=flag: [id text h=head {misc} @start-end] ..." per
// token, "(id.index text)" per empty word, sentences joined by " | ".
std::string layout(const Document& doc) {
  std::string out;
  for (const SentenceInput& s : detail::to_sentence_inputs(doc)) {
    if (!out.empty()) out += "| ";
    for (const TokenInput& t : s.tokens) {
      out += t.text + " " + std::to_string(t.id_start) + "-" + std::to_string(t.id_end);
      if (t.misc) out += " {" + *t.misc + "}";
      if (t.manual_expansion) out += std::string(" m=") + (*t.manual_expansion ? "1" : "0");
      out += ":";
      for (const WordInput& w : t.words) {
        out += " [" + std::to_string(w.id) + " " + w.text;
        if (w.head) out += " h=" + std::to_string(*w.head);
        if (w.deprel) out += " " + *w.deprel;
        if (w.lemma) out += " l=" + *w.lemma;
        if (w.misc) out += " {" + *w.misc + "}";
        if (w.start_char) out += " @" + std::to_string(*w.start_char) + "-" + std::to_string(*w.end_char);
        out += "]";
      }
      out += " ";
    }
    for (const WordInput& w : s.empty_words) {
      out += "(" + std::to_string(w.id) + "." + std::to_string(*w.empty_index) + " " + w.text + ") ";
    }
  }
  return out;
}

// The worked example, then the rest of the rules in a second sentence.
Document tokenized_document() {
  SentenceInput s0;
  TokenInput bc = single(2, "bc");
  bc.start_char = 2, bc.end_char = 4, bc.misc = "SpaceAfter=No|MWT=Yes", bc.ner = "S-LOC";
  bc.words[0].lemma = "bc", bc.words[0].misc = "MWT=Yes", bc.words[0].head = 1;
  TokenInput a = single(1, "a");
  a.words[0].head = 2, a.words[0].deprel = "nsubj", a.words[0].deps = "2:nsubj";
  TokenInput q = single(7, "q");  // stored id 7: renumbered
  q.start_char = 7, q.end_char = 8, q.misc = "A=B||MWT=Yes|";
  s0.tokens = {a, bc, single(3, "d"), q};
  s0.empty_words = {word(2, "E")};
  s0.empty_words[0].empty_index = 1;

  SentenceInput s1;
  TokenInput xyz = single(1, "xyz");
  xyz.misc = "MWT=Yes";
  TokenInput mn = token(2, 3, "mn", {word(2, "m"), word(3, "n")});  // manual: shifted by 4 - 2
  mn.manual_expansion = true, mn.words[0].head = 1, mn.words[0].lemma = "m";
  TokenInput rr = single(4, "rr");  // an expansion of spaces only
  rr.misc = "MWT=Yes|MWT=Yes|A=B", rr.start_char = 17, rr.end_char = 19;
  TokenInput r = single(5, "r");  // look-alike entries; only the word's MISC holds the flag
  r.misc = "mwt=yes|MWT=Yes |MWT=No", r.words[0].misc = "MWT=Yes";
  TokenInput st = token(9, 10, "st", {word(9, "s"), word(10, "t")});  // two words, not flagged
  st.words[1].head = 9;
  TokenInput u = token(5, 5, "u", {word(8, "u1"), word(9, "u2")});  // manual, words outside its range
  u.manual_expansion = true;
  TokenInput vw = single(11, "vw");
  vw.misc = "MWT=Yes", vw.manual_expansion = true;
  s1.tokens = {xyz, mn, rr, r, st, u, vw};
  s1.empty_words = {word(3, "F")};
  s1.empty_words[0].empty_index = 1;
  Document doc("a bc d q. xyz mn rr r st u vw", {s0, s1});
  doc.set_lang("fr");
  return doc;
}

std::vector<std::string> expand_by_table(const std::vector<std::string>& tokens) {
  const std::map<std::string, std::string> table = {
      {"bc", "b c"}, {"q", "Q"}, {"xyz", "x y z"}, {"rr", "   "}, {"vw", "v  w "}};
  std::vector<std::string> out;
  for (const std::string& t : tokens) out.push_back(table.at(t));
  return out;
}

TEST(MWTProcess, ExpandsRenumbersAndRebuilds) {
  Document doc = tokenized_document();
  doc.sentences().at(0).set_constituency(ConstituencyTree("ROOT", {ConstituencyTree("a", {})}));
  doc.set_coref({CorefChain(0, {CorefMention(0, {0, {}}, {1, {}})}, "a", std::nullopt)});
  const Document view_holder = doc;
  std::vector<Strings> calls;
  const Document result = detail::expand_flagged_tokens(doc, [&](const Strings& tokens) {
    calls.push_back(tokens);
    return expand_by_table(tokens);
  });
  EXPECT_EQ(calls, (std::vector<Strings>{{"bc", "q", "xyz", "rr", "vw"}}));
  const std::string expected =
      "a 1-1: [1 a] bc 2-3 {SpaceAfter=No}: [2 b] [3 c] d 4-4: [4 d] q 5-5 {A=B}: [5 q @7-8] (2.1 E) | "
      "xyz 1-3: [1 x] [2 y] [3 z] mn 4-5: [4 m h=1 l=m] [5 n] rr 6-6 {A=B}: [6 rr @17-19] "
      "r 7-7 {mwt=yes|MWT=Yes |MWT=No}: [7 r {MWT=Yes}] st 8-9: [8 s] [9 t] u 10-11: [10 u1] [11 u2] "
      "vw 12-13 m=1: [12 v] [13 w] (3.1 F) ";
  EXPECT_EQ(layout(result), expected);
  EXPECT_TRUE(result.same_storage(doc));
  EXPECT_EQ(layout(view_holder), layout(result));  // every handle sees the rebuilt storage
  EXPECT_EQ(doc.lang(), "fr");
  EXPECT_FALSE(doc.sentences().at(0).constituency().has_value());
  EXPECT_TRUE(doc.coref().empty());
  ASSERT_EQ(doc.ents().size(), 1u);  // recomputed from the tags, now over two words
  EXPECT_EQ(doc.ents().at(0).text(), "bc");
  EXPECT_EQ(doc.num_words(), 18u);
}

TEST(MWTProcess, AFailurePartWayLeavesTheDocumentUnchanged) {
  Document doc = tokenized_document();
  doc.sentences().at(0).set_constituency(ConstituencyTree("ROOT", {ConstituencyTree("a", {})}));
  const std::string before = layout(doc) + doc.to_conll();
  EXPECT_THROW(detail::expand_flagged_tokens(doc, [](const Strings&) -> Strings { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_THROW(detail::expand_flagged_tokens(doc, [](const Strings&) { return Strings{"b c"}; }), std::logic_error);
  EXPECT_EQ(layout(doc) + doc.to_conll(), before);
  EXPECT_TRUE(doc.sentences().at(0).constituency().has_value());
}

TEST(MWTProcess, DocumentsWithoutFlagsKeepTheirWordsRenumbered) {
  Document empty("nothing here");
  empty.set_lang("fr");
  int calls = 0;
  const auto count = [&](const Strings& t) { ++calls; return t; };
  const Document same = detail::expand_flagged_tokens(empty, count);
  EXPECT_EQ(same.sentences().size(), 0u);
  EXPECT_EQ(same.text(), "nothing here");
  EXPECT_EQ(same.lang(), "fr");

  SentenceInput s;
  TokenInput b = single(3, "b");
  b.words[0].head = 0, b.words[0].deprel = "root", b.words[0].upos = "X";
  s.tokens = {single(1, "a"), b, single(7, "c")};
  Document plain("a b c", {s, s});
  detail::expand_flagged_tokens(plain, count);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(layout(plain), "a 1-1: [1 a] b 2-2: [2 b] c 3-3: [3 c] | a 1-1: [1 a] b 2-2: [2 b] c 3-3: [3 c] ");
  EXPECT_EQ(plain.words().at(1).upos(), "X");

  // Ids at the top of the 32-bit range: a manual range that cannot move
  // without overflowing is numbered consecutively; running past the range
  // is refused, and nothing changes.
  constexpr int kMax = std::numeric_limits<std::int32_t>::max();
  TokenInput wide = token(1, kMax, "w", {word(1, "w")});
  wide.manual_expansion = true;
  SentenceInput shifted;
  shifted.tokens = {single(1, "a"), single(2, "b"), wide};
  Document shifted_doc("a b w", {shifted});
  detail::expand_flagged_tokens(shifted_doc, count);
  EXPECT_EQ(layout(shifted_doc), "a 1-1: [1 a] b 2-2: [2 b] w 3-3: [3 w] ");
  wide = token(1, kMax - 1, "w", {word(1, "w")});
  wide.manual_expansion = true;
  SentenceInput overflowing;
  overflowing.tokens = {wide, single(2, "c"), single(3, "d")};
  Document overflowing_doc("w c d", {overflowing});
  const std::string before = layout(overflowing_doc);
  EXPECT_THROW_MSG(detail::expand_flagged_tokens(overflowing_doc, count), std::overflow_error,
                   "a sentence has too many words");
  EXPECT_EQ(layout(overflowing_doc), before);
}

// Through the plan, with a dictionary bundle.
TEST(MWTProcess, ThePlanExpandsWithItsDictionary) {
  testing::TempDir root;
  testing::write_generated_bundles("mwt_bundle.py", root.path(),
                                   {{root / "dict", R"({"mode": "dict", "dictionary": {"du": "de le"}})"}});
  const MWTPlan plan(root / "dict", false);
  SentenceInput s;
  TokenInput du = single(2, "Du");
  du.misc = "MWT=Yes";
  TokenInput au = single(3, "au");
  au.misc = "MWT=Yes";
  s.tokens = {single(1, "x"), du, au};
  const Document doc("x Du au", {s});
  const Document result = plan.process(doc);
  EXPECT_EQ(layout(doc), "x 1-1: [1 x] Du 2-3: [2 De] [3 le] au 4-4: [4 au] ");
  EXPECT_TRUE(result.same_storage(doc));
}

}  // namespace
}  // namespace lorvane
