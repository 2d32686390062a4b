// Single-root tree decoding against brute force, its edge cases and its peak
// memory; subject and object head repairs on hand-built trees.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "lorvane/errors.hpp"
#include "models/depparse/head_constraints.hpp"
#include "models/depparse/spanning_tree.hpp"
#include "support/test_support.hpp"

// Bytes held through operator new, and their peak while tracking is on.
namespace {
std::atomic<bool> tracking{false};
std::atomic<long long> held{0};
std::atomic<long long> peak{0};
}  // namespace

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (tracking) {
    const long long now = held += static_cast<long long>(malloc_usable_size(p));
    for (long long seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
  }
  return p;
}
void operator delete(void* p) noexcept {
  if (p != nullptr && tracking) held -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace lorvane::detail {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Matrix = std::vector<std::vector<double>>;
using Heads = std::vector<std::size_t>;

double tree_score(const Matrix& m, const Heads& heads) {
  double total = 0;
  for (std::size_t i = 1; i < heads.size(); ++i) total += m[i][heads[i]];
  return total;
}

// Every word reaches ROOT and exactly one hangs from it.
bool is_single_root_tree(const Heads& heads) {
  std::size_t roots = 0;
  for (std::size_t i = 1; i < heads.size(); ++i) {
    if (heads[i] >= heads.size() || heads[i] == i) return false;
    roots += heads[i] == 0;
    std::size_t node = i;
    for (std::size_t steps = 0; node != 0; ++steps, node = heads[node]) {
      if (steps == heads.size()) return false;
    }
  }
  return roots == 1;
}

double best_single_root_score(const Matrix& m) {
  const std::size_t n = m.size();
  Heads heads(n, 0);
  double best = -kInf;
  while (true) {
    if (is_single_root_tree(heads)) best = std::max(best, tree_score(m, heads));
    std::size_t i = 1;
    while (i < n && ++heads[i] == n) heads[i++] = 0;
    if (i == n) return best;
  }
}

TEST(SpanningTree, EqualsTheBestSingleRootTreeOfEveryHeadVector) {
  std::mt19937 random(17);
  std::uniform_real_distribution<double> uniform(-6.0, -0.01);
  std::uniform_int_distribution<int> percent(0, 99);
  int decoded = 0;
  for (int c = 0; c < 3000; ++c) {
    const std::size_t n = 2 + static_cast<std::size_t>(c) % 6;
    Matrix m(n, std::vector<double>(n));
    for (auto& row : m) {
      for (double& cell : row) {
        const int roll = percent(random);
        cell = roll < 12 ? -kInf : roll < 40 ? std::round(uniform(random) * 2) / 2 : uniform(random);
      }
    }
    const double best = best_single_root_score(m);
    try {
      const Heads heads = decode_single_root(m);
      ASSERT_TRUE(is_single_root_tree(heads)) << "case " << c;
      EXPECT_EQ(heads[0], 0u);
      if (std::isfinite(best)) {
        EXPECT_NEAR(tree_score(m, heads), best, 1e-9) << "case " << c;
        ++decoded;
      } else {
        EXPECT_EQ(tree_score(m, heads), best);
      }
    } catch (const DepparseModelError& e) {
      EXPECT_STREQ(e.what(), "single-root dependency decoding did not produce one root");
      EXPECT_EQ(best, -kInf) << "case " << c;
    }
  }
  EXPECT_GT(decoded, 2000);
}

TEST(SpanningTree, Cases) {
  struct Case {
    const char* what;
    Matrix scores;
    Heads heads;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"one word", {{-1, -1}, {-0.5, -0.7}}, {0, 0}, nullptr},
      {"a 2-cycle: the member with the best entering score takes ROOT", {{0, 0, 0}, {-1, 0, -1}, {-1, -3, 0}}, {0, 2, 0}, nullptr},
      // Word 2 ties between heads 1 and 3 (equal trees); word 3 and the cycle
      // {1, 2} form a cycle only after the first contraction.
      {"ties and a cycle after contraction",
       {{0, 0, 0, 0}, {-0.1, 0, -5, -5}, {-5, -1, 0, -1}, {-5, -1, -2, 0}}, {0, 0, 1, 1}, nullptr},
      {"two disjoint cycles",
       {{0, 0, 0, 0, 0}, {-2, 0, -1, -4, -4}, {-3, -1, 0, -4, -4}, {-4, -2, -4, 0, -1}, {-4, -4, -4, -1, 0}},
       {0, 0, 1, 1, 3}, nullptr},
      {"+inf is decoded like any score", {{0, 0, 0}, {kInf, 0, -1}, {-1, -2, 0}}, {0, 0, 1}, nullptr},
      {"NaN never wins", {{0, 0, 0}, {-1, 0, kNaN}, {-3, -2, 0}}, {0, 0, 1}, nullptr},
      {"a word whose only finite arc is ROOT keeps it", {{0, 0, 0}, {-1, 0, -kInf}, {-1, -0.5, 0}}, {0, 0, 1}, nullptr},
      {"two such words", {{0, 0, 0}, {-1, 0, -kInf}, {-1, -kInf, 0}}, {}, "single-root dependency decoding did not produce one root"},
      {"one row", {{-1}}, {}, "single-root dependency decoding did not produce one root"},
      {"no finite cell", {{-kInf, kNaN}, {kNaN, kInf}}, {}, "dependency scores contain no finite value"},
      {"no rows", {}, {}, "dependency scores contain no finite value"},
      {"an empty row", {{-1, -2}, {}}, {}, "cannot decode an empty score row"},
      {"a short row", {{-1, -2}, {-1}}, {}, "dependency score matrix is not square"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.error != nullptr) {
      EXPECT_THROW_MSG(decode_single_root(c.scores), DepparseModelError, c.error);
    } else {
      EXPECT_EQ(decode_single_root(c.scores), c.heads);
    }
  }
}

// 1,000 words in 500 greedy 2-cycles: 500 contraction levels. Keeping every
// level's matrix would hold about 2.3 GB; one level at a time stays near two
// matrices of 8 MB.
TEST(SpanningTree, ThousandWordsInBoundedMemory) {
  const std::size_t n = 1001;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> noise(0.0, 0.01);
  ScoreMatrix scores(n);
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) scores(i, j) = -9 - noise(random);
    scores(i, 0) = -5 - noise(random);
    scores(i, i % 2 == 1 ? i + 1 : i - 1) = -0.1 - noise(random);
  }
  const long long matrix_bytes = static_cast<long long>(n * n * sizeof(double));
  held = 0;
  peak = 0;
  tracking = true;
  const Heads heads = decode_single_root(std::move(scores));
  tracking = false;
  EXPECT_TRUE(is_single_root_tree(heads));
  EXPECT_LT(peak.load(), 3 * matrix_bytes);
}

