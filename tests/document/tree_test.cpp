#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvane/document.hpp"
#include "lorvane/tree.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

ConstituencyTree leaf(const std::string& word) { return ConstituencyTree(word, {}); }

ConstituencyTree node(const std::string& label, std::vector<ConstituencyTree> children) {
  return ConstituencyTree(label, std::move(children));
}

// (ROOT (S (NP (DT the) (NN dog)) (VP (VBZ barks))))
ConstituencyTree dog_barks() {
  return node("ROOT", {node("S", {node("NP", {node("DT", {leaf("the")}), node("NN", {leaf("dog")})}),
                                  node("VP", {node("VBZ", {leaf("barks")})})})});
}

std::vector<std::string> labels_of(const TreeSequence& seq) {
  std::vector<std::string> labels;
  for (std::uint64_t i = 0; i < seq.size(); ++i) labels.push_back(seq.at(static_cast<std::int64_t>(i)).label());
  return labels;
}

TEST(ConstituencyTree, BracketedFormOfAWholeTree) {
  EXPECT_EQ(dog_barks().to_string(), "(ROOT (S (NP (DT the) (NN dog)) (VP (VBZ barks))))");
}

TEST(ConstituencyTree, LabelsAreWrittenAsStored) {
  // No escaping: spaces and brackets inside labels go out unchanged.
  EXPECT_EQ(node("N P", {leaf("a (b)")}).to_string(), "(N P a (b))");
  EXPECT_EQ(node("", {leaf("x"), leaf("y")}).to_string(), "( x y)");
  EXPECT_EQ(node("", {}).to_string(), "");
}

TEST(ConstituencyTree, LeafProperties) {
  const auto dog = leaf("dog");
  EXPECT_TRUE(dog.is_leaf());
  EXPECT_FALSE(dog.is_preterminal());
  EXPECT_EQ(dog.to_string(), "dog");
  EXPECT_EQ(dog.leaf_labels(), std::vector<std::string>{"dog"});
  EXPECT_EQ(dog.children().size(), 0u);
  EXPECT_THROW_MSG(dog.children().at(0), std::out_of_range, "tree index is outside the sequence");
}

