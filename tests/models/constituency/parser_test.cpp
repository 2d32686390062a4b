// The word encoder, the stacks and the transition parser against the eager
// reference (tests/reference/constituency_reference.py), transition by
// transition; legality through crafted scores; every message of a parse; the
// document operations and a pipeline.

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "bundle/json.hpp"
#include "lorvane/constituency.hpp"
#include "lorvane/pipeline.hpp"
#include "models/constituency/parser_state.hpp"
#include "models/constituency/parsing.hpp"
#include "models/constituency/reference_bounds.hpp"
#include "models/constituency/transition_choice.hpp"
#include "pipeline/stage_factory.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using Impl = ConstituencyPlan::Impl;
using Strings = std::vector<std::string>;
using detail::constituency::ParseOutcome;
using detail::constituency::SentenceRef;

struct Sentence {
  Strings words;
  Strings tags;
};

// Biases of the last output layer (zero weights): scores that ignore the
// state. Table: 0 shift, 1 NP, 2 VP, 3 close, 4 S, 5 ROOT, 6 [PP NP], 7 [ROOT S].
std::string biased(const std::string& bias, const std::string& more = "") {
  return R"({"tensors": {"output_layers.1.weight": {"dtype": "float32", "shape": [8, 11], "values": "zeros"},
            "output_layers.1.bias": {"dtype": "float32", "shape": [8], "values": )" +
         bias + "}}" + more + "}";
}
const std::string kSmallTable =
    R"("transitions": [{"kind": "shift"}, {"kind": "close"}, {"kind": "open", "open_index": 0, "labels": ["S"]},
        {"kind": "open", "open_index": 1, "labels": ["ROOT"]}])";
// Scores by previous transition over kSmallTable: Shift, then Open S over
// every word, Shift inside it, the Closes at the end, ROOT over everything.
const std::string kRightBranching =
    R"({"assets": {)" + kSmallTable + R"(}, "prev_policy": [[1, 0, 0, 0], [1, 2, 3, 0], [0, 3, 1, 2], [3, 2, 0, 0], [0, 3, 0, 0]]})";

struct Variant {
  std::string name;
  std::string options;
  bool crafted = false;   // parses the three crafted sentences instead of random ones
  bool reference = true;  // compared with the eager reference
};

const std::vector<Variant>& variants() {
  static const std::vector<Variant> list = {
      {"everything", R"({"seed": 1, "scale": 1.0})"},
      {"none_no_tags", R"({"config": {"sentence_boundary_vectors": "NONE", "tag_embedding_dim": 0}, "seed": 2, "scale": 1.0})"},
      {"unary0", R"({"assets": {"unary_limit": 0}, "seed": 3, "scale": 1.5})"},
      {"unary1", R"({"assets": {"unary_limit": 1}, "seed": 4, "scale": 1.5})"},
      {"unary3", R"({"assets": {"unary_limit": 3}, "config": {"num_lstm_layers": 1, "num_output_layers": 3},
                     "output_widths": [11, 13], "seed": 5, "scale": 2.0})"},
      {"lower_xpos", R"({"assets_ops": [{"set": "pretrain_vocab.lower", "value": true},
                     {"set": "runtime_contract.tag_source", "value": "xpos"}], "seed": 6})"},
      {"charlm", R"({"charlm": ["forward", "backward"], "seed": 7, "scale": 1.0})"},
      {"first_shift_then_open", biased("[5, 1, 0, 4, 0, 3, 0, 0]"), true},
      {"unary_close_limit0", biased("[4, 3, 0, 5, 0, 1, 0, 0]", R"(, "assets": {"unary_limit": 0})"), true},
      {"unary_close_limit1", biased("[4, 3, 0, 5, 0, 1, 0, 0]", R"(, "assets": {"unary_limit": 1})"), true},
      {"root_open_last", biased("[4, 2, 0, 3, 0, 5, 0, 0]"), true},
      {"ties", biased("[1, 2, 2, 1.5, 0, 0.5, 0, 0.5]"), true},
      {"nan", biased(R"([NaN, 1, 0, 2, 0, 0.5, 0, NaN])"), true},
      {"chain", biased("[5, 0, 0, 4, 0, 0, 2, 3]"), true},
      {"right_branching", kRightBranching, true},
      {"no_legal", R"({"assets": {"transitions": [{"kind": "shift"}, {"kind": "close"}], "root_labels": ["ROOT", "X"]}})",
       true},
      {"limit", R"({"assets": {"unary_limit": 1000, )" + kSmallTable + R"(},
                  "tensors": {"output_layers.1.weight": {"dtype": "float32", "shape": [4, 11], "values": "zeros"},
                              "output_layers.1.bias": {"dtype": "float32", "shape": [4], "values": [1, 3, 2, 0]}}})",
       true},
      {"wrong_scores", R"({"tensors": {"output_layers.1.weight": {"dtype": "float32", "shape": [7, 11]},
                                       "output_layers.1.bias": {"dtype": "float32", "shape": [7]}}})", true, false},
      {"few_dummies", biased("[2, 0, 0, 0, 0, 0, 1, 0]",
                             R"(, "tensors": {"dummy_embedding.weight": {"dtype": "float32", "shape": [2, 7]}})"), true,
       false},
  };
  return list;
}