// Relation units: four reserved, then the classes below.
const std::vector<std::string> kUnits = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "nsubj", "obj",
                                         "csubj:pass", "nsubj:outer", "det"};
enum Class : std::int64_t { kNsubj, kObj, kCsubjPass, kNsubjOuter, kDet };

// Arc scores that prefer `tree` (0 on its arcs, -3 elsewhere, -inf on the
// diagonal) and relation scores in which each word prefers `first` with
// score -0.1, its `second` with `second_score`, and -4 for the rest.
struct Sentence {
  ScoreMatrix arcs;
  RelationScores relations;
};
Sentence sentence(const std::vector<std::int64_t>& tree, const std::vector<Class>& first,
                  const std::vector<Class>& second, const std::vector<double>& second_score) {
  const std::size_t n = tree.size();
  Sentence s{ScoreMatrix(n, -3.0), {n, kUnits.size() - 4, {}}};
  s.relations.cells.assign(n * n * s.relations.classes, -4.0);
  for (std::size_t i = 0; i < n; ++i) {
    s.arcs(i, i) = -kInf;
    if (i > 0) s.arcs(i, static_cast<std::size_t>(tree[i])) = 0.0;
    for (std::size_t h = 0; h < n && i > 0; ++h) {
      double* row = s.relations.cells.data() + (i * n + h) * s.relations.classes;
      row[first[i - 1]] = -0.1;
      row[second[i - 1]] = second_score[i - 1];
    }
  }
  return s;
}

