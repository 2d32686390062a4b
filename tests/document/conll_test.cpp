#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "document_records.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using namespace testing::records;

std::string conll_of(SentenceInput s) {
  std::vector<SentenceInput> sentences;
  sentences.push_back(std::move(s));
  return Document("", std::move(sentences)).sentences().at(0).to_conll();
}

// A word line whose columns 3 to 10 are all "_".
std::string bare(const std::string& id, const std::string& form) { return id + "\t" + form + "\t_\t_\t_\t_\t_\t_\t_\t_"; }

TEST(Conll, MinimalSentenceBytes) {
  SentenceInput s = sentence({token(1, "Hi"), token(2, ".")});
  s.sent_id = "s1";
  s.text = "Hi .";
  EXPECT_EQ(conll_of(s), "# sent_id = s1\n# text = Hi .\n" + bare("1", "Hi") + "\n" + bare("2", "."));
}

struct HeaderCase {
  const char* name;
  std::vector<std::string> comments;
  std::optional<std::string> text;
  std::string expected;  // header lines only
};

class ConllHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ConllHeader, Lines) {
  const auto& c = GetParam();
  SentenceInput s = sentence({token(1, "w")});
  s.sent_id = "s9";
  s.text = c.text;
  s.comments = c.comments;
  EXPECT_EQ(conll_of(s), c.expected + bare("1", "w"));
}