std::vector<Sentence> random_sentences(std::uint32_t seed) {
  static const Strings words = {"the", "dog", "runs", "Paris", "paris", "New York", "Apple", "apple", "in", ".",
                                "zebra", "Runs"};
  static const Strings tags = {"DET", "NOUN", "VERB", "ADP", "PROPN", "PUNCT", "SYM"};
  std::mt19937 random(seed);
  std::vector<Sentence> sentences;
  for (const std::size_t length : {1, 2, 3, 4, 5, 6, 8, 12}) {
    Sentence sentence;
    for (std::size_t i = 0; i < length; ++i) {
      sentence.words.push_back(words[random() % words.size()]);
      sentence.tags.push_back(tags[random() % tags.size()]);
    }
    sentences.push_back(std::move(sentence));
  }
  return sentences;
}

std::vector<Sentence> sentences_for(const Variant& variant, std::uint32_t seed) {
  if (variant.crafted) {
    return {{{"the", "dog"}, {"DET", "NOUN"}}, {{"Paris"}, {"X"}}, {{"a", "b", "c", "d", "e"}, Strings(5, "X")}};
  }
  return random_sentences(seed);
}

std::string sentences_json(const std::vector<Sentence>& sentences) {
  const auto list = [](const Strings& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? ", " : "") + testing::json_quote(item);
    return out + "]";
  };
  std::string out = "[";
  for (const Sentence& s : sentences) {
    out += (out.size() > 1 ? ", " : "") + std::string(R"({"words": )") + list(s.words) + R"(, "tags": )" + list(s.tags) + "}";
  }
  return out + "]";
}