TEST(HeadConstraints, Repairs) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> tree;
    std::vector<Class> first, second;
    std::vector<double> second_score;
    std::vector<std::int64_t> labels;
    std::vector<std::int64_t> heads;  // empty: the tree stays
    bool pinned = false;              // arcs outside the tree at -20: no word moves
  };
  const std::vector<Case> cases = {
      {"no grouped relation", {0, 0, 1, 1}, {kDet, kDet, kDet}, {kObj, kObj, kObj}, {-1, -1, -1}, {kDet, kDet, kDet}, {}},
      {"nsubj and nsubj:outer on one head are no violation", {0, 0, 1, 1}, {kDet, kNsubj, kNsubjOuter},
       {kObj, kDet, kDet}, {-1, -1, -1}, {kDet, kNsubj, kNsubjOuter}, {}},
      {"two outer subjects", {0, 0, 1, 1}, {kDet, kNsubjOuter, kNsubjOuter}, {kObj, kDet, kDet}, {-1, -1, -1},
       {kDet, kNsubjOuter, kDet}, {}},
      // Pass 1 takes obj from word 3 on head 1 (it turns nsubj); pass 2 takes
      // subj from it there too, and obj stays barred: it ends nsubj:outer.
      {"bars accumulate per arc", {0, 0, 1, 1, 1}, {kDet, kObj, kObj, kNsubj}, {kObj, kDet, kNsubj, kDet},
       {-1, -5, -1, -5}, {kDet, kObj, kNsubjOuter, kNsubj}, {}, true},
      {"nsubj and csubj:pass are one group; the first keeps it on equal totals", {0, 0, 1, 1},
       {kDet, kNsubj, kCsubjPass}, {kObj, kDet, kDet}, {-1, -1, -1}, {kDet, kNsubj, kDet}, {}},
      {"the keeper is the one whose loss costs least", {0, 0, 1, 1}, {kDet, kObj, kObj},
       {kNsubj, kDet, kDet}, {-1, -5, -0.2}, {kDet, kObj, kDet}, {}},
      {"three objects on one head", {0, 0, 1, 1, 1}, {kDet, kObj, kObj, kObj}, {kNsubj, kDet, kDet, kDet},
       {-1, -1, -0.5, -1}, {kDet, kObj, kDet, kDet}, {}},
      {"a non-keeper moves to another head when that scores better", {0, 0, 1, 1}, {kDet, kObj, kObj},
       {kNsubj, kDet, kDet}, {-1, -5, -5}, {kDet, kObj, kObj}, {0, 0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sentence s = sentence(c.tree, c.first, c.second, c.second_score);
    for (std::size_t i = 1; c.pinned && i < c.tree.size(); ++i) {
      for (std::size_t h = 0; h < c.tree.size(); ++h) {
        if (h != i && h != static_cast<std::size_t>(c.tree[i])) s.arcs(i, h) = -20.0;
      }
    }
    const ConstrainedTree tree = resolve_head_constraints(s.arcs, s.relations, c.tree, kUnits);
    EXPECT_EQ(tree.heads, c.heads.empty() ? c.tree : c.heads);
    EXPECT_EQ(tree.labels, c.labels);
    EXPECT_TRUE(find_violations(tree.heads, tree.labels, kUnits).empty());
  }
}

TEST(HeadConstraints, FivePassesThenTheTreeIsReturnedWithWhatRemains) {
  // Heads 1..6 (under ROOT via word 1) each hold two objects: six violations.
  std::vector<std::int64_t> tree = {0, 0, 1, 1, 1, 1, 1};
  for (std::int64_t head = 1; head <= 6; ++head) tree.insert(tree.end(), {head, head});
  const std::size_t words = tree.size() - 1;
  std::vector<Class> first(words, kObj), second(words, kDet);
  for (std::size_t i = 0; i < 6; ++i) first[i] = kDet, second[i] = kNsubj;
  const Sentence s = sentence(tree, first, second, std::vector<double>(words, -1.0));
  const ConstrainedTree result = resolve_head_constraints(s.arcs, s.relations, tree, kUnits);
  const auto left = find_violations(result.heads, result.labels, kUnits);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].head, 6);
  EXPECT_EQ(left[0].group, "obj");
  EXPECT_EQ(left[0].dependents, (std::vector<std::uint64_t>{17, 18}));
  EXPECT_EQ(result.heads, tree);
}

TEST(HeadConstraints, Refusals) {
  // Only "obj" can label an arc: the second object has nothing left on its head.
  const std::vector<std::string> only_obj = {"<PAD>", "<UNK>", "<EMPTY>", "<ROOT>", "obj"};
  RelationScores one_class{4, 1, std::vector<double>(16, -0.5)};
  ScoreMatrix arcs(4, -1.0);
  EXPECT_THROW_MSG(resolve_head_constraints(arcs, one_class, {0, 0, 1, 1}, only_obj), DepparseModelError,
                   "head constraints excluded every dependency relation");
  RelationScores all_minus_inf{4, 1, std::vector<double>(16, -kInf)};
  EXPECT_THROW_MSG(resolve_head_constraints(arcs, all_minus_inf, {0, 0, 1, 1}, only_obj), DepparseModelError,
                   "head constraints excluded every dependency relation");
  EXPECT_THROW_MSG(resolve_head_constraints(arcs, one_class, {0, 0, 1, 1}, kUnits), DepparseModelError,
                   "depparse relation scores do not match the relation vocabulary");
  EXPECT_THROW(resolve_head_constraints(arcs, one_class, {0, 0, 4, 1}, only_obj), std::invalid_argument);
  EXPECT_EQ(relation_group("nsubj:pass"), "subj");
  EXPECT_EQ(relation_group("csubj:outer"), "subj_outer");
  EXPECT_EQ(relation_group("Obj"), std::nullopt);
  EXPECT_EQ(arc_key(3, 0xFFFFFFFF00000002ull), (3ull << 32) | 2);
}

}  // namespace
}  // namespace lorvane::detail