INSTANTIATE_TEST_SUITE_P(
    Comments, ConllHeader,
    ::testing::Values(
        HeaderCase{"generated", {}, "w", "# sent_id = s9\n# text = w\n"},
        HeaderCase{"user_sent_id", {"# sent_id = x"}, "w", "# sent_id = x\n# text = w\n"},
        HeaderCase{"sent_id_prefix_only", {"# sent_identifier"}, "w", "# sent_identifier\n# text = w\n"},
        HeaderCase{"bare_sent_id", {"# sent_id"}, "w", "# sent_id\n# text = w\n"},
        HeaderCase{"too_short_for_sent_id", {"# sent_i"}, "w", "# sent_i\n# sent_id = s9\n# text = w\n"},
        HeaderCase{"text_colon", {"# text: y"}, "w", "# text: y\n# sent_id = s9\n"},
        HeaderCase{"bare_text", {"# text"}, "w", "# text\n# sent_id = s9\n"},
        HeaderCase{"too_short_for_text", {"# tex"}, "w", "# tex\n# sent_id = s9\n# text = w\n"},
        HeaderCase{"no_space_after_hash", {"#text = y", "#sent_id = 3"}, "w",
                   "#text = y\n#sent_id = 3\n# sent_id = s9\n# text = w\n"},
        HeaderCase{"comments_in_order", {"# newdoc", "# text = kept", "# sent_id = k"}, "w",
                   "# newdoc\n# text = kept\n# sent_id = k\n"},
        HeaderCase{"empty_comment", {""}, "w", "\n# sent_id = s9\n# text = w\n"},
        HeaderCase{"empty_text", {}, "", "# sent_id = s9\n"},
        HeaderCase{"line_breaks_in_text", {}, "a\nb\r\nc\rd", "# sent_id = s9\n# text = a b  c d\n"},
        HeaderCase{"user_comment_unchanged", {"# note = x\ty"}, "w", "# note = x\ty\n# sent_id = s9\n# text = w\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Conll, TextWithLineBreaksStaysStoredAsIs) {
  TokenInput one = token(1, "One");
  one.start_char = 0;
  one.end_char = 3;
  TokenInput two = token(2, "two");
  two.start_char = 4;
  two.end_char = 7;
  std::vector<SentenceInput> sentences{sentence({one, two})};
  Document doc("One\ntwo", std::move(sentences));
  const Sentence s = doc.sentences().at(0);
  // The text is derived from the document text, line break included.
  EXPECT_EQ(s.text(), "One\ntwo");
  EXPECT_EQ(s.to_conll(), "# sent_id = 0\n# text = One two\n" + bare("1", "One") + "\n" + bare("2", "two"));
  EXPECT_EQ(s.text(), "One\ntwo");
}

TEST(Conll, AbsentSentIdAndTextUseTheRow) {
  std::vector<SentenceInput> sentences(5, sentence({token(1, "w")}));
  Document doc("", std::move(sentences));
  doc.storage()->sentences.sent_id[4] = kNoIndex;
  doc.storage()->sentences.text[4] = kNoIndex;
  EXPECT_EQ(doc.sentences().at(4).to_conll(), "# sent_id = 4\n" + bare("1", "w"));
}

TEST(Conll, AllColumns) {
  WordInput w = word(1, "Dogs");
  w.lemma = "dog";
  w.upos = "NOUN";
  w.xpos = "NNS";
  w.feats = "Number=Plur";
  w.head = 2;
  w.deprel = "nsubj";
  w.deps = "2:nsubj";
  w.misc = "SpaceAfter=No";
  TokenInput t = token(1, "Dogs");
  t.words = {w};
  WordInput root = word(2, "bark");
  root.head = 0;
  root.lemma = "";
  root.deprel = "root";
  TokenInput t2 = token(2, "bark");
  t2.words = {root};
  SentenceInput s = sentence({t, t2});
  s.sent_id = "a";
  s.text = "Dogs bark ";
  EXPECT_EQ(conll_of(s),
            "# sent_id = a\n# text = Dogs bark \n"
            "1\tDogs\tdog\tNOUN\tNNS\tNumber=Plur\t2\tnsubj\t2:nsubj\tSpaceAfter=No\n"
            "2\tbark\t_\t_\t_\t_\t0\troot\t_\t_");
}

TEST(Conll, EmptyOptionalValuesWriteUnderscore) {
  WordInput w = word(1, "x");
  w.lemma = w.upos = w.xpos = w.feats = w.deprel = w.deps = w.misc = "";
  TokenInput t = token(1, "x");
  t.words = {w};
  SentenceInput s = sentence({t});
  s.text = "";
  EXPECT_EQ(conll_of(s), "# sent_id = 0\n" + bare("1", "x"));
}

TEST(Conll, MiscWithMorphemes) {
  struct Case {
    std::optional<std::string> misc;
    std::vector<std::string> morphemes;
    std::string column;
  };
  const std::vector<Case> cases = {
      {"SpaceAfter=No", {"un", "do"}, "SpaceAfter=No|Morphemes=un,do"},
      {std::nullopt, {"un", "do"}, "Morphemes=un,do"},
      {"", {"un"}, "Morphemes=un"},
      {std::nullopt, {}, "_"},
      {"", {}, "_"},
      {"A=1|B=2", {}, "A=1|B=2"},
      {std::nullopt, {"", "x"}, "Morphemes=,x"},
  };
  for (const auto& c : cases) {
    WordInput w = word(1, "undo");
    w.misc = c.misc;
    w.morphemes = c.morphemes;
    TokenInput t = token(1, "undo");
    t.words = {w};
    SentenceInput s = sentence({t});
    s.text = "";
    EXPECT_EQ(conll_of(s), "# sent_id = 0\n1\tundo\t_\t_\t_\t_\t_\t_\t_\t" + c.column) << c.column;
  }
}

TEST(Conll, MultiWordTokenRangeLines) {
  TokenInput du = mwt(1, "du", {"de", "le"});
  du.misc = "SpaceAfter=No";
  TokenInput au = mwt(4, "au", {"à", "le"});
  SentenceInput s = sentence({du, token(3, "x"), au});
  s.text = "";
  EXPECT_EQ(conll_of(s), "# sent_id = 0\n"
                         "1-2\tdu\t_\t_\t_\t_\t_\t_\t_\tSpaceAfter=No\n" +
                             bare("1", "de") + "\n" + bare("2", "le") + "\n" + bare("3", "x") +
                             "\n"
                             "4-5\tau\t_\t_\t_\t_\t_\t_\t_\t_\n" +
                             bare("4", "à") + "\n" + bare("5", "le"));
}

TEST(Conll, RangeLineFollowsTheIdsNotTheWordCount) {
  // A range token with one word still gets its range line; a single-id token
  // with two words gets none, and a token without words writes nothing.
  TokenInput ranged = mwt(1, "ab", {"a"});
  ranged.id_end = 2;
  TokenInput two_words = mwt(3, "cd", {"c", "d"});
  two_words.id_end = 3;
  TokenInput wordless = token(5, "e");
  wordless.words.clear();
  SentenceInput s = sentence({ranged, two_words, wordless});
  s.text = "";
  EXPECT_EQ(conll_of(s), "# sent_id = 0\n1-2\tab\t_\t_\t_\t_\t_\t_\t_\t_\n" + bare("1", "a") + "\n" +
                             bare("3", "c") + "\n" + bare("4", "d"));
}

struct EmptyWordCase {
  const char* name;
  std::vector<WordInput> empty_words;
  std::vector<std::string> ids;  // id column of the body lines
};

class ConllEmptyWords : public ::testing::TestWithParam<EmptyWordCase> {};

TEST_P(ConllEmptyWords, FollowTheListCursor) {
  // Tokens: 1, 2, 3-4 (multi-word), 5.
  SentenceInput s = sentence({token(1, "a"), token(2, "b"), mwt(3, "cd", {"c", "d"}), token(5, "e")});
  s.text = "";
  s.empty_words = GetParam().empty_words;
  const std::string out = conll_of(s);
  std::vector<std::string> ids;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("#")) continue;
    ids.push_back(line.substr(0, line.find('\t')));
  }
  EXPECT_EQ(ids, GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, ConllEmptyWords,
    ::testing::Values(
        EmptyWordCase{"none", {}, {"1", "2", "3-4", "3", "4", "5"}},
        EmptyWordCase{"before_first", {empty_word(0, 1, "z")}, {"0.1", "1", "2", "3-4", "3", "4", "5"}},
        EmptyWordCase{"after_two", {empty_word(2, 1, "z")}, {"1", "2", "2.1", "3-4", "3", "4", "5"}},
        EmptyWordCase{"inside_range", {empty_word(3, 1, "z")}, {"1", "2", "3-4", "3", "4", "3.1", "5"}},
        EmptyWordCase{"past_the_end", {empty_word(5, 1, "z"), empty_word(9, 2, "y")},
                      {"1", "2", "3-4", "3", "4", "5", "5.1", "9.2"}},
        EmptyWordCase{"list_order_wins", {empty_word(5, 1, "z"), empty_word(2, 1, "y")},
                      {"1", "2", "3-4", "3", "4", "5", "5.1", "2.1"}},
        EmptyWordCase{"same_id_in_list_order", {empty_word(1, 2, "z"), empty_word(1, 1, "y")},
                      {"1", "1.2", "1.1", "2", "3-4", "3", "4", "5"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Conll, EmptyWordColumns) {
  WordInput z = empty_word(2, 1, "pro");
  z.upos = "PRON";
  z.deps = "1:nsubj";
  z.misc = "Gen=Yes";
  z.morphemes = {"p", "ro"};
  SentenceInput s = sentence({token(1, "a"), token(2, "b")});
  s.text = "";
  s.empty_words = {z};
  EXPECT_EQ(conll_of(s), "# sent_id = 0\n" + bare("1", "a") + "\n" + bare("2", "b") +
                             "\n2.1\tpro\t_\tPRON\t_\t_\t_\t_\t1:nsubj\tGen=Yes|Morphemes=p,ro");
}

TEST(Conll, AddedEmptyWordsAreWritten) {
  std::vector<SentenceInput> sentences{sentence({token(1, "a"), token(2, "b")})};
  sentences[0].text = "";
  Document doc("", std::move(sentences));
  doc.storage()->add_empty_word(0, empty_word(1, 1, "z"));
  EXPECT_EQ(doc.to_conll(), "# sent_id = 0\n" + bare("1", "a") + "\n" + bare("1.1", "z") + "\n" + bare("2", "b"));
}

TEST(Conll, HeaderOnlySentenceAndDocumentJoins) {
  SentenceInput header_only;
  header_only.sent_id = "h";
  SentenceInput second = sentence({token(1, "w")});
  second.text = "";
  std::vector<SentenceInput> sentences{header_only, second, header_only};
  Document doc("", sentences);
  EXPECT_EQ(doc.sentences().at(0).to_conll(), "# sent_id = h\n");
  EXPECT_EQ(doc.to_conll(), "# sent_id = h\n\n\n# sent_id = 1\n" + bare("1", "w") + "\n\n# sent_id = h\n");
}

TEST(Conll, DocumentBlocks) {
  EXPECT_EQ(Document("").to_conll(), "");
  EXPECT_EQ(Document("", {}).to_conll(), "");
  SentenceInput a = sentence({token(1, "a")});
  SentenceInput b = sentence({token(1, "b")});
  Document doc("a b", {a, b});
  const std::string first = doc.sentences().at(0).to_conll();
  const std::string second = doc.sentences().at(1).to_conll();
  EXPECT_EQ(first, "# sent_id = 0\n# text = a \n" + bare("1", "a"));
  EXPECT_EQ(doc.to_conll(), first + "\n\n" + second);
}

TEST(Conll, ReflectsLaterCellWrites) {
  Document doc("", {sentence({token(1, "w")})});
  Word w = doc.words().at(0);
  w.set_upos("X");
  w.set_head(0);
  w.set_morphemes({"w"});
  doc.tokens().at(0).set_text("W");
  EXPECT_EQ(doc.to_conll(), "# sent_id = 0\n# text = w \n1\tw\t_\tX\t_\t_\t0\t_\t_\tMorphemes=w");
}

TEST(Conll, ValuesAreNotEscaped) {
  WordInput w = word(1, "a\tb");
  w.lemma = "c\nd";
  TokenInput t = token(1, "a\tb");
  t.words = {w};
  SentenceInput s = sentence({t});
  s.sent_id = "x y";
  s.text = "";
  EXPECT_EQ(conll_of(s), "# sent_id = x y\n1\ta\tb\tc\nd\t_\t_\t_\t_\t_\t_\t_");
}

TEST(Conll, StaleSentenceViewThrowsItsOwnError) {
  Document doc("", {sentence({token(1, "a")}), sentence({token(1, "b")})});
  const Sentence last = doc.sentences().at(1);
  doc.storage()->replace({sentence({token(1, "a")})});
  EXPECT_THROW_MSG(last.to_conll(), std::out_of_range, "invalid sentence view");
}

// ---------------------------------------------------------------------------
// Cross-check with an independent CoNLL-U reader
// ---------------------------------------------------------------------------

// JSON as Python's json.dumps writes it with ensure_ascii=False and compact
// separators, so that the reader's output can be compared byte for byte.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string json_pairs(const Pairs& pairs) {
  if (pairs.empty()) return "null";
  std::string out = "[";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) out += ",";
    out += "[" + json_string(pairs[i].first) + "," + json_string(pairs[i].second) + "]";
  }
  return out + "]";
}

// null for an absent or empty value, which the writer prints as "_".
std::string json_value(const std::optional<std::string>& value) {
  return value && !value->empty() ? json_string(*value) : "null";
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + 1) {
    parts.push_back(text.substr(begin, end - begin));
  }
  parts.push_back(text.substr(begin));
  return parts;
}