class ConstituencyParser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testing::TempDir();
    std::vector<std::pair<std::filesystem::path, std::string>> jobs;
    for (const Variant& v : variants()) jobs.emplace_back(dir(v.name), v.options);
    // A model directory for the pipeline: tokenize and pos listed only, the
    // constituency bundle written with the others.
    jobs.emplace_back(dir("models/1.10.0/en/constituency/default"), "{}");
    testing::write_generated_bundles("constituency_bundle.py", root_->path(), jobs);
    testing::run_python({(testing::source_dir() / "tests/fixtures/bundle_writer.py").string(), "--json",
                         R"({"model_dir": )" + testing::json_quote((root_->path() / "models").string()) +
                             R"(, "bundles": [{"processor": "tokenize", "package": "default", "path": "tokenize/default", "write": false},
                                 {"processor": "pos", "package": "default", "path": "pos/default", "write": false},
                                 {"processor": "constituency", "package": "default", "path": "constituency/default", "write": false}]})"});
    std::string reference_jobs = "[";
    for (std::size_t i = 0; i < variants().size(); ++i) {
      const Variant& v = variants()[i];
      if (!v.reference) continue;
      testing::write_file(root_->path() / (v.name + ".in.json"), sentences_json(sentences_for(v, 100 + i)));
      reference_jobs += std::string(reference_jobs.size() > 1 ? ", " : "") + R"({"bundle": )" +
                        testing::json_quote((root_->path() / v.name).string()) + R"(, "input": )" +
                        testing::json_quote((root_->path() / (v.name + ".in.json")).string()) + R"(, "output": )" +
                        testing::json_quote((root_->path() / (v.name + ".out.json")).string()) + "}";
    }
    testing::write_file(root_->path() / "reference.json", reference_jobs + "]");
    testing::run_python({(testing::source_dir() / "tests/reference/constituency_reference.py").string(), "--jobs",
                         (root_->path() / "reference.json").string()});
  }
  static void TearDownTestSuite() { delete root_; }

  static std::filesystem::path dir(const std::string& name) { return root_->path() / name; }
  static std::unique_ptr<Impl> load(const std::string& name) { return detail::load_constituency_plan(dir(name), false); }
  static detail::JsonValue reference(const std::string& name) {
    return detail::load_json(dir(name + ".out.json"));
  }
  // Every sentence parsed together, transitions kept.
  static std::vector<ParseOutcome> parse_all(const Impl& impl, const std::vector<Sentence>& sentences) {
    std::vector<SentenceRef> refs;
    for (const Sentence& s : sentences) refs.push_back({&s.words, &s.tags});
    return detail::constituency::parse_sentences(impl, refs, true);
  }
  static std::string message(const ParseOutcome& outcome) {
    try {
      if (outcome.error) std::rethrow_exception(outcome.error);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  }
  static testing::TempDir* root_;
};
testing::TempDir* ConstituencyParser::root_ = nullptr;

TEST_F(ConstituencyParser, AgreesWithTheReferenceTransitionByTransition) {
  std::size_t parsed = 0, skipped = 0;
  for (std::size_t v = 0; v < variants().size(); ++v) {
    const Variant& variant = variants()[v];
    if (!variant.reference) continue;
    SCOPED_TRACE(variant.name);
    const auto impl = load(variant.name);
    const std::vector<Sentence> sentences = sentences_for(variant, 100 + static_cast<std::uint32_t>(v));
    const detail::JsonValue expected = reference(variant.name);
    const std::vector<ParseOutcome> outcomes = parse_all(*impl, sentences);
    for (std::size_t i = 0; i < sentences.size(); ++i) {
      SCOPED_TRACE(i);
      const detail::JsonValue& want = expected.as_array("")[i];
      ++parsed;
      if (testing::constituency_too_close_to_call(want)) {
        ++skipped;
      } else {
        std::vector<std::int64_t> transitions;
        for (const auto& t : want.at("transitions", "").as_array("")) transitions.push_back(t.as_integer(""));
        const detail::JsonValue& tree = want.at("tree", "");
        EXPECT_EQ(outcomes[i].transitions, transitions);
        EXPECT_EQ(outcomes[i].tree ? outcomes[i].tree->to_string() : "", tree.is_null() ? "" : tree.as_string(""));
        const detail::JsonValue& error = want.at("error", "");
        EXPECT_EQ(message(outcomes[i]), error.is_null() ? "" : error.as_string(""));
      }

      c10::InferenceMode guard;
      const std::vector<at::Tensor> vectors = impl->encode_words(sentences[i].words, sentences[i].tags);
      const auto& rows = want.at("vectors", "").as_array("");
      ASSERT_EQ(vectors.size(), rows.size());
      for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<double> actual, wanted;
        for (std::int64_t k = 0; k < vectors[r].size(0); ++k) actual.push_back(vectors[r][k].item<double>());
        for (const auto& x : rows[r].as_array("")) wanted.push_back(x.as_number(""));
        EXPECT_TRUE(testing::all_close(actual, wanted, testing::constituency_vectors_tolerance(want))) << "row " << r;
      }
      if (variant.name == "none_no_tags") {
        EXPECT_EQ(vectors.front().abs().sum().item<double>(), 0.0);
        EXPECT_EQ(vectors.back().abs().sum().item<double>(), 0.0);
      }
    }
  }
  EXPECT_LE(10 * skipped, parsed);
}