TEST(ConstituencyTree, PreterminalRule) {
  struct Case {
    const char* name;
    ConstituencyTree tree;
    bool preterminal;
  };
  const std::vector<Case> cases = {
      {"tag over word", node("NN", {leaf("dog")}), true},
      {"two leaves", node("NP", {leaf("the"), leaf("dog")}), false},
      {"one interior child", node("NP", {node("NN", {leaf("dog")})}), false},
      {"leaf", leaf("dog"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.tree.is_preterminal(), c.preterminal) << c.name;
  EXPECT_EQ(cases[0].tree.to_string(), "(NN dog)");
}

TEST(ConstituencyTree, LeafLabelsLeftToRight) {
  EXPECT_EQ(dog_barks().leaf_labels(), (std::vector<std::string>{"the", "dog", "barks"}));
  // Leaves at different depths keep their surface order.
  const auto mixed = node("X", {leaf("a"), node("Y", {node("Z", {leaf("b")}), leaf("c")}), leaf("d")});
  EXPECT_EQ(mixed.leaf_labels(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(ConstituencyTree, NullNodeIsRejected) {
  EXPECT_THROW_MSG(ConstituencyTree(std::shared_ptr<const TreeNode>()), std::invalid_argument,
                   "a constituency tree node cannot be null");
  // A null child inside a hand-built node surfaces when the child is read.
  auto raw = std::make_shared<const TreeNode>("X", std::vector<std::shared_ptr<const TreeNode>>{nullptr});
  EXPECT_THROW_MSG(ConstituencyTree(raw).children().at(0), std::invalid_argument,
                   "a constituency tree node cannot be null");
}

TEST(ConstituencyTree, NullChildDeepInATreeIsReportedNotFollowed) {
  // A hand-built node may hold a null child; walking the tree must report it
  // with the null-node error wherever it sits, never dereference it.
  const auto null_child = std::make_shared<const TreeNode>(
      "NN", std::vector<std::shared_ptr<const TreeNode>>{nullptr});
  const ConstituencyTree direct(null_child);
  const ConstituencyTree deep = node("S", {leaf("a"), node("NP", {direct}), leaf("b")});
  for (const ConstituencyTree* tree : {&direct, &deep}) {
    EXPECT_THROW_MSG(tree->to_string(), std::invalid_argument, "a constituency tree node cannot be null");
    EXPECT_THROW_MSG(tree->leaf_labels(), std::invalid_argument, "a constituency tree node cannot be null");
  }
  // A null child is not a leaf, so its parent is no preterminal.
  EXPECT_FALSE(direct.is_preterminal());
  EXPECT_FALSE(direct.is_leaf());
}

TEST(ConstituencyTree, MovedFromHandleStillNamesItsNode) {
  ConstituencyTree tree = node("NN", {leaf("dog")});
  ConstituencyTree moved = std::move(tree);
  ConstituencyTree assigned = leaf("x");
  assigned = std::move(moved);
  // The handle is never null, not even after a move.
  EXPECT_EQ(tree.to_string(), "(NN dog)");
  EXPECT_TRUE(tree.same_node(assigned));
  EXPECT_TRUE(tree.is_preterminal());
  EXPECT_EQ(moved.label(), "NN");
}

TEST(ConstituencyTree, ParentsShareChildNodes) {
  const auto the = node("DT", {leaf("the")});
  const auto dog = node("NN", {leaf("dog")});
  const auto np = node("NP", {the, dog});
  const auto equal_but_separate = node("DT", {leaf("the")});

  EXPECT_TRUE(np.children().at(0).same_node(the));
  EXPECT_FALSE(np.children().at(0).same_node(equal_but_separate));
  EXPECT_EQ(np.children().at(0).node().get(), the.node().get());
  EXPECT_TRUE(np.children().contains(the));
  EXPECT_TRUE(np.children().contains(dog));
  EXPECT_FALSE(np.children().contains(equal_but_separate));
  EXPECT_FALSE(np.children().contains(np));

  // Copies of a handle share the node.
  const ConstituencyTree copy = np;
  EXPECT_TRUE(copy.same_node(np));
}

TEST(TreeSequence, IndicesAndReversal) {
  const auto abc = node("X", {leaf("a"), leaf("b"), leaf("c")});
  const auto children = abc.children();
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children.at(-1).label(), "c");
  EXPECT_EQ(children.at(-3).label(), "a");
  EXPECT_THROW_MSG(children.at(-4), std::out_of_range, "tree index is outside the sequence");
  EXPECT_THROW_MSG(children.at(3), std::out_of_range, "tree index is outside the sequence");
  EXPECT_THROW_MSG(children.at(std::numeric_limits<std::int64_t>::min()), std::out_of_range,
                   "tree index is outside the sequence");

  const auto reversed = children.reversed();
  EXPECT_EQ(labels_of(reversed), (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_EQ(labels_of(reversed.reversed()), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(reversed.contains(children.at(0)));
  EXPECT_EQ(TreeSequence().reversed().size(), 0u);
}

TEST(TreeSequence, Slices) {
  std::vector<ConstituencyTree> kids;
  for (char c = 'a'; c <= 'j'; ++c) kids.push_back(leaf(std::string(1, c)));
  const auto all = node("X", kids).children();

  struct Case {
    std::int64_t start, step;
    std::uint64_t size;
    std::vector<std::string> labels;
  };
  const std::vector<Case> cases = {
      {2, 3, 3, {"c", "f", "i"}},
      {9, -1, 10, {"j", "i", "h", "g", "f", "e", "d", "c", "b", "a"}},
      {8, -4, 3, {"i", "e", "a"}},
      {4, 1, 0, {}},
  };
  for (const auto& c : cases) {
    const auto slice = all.slice(c.start, c.step, c.size);
    EXPECT_EQ(labels_of(slice), c.labels) << c.start << ":" << c.step << ":" << c.size;
    for (std::uint64_t i = 0; i < c.size; ++i) EXPECT_TRUE(slice.contains(all.at(c.start + c.step * static_cast<std::int64_t>(i))));
  }
  // A slice of a slice composes start and step, and membership follows it.
  const auto evens = all.slice(0, 2, 5);
  const auto inner = evens.slice(1, 2, 2);  // positions 2 and 6
  EXPECT_EQ(labels_of(inner), (std::vector<std::string>{"c", "g"}));
  EXPECT_EQ(labels_of(inner.reversed()), (std::vector<std::string>{"g", "c"}));
  EXPECT_TRUE(inner.contains(all.at(6)));
  EXPECT_FALSE(inner.contains(all.at(4)));
  EXPECT_FALSE(evens.contains(all.at(1)));
}

TEST(TreeSequence, RangesReachingOutsideTheNodesAreSafe) {
  const auto abc = node("X", {leaf("a"), leaf("b"), leaf("c")});
  const auto children = abc.children();
  const auto past_end = children.slice(2, 1, 3);  // positions 2, 3, 4
  EXPECT_EQ(past_end.at(0).label(), "c");
  EXPECT_THROW(past_end.at(1), std::out_of_range);
  EXPECT_TRUE(past_end.contains(children.at(2)));
  EXPECT_FALSE(past_end.contains(children.at(0)));

  const auto before_start = children.slice(-2, 1, 4);  // positions -2 .. 1
  EXPECT_THROW(before_start.at(0), std::out_of_range);
  EXPECT_EQ(before_start.at(3).label(), "b");
  EXPECT_TRUE(before_start.contains(children.at(1)));
  EXPECT_FALSE(before_start.contains(children.at(2)));

  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const TreeSequence huge(std::vector<std::shared_ptr<const TreeNode>>{children.at(0).node()}, kMax, kMax,
                          std::numeric_limits<std::uint64_t>::max());
  EXPECT_THROW(huge.at(5), std::out_of_range);
  EXPECT_FALSE(huge.contains(children.at(0)));
  EXPECT_EQ(huge.reversed().size(), huge.size());
  const TreeSequence min_step(std::vector<std::shared_ptr<const TreeNode>>{children.at(0).node()}, 0, kMin, 2);
  EXPECT_TRUE(min_step.contains(children.at(0)));
  EXPECT_THROW(min_step.at(1), std::out_of_range);
  EXPECT_NO_THROW(min_step.reversed());
  const TreeSequence zero_step(std::vector<std::shared_ptr<const TreeNode>>{children.at(0).node()}, 0, 0, 5);
  EXPECT_EQ(zero_step.at(4).label(), "a");
  EXPECT_TRUE(zero_step.contains(children.at(0)));
}

TEST(ConstituencyTree, MillionNodeChainPrintsAndDies) {
  constexpr int kDepth = 1'000'000;
  {
    ConstituencyTree tree = leaf("w");
    for (int i = 0; i < kDepth; ++i) tree = node("A", {tree});
    std::string expected;
    for (int i = 0; i < kDepth; ++i) expected += "(A ";
    expected += 'w';
    expected.append(kDepth, ')');
    EXPECT_TRUE(tree.to_string() == expected);  // no dump of a 4 MB string on failure
    EXPECT_EQ(tree.leaf_labels(), std::vector<std::string>{"w"});
  }  // the whole chain is released here, one node at a time

  // Shared subtrees of a released tree survive with their other owners.
  auto shared = node("B", {leaf("x")});
  {
    ConstituencyTree tree = shared;
    for (int i = 0; i < 1000; ++i) tree = node("A", {tree});
  }
  EXPECT_EQ(shared.to_string(), "(B x)");
}

TEST(SentenceConstituency, GetSetClear) {
  std::vector<SentenceInput> sentences(2);
  sentences[0].tokens.resize(1);
  sentences[0].tokens[0].id_start = sentences[0].tokens[0].id_end = 1;
  sentences[0].tokens[0].text = "barks";
  Document doc("", std::move(sentences));
  Sentence first = doc.sentences().at(0);
  const Sentence second = doc.sentences().at(1);
  EXPECT_EQ(first.constituency(), std::nullopt);

  const auto tree = dog_barks();
  first.set_constituency(tree);
  ASSERT_TRUE(first.constituency().has_value());
  EXPECT_TRUE(first.constituency()->same_node(tree));  // stored, not copied
  EXPECT_TRUE(doc.sentences().at(0).constituency()->same_node(tree));
  EXPECT_EQ(second.constituency(), std::nullopt);

  // A tree handed out earlier outlives its removal from the sentence.
  const auto earlier = *first.constituency();
  first.set_constituency(std::nullopt);
  EXPECT_EQ(first.constituency(), std::nullopt);
  EXPECT_EQ(earlier.to_string(), "(ROOT (S (NP (DT the) (NN dog)) (VP (VBZ barks))))");

  const auto subtree = earlier.children().at(0).children().at(-1);
  first.set_constituency(subtree);
  EXPECT_EQ(first.constituency()->to_string(), "(VP (VBZ barks))");
}

}  // namespace
}  // namespace lorvane