// "a=1|b=2" -> {a, 1}, {b, 2}, split at the first separator of each item.
Pairs split_pairs(const std::optional<std::string>& value, char separator, bool value_first = false) {
  Pairs pairs;
  if (!value || value->empty()) return pairs;
  for (const auto& item : split(*value, '|')) {
    const auto at = item.find(separator);
    std::string key = item.substr(0, at), rest = item.substr(at + 1);
    pairs.emplace_back(value_first ? rest : key, value_first ? key : rest);
  }
  return pairs;
}

struct Fields {
  std::string id;
  std::optional<std::string> form, lemma, upos, xpos, feats, head, deprel, deps;
  Pairs misc;
};

std::string json_fields(const Fields& f) {
  // deps hold head:relation; the reader lists them as [head, relation].
  Pairs deps;
  if (f.deps && !f.deps->empty()) {
    for (const auto& item : split(*f.deps, '|')) {
      const auto at = item.find(':');
      deps.emplace_back(item.substr(0, at), item.substr(at + 1));
    }
  }
  return "{\"id\":" + json_string(f.id) + ",\"form\":" + json_value(f.form) + ",\"lemma\":" + json_value(f.lemma) +
         ",\"upos\":" + json_value(f.upos) + ",\"xpos\":" + json_value(f.xpos) +
         ",\"feats\":" + json_pairs(split_pairs(f.feats, '=')) + ",\"head\":" + json_value(f.head) +
         ",\"deprel\":" + json_value(f.deprel) + ",\"deps\":" + json_pairs(deps) +
         ",\"misc\":" + json_pairs(f.misc) + "}";
}