TEST_F(ConstituencyParser, CraftedScoresShowTheLegalityRules) {
  const auto transitions_of = [&](const std::string& name, std::size_t sentence) {
    const auto impl = load(name);
    return parse_all(*impl, sentences_for(*std::find_if(variants().begin(), variants().end(),
                                                        [&](const Variant& v) { return v.name == name; }),
                                          0))[sentence];
  };
  using T = std::vector<std::int64_t>;
  // Shift first; then no Shift until an Open; ROOT only once all words are in.
  EXPECT_EQ(transitions_of("first_shift_then_open", 0).transitions, T({0, 1, 0, 3, 5, 3}));
  EXPECT_EQ(transitions_of("root_open_last", 0).transitions, T({0, 1, 0, 3, 5, 3}));
  // Closing an Open over a preterminal with words left: a unary chain of one.
  EXPECT_EQ(transitions_of("unary_close_limit0", 0).transitions[2], 0);
  EXPECT_EQ(transitions_of("unary_close_limit1", 0).transitions[2], 3);
  // Equal scores: the lower table index.
  EXPECT_EQ(transitions_of("ties", 0).transitions[1], 1);
  const std::vector<std::int64_t> ties = transitions_of("ties", 0).transitions;
  EXPECT_EQ(*std::find_if(ties.begin(), ties.end(), [](std::int64_t t) { return t == 5 || t == 7; }), 5);
  EXPECT_EQ(transitions_of("nan", 0).transitions.front(), 0);
  EXPECT_EQ(transitions_of("chain", 0).tree->to_string(), "(ROOT (S (PP (NP (DET the) (NOUN dog)))))");
  EXPECT_EQ(transitions_of("right_branching", 2).tree->to_string(),
            "(ROOT (S (X a) (S (X b) (S (X c) (S (X d) (S (X e)))))))");
  EXPECT_EQ(transitions_of("no_legal", 1).tree->to_string(), "(X Paris)");

  // Open is refused while more than n + 10 constituents are open.
  const auto impl = load("everything");
  detail::constituency::ParserState state;
  state.word_count = 2;
  state.position = 2;
  state.constituent_stack.resize(3);
  state.transition_stack.resize(2);
  state.transition_stack.back().transition = 0;
  for (const std::int64_t open : {12, 13}) {
    state.open_count = open;
    EXPECT_EQ(detail::constituency::is_legal(*impl, state, impl->transitions[1]), open == 12) << open;
  }
}

TEST_F(ConstituencyParser, EveryMessageOfAParse) {
  const auto everything = load("everything");
  const ConstituencyPlan plan(dir("everything"), false);
  EXPECT_THROW_MSG(plan.parse({}, {"DET"}), ConstituencyModelError, "constituency parser cannot parse an empty sentence");
  EXPECT_THROW_MSG(plan.parse({"a"}, {}), ConstituencyModelError, "constituency words and tags have different lengths");
  {
    const Strings words = {"a"}, tags = {"X"};
    const std::vector<ParseOutcome> outcomes = detail::constituency::parse_encoded(
        *everything, {{&words, &tags}}, {at::zeros({2, 7})}, false);
    EXPECT_EQ(message(outcomes[0]), "constituency word encoder omitted sentence sentinels");
  }
  const std::vector<std::pair<std::string, std::string>> bundles = {
      {"wrong_scores", "constituency output layer has the wrong shape"},
      {"no_legal", "constituency parser could not find a legal transition"},
      {"limit", "constituency parser exceeded its transition limit"},
      {"few_dummies", "constituency Open index is outside dummy embeddings"},
  };
  for (const auto& [name, text] : bundles) {
    SCOPED_TRACE(name);
    EXPECT_THROW_MSG(ConstituencyPlan(dir(name), false).parse({"the", "dog"}, {"DET", "NOUN"}), ConstituencyModelError,
                     text);
  }
  EXPECT_EQ(parse_all(*load("limit"), {{{"a"}, {"X"}}})[0].transitions.size(), 60u);  // 20 x (1 + 2)

  // The Close messages, on hand-made stacks: marker = dummy, X = a word.
  c10::InferenceMode guard;
  namespace cst = detail::constituency;
  const Strings no_labels;
  const auto node = [&](bool dummy, const Strings* labels) {
    cst::Constituent c{dummy ? std::nullopt : std::optional<ConstituencyTree>(ConstituencyTree("X", {})),
                       at::zeros({1, 7}), labels, dummy};
    return cst::StackNode{std::move(c), std::nullopt, at::zeros({2, 7}), at::zeros({2, 7}), at::zeros({7})};
  };
  const cst::StackNode start{std::nullopt, std::nullopt, at::zeros({2, 7}), at::zeros({2, 7}), at::zeros({7})};
  const std::vector<std::pair<std::vector<std::pair<bool, const Strings*>>, std::string>> stacks = {
      {{{false, nullptr}}, "constituency Close has no matching Open"},
      {{{true, &everything->transitions[1].labels}}, "in-order constituency Close has no left child"},
      {{{true, &everything->transitions[1].labels}, {true, &everything->transitions[2].labels}, {false, nullptr}},
       "constituency child is a dummy marker"},
      {{{false, nullptr}, {true, &no_labels}, {false, nullptr}}, "cannot build a constituent without a label"},
  };
  for (const auto& [nodes, text] : stacks) {
    cst::ParserState state;
    state.constituent_stack.push_back(start);
    for (const auto& [dummy, labels] : nodes) state.constituent_stack.push_back(node(dummy, labels));
    state.open_count = 1;
    EXPECT_THROW_MSG(cst::apply_transition(*everything, state, 3), ConstituencyModelError, text);
  }
}

TEST_F(ConstituencyParser, StackNodesKeepTheirStateAcrossPops) {
  namespace cst = detail::constituency;
  const auto impl = load("everything");
  c10::InferenceMode guard;
  cst::ParserState state;
  state.constituent_stack.push_back(
      cst::start_node(cst::constituent_rnn(*impl), impl->constituent_stack_state, impl->fetched.constituent_start));
  const at::Tensor vector = at::randn({1, 7});
  cst::push_constituent(*impl, state, {std::nullopt, vector, nullptr, false});
  const cst::StackNode first = state.constituent_stack.back();
  state.constituent_stack.pop_back();
  cst::push_constituent(*impl, state, {std::nullopt, vector, nullptr, false});
  const cst::StackNode& again = state.constituent_stack.back();
  EXPECT_TRUE(at::equal(again.h, first.h) && at::equal(again.c, first.c) && at::equal(again.output, first.output));
  EXPECT_EQ(again.h.sizes(), at::IntArrayRef({2, 7}));

  // Both checks come before any LSTM work: no weights are needed to fail them.
  const cst::StackRnn no_weights{nullptr, 7, 2};
  EXPECT_THROW_MSG(cst::stack_step(first, at::zeros({1, 7}), no_weights, std::nullopt, std::nullopt),
                   ConstituencyModelError, "constituency stack input is not a vector");
  EXPECT_THROW_MSG(cst::stack_step(first, at::zeros({0}), no_weights, std::nullopt, std::nullopt),
                   ConstituencyModelError, "constituency stack input is not a vector");
  EXPECT_THROW_MSG(cst::stack_step(first, at::zeros({7}), cst::StackRnn{nullptr, 5, 2}, std::nullopt, std::nullopt),
                   ConstituencyModelError, "constituency stack state has the wrong shape");
}