Fields word_fields(const Word& w) {
  Fields f;
  f.id = std::to_string(w.id()) + (w.empty_index() ? "." + std::to_string(*w.empty_index()) : "");
  f.form = w.text();
  f.lemma = w.lemma();
  f.upos = w.upos();
  f.xpos = w.xpos();
  f.feats = w.feats();
  if (w.head()) f.head = std::to_string(*w.head());
  f.deprel = w.deprel();
  f.deps = w.deps();
  f.misc = split_pairs(w.misc(), '=');
  const auto morphemes = w.morphemes();
  if (!morphemes.empty()) {
    std::string joined;
    for (const auto& m : morphemes) joined += (joined.empty() ? "" : ",") + m;
    f.misc.emplace_back("Morphemes", joined);
  }
  return f;
}

Fields range_fields(const Token& t) {
  Fields f;
  f.id = std::to_string(t.id_range().first) + "-" + std::to_string(t.id_range().second);
  f.form = t.text();
  f.misc = split_pairs(t.misc(), '=');
  return f;
}

// What the reader should find for a sentence: its metadata (comments of the
// form "# key = value", then the generated sent_id and text) and its lines.
// Lines follow all_words, which matches the writer's order when the empty
// words were added in id order, with range lines before their first word.
std::string expected_sentence(const Sentence& s) {
  Pairs metadata;
  bool has_sent_id = false, has_text = false;
  for (const auto& comment : s.comments()) {
    const auto at = comment.find(" = ");
    metadata.emplace_back(comment.substr(2, at - 2), comment.substr(at + 3));
    has_sent_id = has_sent_id || metadata.back().first == "sent_id";
    has_text = has_text || metadata.back().first == "text";
  }
  if (!has_sent_id) metadata.emplace_back("sent_id", *s.sent_id());
  if (!has_text && !s.text().empty()) metadata.emplace_back("text", s.text());

  std::string lines;
  const auto words = s.all_words();
  for (std::uint64_t i = 0; i < words.size(); ++i) {
    const Word w = words.at(static_cast<std::int64_t>(i));
    const auto parent = w.parent();
    if (parent && parent->id_range().first != parent->id_range().second && parent->id_range().first == w.id()) {
      lines += (lines.empty() ? "" : ",") + json_fields(range_fields(*parent));
    }
    lines += (lines.empty() ? "" : ",") + json_fields(word_fields(w));
  }
  return "{\"metadata\":" + json_pairs(metadata) + ",\"lines\":[" + lines + "]}";
}