// One token per word; a word is "text/UPOS/XPOS" with "-" for an absent tag.
Document tagged_document(const std::vector<Strings>& sentences) {
  std::vector<SentenceInput> inputs;
  std::string text;
  for (const Strings& words : sentences) {
    SentenceInput sentence;
    if (words.empty()) {
      WordInput empty;
      empty.empty_index = 1;
      empty.text = "pro";
      sentence.empty_words.push_back(empty);
    }
    for (const std::string& spec : words) {
      const auto slash = spec.find('/'), second = spec.rfind('/');
      WordInput word;
      word.id = static_cast<std::int32_t>(sentence.tokens.size() + 1);
      word.text = spec.substr(0, slash);
      if (const std::string upos = spec.substr(slash + 1, second - slash - 1); upos != "-") word.upos = upos;
      if (const std::string xpos = spec.substr(second + 1); xpos != "-") word.xpos = xpos;
      TokenInput token;
      token.id_start = token.id_end = word.id;
      token.text = word.text;
      token.words.push_back(word);
      sentence.tokens.push_back(token);
      text += word.text + " ";
    }
    inputs.push_back(std::move(sentence));
  }
  return Document(text, std::move(inputs));
}

std::vector<std::string> trees_of(const Document& document) {
  std::vector<std::string> trees;
  for (std::uint64_t s = 0; s < document.sentences().size(); ++s) {
    const auto tree = document.sentences().at(static_cast<std::int64_t>(s)).constituency();
    trees.push_back(tree ? tree->to_string() : "-");
  }
  return trees;
}

TEST_F(ConstituencyParser, DocumentsGetATreePerSentence) {
  const ConstituencyPlan upos(dir("everything"), false);
  const ConstituencyPlan xpos(dir("lower_xpos"), false);
  const std::vector<Strings> sentences = {{"the/DET/DT", "dog/NOUN/NN", "runs/VERB/-"}, {"Paris/PROPN/NNP"}};
  const auto expected = [](const ConstituencyPlan& plan, const Strings& tags2) {
    return Strings{plan.parse({"the", "dog", "runs"}, tags2).to_string(), plan.parse({"Paris"}, {"PROPN"}).to_string()};
  };
  Document document = tagged_document(sentences);
  document.sentences().at(0).set_constituency(ConstituencyTree("OLD", {}));
  const Document same = upos.process(document);
  EXPECT_TRUE(same.same_storage(document));
  EXPECT_EQ(trees_of(document), expected(upos, {"DET", "NOUN", "VERB"}));
  EXPECT_EQ(upos.parse_many({{"the", "dog", "runs"}, {"Paris"}}, {{"DET", "NOUN", "VERB"}, {"PROPN"}})[1].to_string(),
            trees_of(document)[1]);

  const Document fresh = tagged_document(sentences);
  EXPECT_THROW_MSG(xpos.process(fresh), ConstituencyModelError, "constituency requires XPOS on every word");
  EXPECT_EQ(trees_of(fresh), Strings({"-", "-"}));
  EXPECT_THROW_MSG(upos.process(tagged_document({{"a/-/X"}})), ConstituencyModelError,
                   "constituency requires UPOS on every word");
  const Document with_empty = tagged_document({{"a/X/X"}, {}});
  EXPECT_THROW_MSG(upos.process(with_empty), ConstituencyModelError,
                   "constituency parser cannot parse an empty sentence");
  EXPECT_EQ(trees_of(with_empty), Strings({"-", "-"}));
  EXPECT_EQ(upos.process(Document("")).sentences().size(), 0u);
  EXPECT_TRUE(upos.parse_many({}, {}).empty());

  std::vector<Document> bulk = {tagged_document({{"a/X/X"}}), tagged_document({{"b/-/X"}}), tagged_document({{"c/X/X"}})};
  const std::vector<Document> handles = bulk;
  EXPECT_THROW_MSG(upos.process_bulk(bulk), ConstituencyModelError, "constituency requires UPOS on every word");
  EXPECT_EQ(trees_of(handles[0]), Strings({upos.parse({"a"}, {"X"}).to_string()}));
  EXPECT_EQ(trees_of(handles[1]), Strings({"-"}));
  EXPECT_EQ(trees_of(handles[2]), Strings({"-"}));
}