WordInput annotated(std::int32_t id, const std::string& text, const std::string& lemma, const std::string& upos,
                    std::optional<std::string> feats, std::optional<int> head, const std::string& deprel) {
  WordInput w = word(id, text);
  w.lemma = lemma;
  w.upos = upos;
  w.xpos = upos + "x";
  w.feats = std::move(feats);
  w.head = head;
  w.deprel = deprel;
  w.deps = std::to_string(head.value_or(0)) + ":" + deprel;
  return w;
}

Document rich_document() {
  // Sentence 0: comments, a multi-word token with MISC, morphemes with and
  // without MISC, an empty word 3.1, a head 0 and full feature lists.
  TokenInput il = token(1, "Il");
  il.words = {annotated(1, "Il", "il", "PRON", "Gender=Masc|Number=Sing|Person=3", 3, "nsubj")};
  TokenInput a = token(2, "a");
  a.words = {annotated(2, "a", "avoir", "AUX", "Mood=Ind|Tense=Pres", 3, "aux")};
  TokenInput vu = token(3, "vu");
  vu.words = {annotated(3, "vu", "voir", "VERB", "VerbForm=Part", 0, "root")};
  vu.words[0].deps = "0:root|3.1:dep";
  TokenInput du = mwt(4, "du", {"de", "le"});
  du.misc = "SpaceAfter=No";
  du.words[0] = annotated(4, "de", "de", "ADP", std::nullopt, 6, "case");
  du.words[1] = annotated(5, "le", "le", "DET", "Definite=Def", 6, "det");
  TokenInput pain = token(6, "pain");
  pain.words = {annotated(6, "pain", "pain", "NOUN", "Number=Sing", 3, "obj")};
  pain.words[0].misc = "SpaceAfter=No";
  pain.words[0].morphemes = {"pa", "in"};
  TokenInput dot = token(7, ".");
  dot.words = {annotated(7, ".", ".", "PUNCT", std::nullopt, 3, "punct")};
  dot.words[0].morphemes = {"."};
  SentenceInput first = sentence({il, a, vu, du, pain, dot});
  first.comments = {"# newdoc id = d1", "# note = \"quoted\" \\ back"};
  first.sent_id = "s-1";
  first.text = "Il a vu du pain.";
  WordInput elle = empty_word(3, 1, "elle");
  elle.upos = "PRON";
  elle.deps = "3:nsubj";
  elle.misc = "Gen=Yes";
  first.empty_words = {elle};

  // Sentence 1: a user text comment, derived sent_id, an empty word before
  // word 1, non-ASCII forms, an empty lemma and a multi-word token without MISC.
  TokenInput je = token(1, "Jé");
  je.words[0].lemma = "";
  je.words[0].feats = "Person=1";
  TokenInput appelle = mwt(2, "m'appelle", {"m'", "appelle"});
  appelle.words[1].head = 1;
  SentenceInput second = sentence({je, appelle});
  second.comments = {"# text = Jé m'appelle", "# speaker = Zoë"};
  second.empty_words = {empty_word(0, 1, "∅")};

  std::vector<SentenceInput> sentences{first, second};
  return Document("", std::move(sentences));
}

TEST(Conll, IndependentReaderSeesTheDocumentsFields) {
  const Document doc = rich_document();
  ::lorvane::testing::TempDir dir;
  std::string expected = "[";
  for (std::uint64_t i = 0; i < doc.sentences().size(); ++i) {
    expected += (i > 0 ? "," : "") + expected_sentence(doc.sentences().at(static_cast<std::int64_t>(i)));
  }
  expected += "]";

  // The document as written, and each sentence block on its own.
  ::lorvane::testing::write_file(dir / "doc.conllu", doc.to_conll());
  const std::string script = (::lorvane::testing::source_dir() / "tests/document/conllu_fields.py").string();
  EXPECT_EQ(::lorvane::testing::run_python({script, (dir / "doc.conllu").string()}), expected);
  for (std::uint64_t i = 0; i < doc.sentences().size(); ++i) {
    const Sentence s = doc.sentences().at(static_cast<std::int64_t>(i));
    ::lorvane::testing::write_file(dir / "one.conllu", s.to_conll());
    EXPECT_EQ(::lorvane::testing::run_python({script, (dir / "one.conllu").string()}),
              "[" + expected_sentence(s) + "]");
  }
}

}  // namespace
}  // namespace lorvane