// Stages that hand documents on unchanged, standing in for tokenize and pos.
class PassThrough final : public Processor {
 public:
  explicit PassThrough(ProcessorSpec spec) : Processor(std::move(spec)) {}
  bool implemented() const override { return true; }
  Document process(Document document) const override { return document; }
  std::vector<Document> process_bulk(std::vector<Document> documents) const override { return documents; }
};

class TaggedInputFactory final : public detail::StageFactory {
 public:
  std::shared_ptr<Processor> make_loaded(const std::string& name, std::filesystem::path dir, bool verify,
                                         const Strings& subset) const override {
    if (name == "constituency") return detail::StageFactory::make_loaded(name, std::move(dir), verify, subset);
    for (ProcessorSpec& spec : processor_specs()) {
      if (spec.name == name) return std::make_shared<PassThrough>(std::move(spec));
    }
    return nullptr;
  }
};

TEST_F(ConstituencyParser, APipelineParsesTaggedRecords) {
  const Pipeline pipeline = detail::PipelineAccess::make(TaggedInputFactory(), "en", {"tokenize", "pos", "constituency"},
                                                         "default", {}, false, dir("models"), "1.10.0", false, {});
  const ConstituencyPlan plan(dir("models/1.10.0/en/constituency/default"), false);
  const Document document = pipeline.process(tagged_document({{"the/DET/-", "dog/NOUN/-"}, {"runs/VERB/-"}}));
  EXPECT_EQ(trees_of(document), Strings({plan.parse({"the", "dog"}, {"DET", "NOUN"}).to_string(),
                                         plan.parse({"runs"}, {"VERB"}).to_string()}));
  const std::vector<Document> bulk = pipeline.process_bulk({tagged_document({{"runs/VERB/-"}}), Document("")});
  EXPECT_EQ(trees_of(bulk[0]), Strings({plan.parse({"runs"}, {"VERB"}).to_string()}));
}

TEST_F(ConstituencyParser, ThreadsShareOnePlan) {
  const ConstituencyPlan plan(dir("everything"), false);
  std::vector<Strings> words, tags;
  for (const Sentence& s : random_sentences(9)) {
    words.push_back(s.words);
    tags.push_back(s.tags);
  }
  const auto render = [&] {
    std::string out;
    for (const ConstituencyTree& tree : plan.parse_many(words, tags)) out += tree.to_string() + "\n";
    return out;
  };
  const std::string expected = render();
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::string& result : results) threads.emplace_back([&] { result = render(); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_EQ(result, expected);
}

// 20,000 words, one right-branching spine: parsed, printed and destroyed
// without recursion.
TEST_F(ConstituencyParser, AVeryDeepTree) {
  const ConstituencyPlan plan(dir("right_branching"), false);
  const std::size_t n = 20000;
  Strings words, tags(n, "X");
  std::string expected = "(ROOT";
  for (std::size_t i = 0; i < n; ++i) {
    words.push_back("w" + std::to_string(i));
    expected += " (S (X " + words.back() + ")";
  }
  expected += std::string(n, ')') + ")";
  EXPECT_EQ(plan.parse(words, tags).to_string(), expected);
}

}  // namespace
}  // namespace lorvane
