// Single-root tree decoding against brute force and against the
// straightforward decoder (tests/models/depparse_reference_decoding.cpp),
// its edge cases and its peak memory; subject and object head repairs on
// hand-built trees and against the straightforward repair.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "lorvane/errors.hpp"
#include "models/depparse/head_constraints.hpp"
#include "models/depparse/spanning_tree.hpp"
#include "models/depparse_reference_decoding.hpp"
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

ScoreMatrix to_matrix(const Matrix& m) {
  ScoreMatrix matrix(m.size());
  for (std::size_t i = 0; i < m.size(); ++i) std::copy(m[i].begin(), m[i].end(), matrix.row(i));
  return matrix;
}

// The heads, or the error message, of one decoder on one matrix.
template <typename Decode>
std::string outcome(Decode decode) {
  try {
    std::string out;
    for (const std::size_t head : decode()) out += std::to_string(head) + " ";
    return out;
  } catch (const DepparseModelError& e) {
    return e.what();
  }
}

// The library's decoder and the straightforward one give the same heads, or
// fail with the same message, on the matrix and (with and without the ROOT
// bias) on the same matrix given as float cells.
void expect_same_decoding(const ScoreMatrix& m, const std::string& what) {
  const std::string expected = outcome([&] { return reference_decoding::decode_single_root(m); });
  EXPECT_EQ(outcome([&] { return decode_single_root(m); }), expected) << what;
  EXPECT_EQ(outcome([&] { return maximum_spanning_tree(m); }),
            outcome([&] { return reference_decoding::maximum_spanning_tree(m); }))
      << what;
  std::vector<float> cells(m.data(), m.data() + m.size() * m.size());
  ScoreMatrix widened(m.size());
  std::copy(cells.begin(), cells.end(), widened.data());
  EXPECT_EQ(outcome([&] { return decode_single_root(ArcScoreView(cells.data(), m.size())); }),
            outcome([&] { return reference_decoding::decode_single_root(widened); }))
      << what << " (float)";
}

TEST(SpanningTree, EqualsTheBestSingleRootTreeOfEveryHeadVectorAndTheStraightforwardDecoder) {
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
    expect_same_decoding(to_matrix(m), "case " + std::to_string(c));
    try {
      const Heads heads = reference_decoding::decode_single_root(to_matrix(m));
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

// Random matrices of up to 400 rows: log-probability-like rows, rows whose
// scores take a few values only (many exact ties), -inf rows and cells, NaN
// and +inf cells, and rows that prefer a neighbour (long chains of greedy
// cycles, so many contraction levels).
TEST(SpanningTree, EqualsTheStraightforwardDecoderOnLargeRandomMatrices) {
  std::mt19937 random(29);
  std::uniform_real_distribution<double> uniform(-8.0, 0.0);
  std::uniform_int_distribution<int> percent(0, 99);
  for (int c = 0; c < 60; ++c) {
    const std::size_t n = c < 50 ? 2 + static_cast<std::size_t>(random() % 120) : 300 + static_cast<std::size_t>(random() % 101);
    const int kind = c % 4;
    ScoreMatrix m(n);
    for (std::size_t i = 0; i < n; ++i) {
      const int row_kind = percent(random);
      for (std::size_t j = 0; j < n; ++j) {
        const int roll = percent(random);
        double cell = uniform(random);
        if (kind == 1) cell = std::round(cell);  // few values: exact ties
        if (kind == 2 && j == (i ^ 1)) cell = -0.05 * static_cast<double>(1 + roll % 3);
        if (kind == 3 && roll == 0) cell = percent(random) < 30 ? kNaN : kInf;
        if (roll >= 92) cell = -kInf;
        if (row_kind == 0 && i > 1 && j > 0) cell = -kInf;
        m(i, j) = cell;
      }
    }
    expect_same_decoding(m, "case " + std::to_string(c) + ", n " + std::to_string(n) + ", kind " + std::to_string(kind));
  }
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
      {"a NaN in column 0 keeps ROOT", {{0, 0, 0, 0}, {kNaN, 0, -1, -1}, {-1, -1, 0, -2}, {-1, -2, -1, 0}}, {0, 0, 1, 2}, nullptr},
      // Word 3's head (2) joins the cycle {1, 2}; its arc to the cycle's
      // first member is NaN, so the cycle never wins its row, which is
      // scanned again; then {3, 4} forms.
      {"a NaN leaving score",
       {{0, 0, 0, 0, 0}, {-5, 0, -1, -6, -6}, {-5, -1, 0, -6, -6}, {-5, kNaN, -1, 0, -2}, {-3, -6, -6, -6, 0}},
       {0, 3, 1, 4, 0}, nullptr},
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
    const bool square = std::all_of(c.scores.begin(), c.scores.end(), [&](const auto& row) { return row.size() == c.scores.size(); });
    if (square) expect_same_decoding(to_matrix(c.scores), c.what);
  }
}

// A view reads replaced rows and the ROOT bias instead of the base cells.
TEST(SpanningTree, ViewsReadReplacedRowsAndTheRootBias) {
  const std::vector<float> base = {0, 0, 0, 0, -1, 0, -2, -3, -2, -1, 0, -4, -3, -1, -2, 0};
  const std::vector<double> replaced = {-5, -0.5, -9, -9};
  ArcScoreView view(base.data(), 4);
  view.replace_row(3, replaced.data());
  ArcScoreView biased = view;
  biased.add_to_root_column(-10);
  EXPECT_EQ(view(3, 1), -0.5);
  EXPECT_EQ(view(2, 1), -1.0);
  EXPECT_EQ(biased(2, 0), -12.0);
  EXPECT_EQ(view(2, 0), -2.0);
  EXPECT_EQ(view.lowest_finite(), -9.0);
  ScoreMatrix materialised(4);
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) materialised(i, j) = view(i, j);
  }
  EXPECT_EQ(decode_single_root(view), reference_decoding::decode_single_root(materialised));
  EXPECT_EQ(maximum_spanning_tree(biased), (Heads{0, 0, 1, 1}));
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
  s.relations.cells.assign(n * n * s.relations.classes(), -4.0);
  for (std::size_t i = 0; i < n; ++i) {
    s.arcs(i, i) = -kInf;
    if (i > 0) s.arcs(i, static_cast<std::size_t>(tree[i])) = 0.0;
    for (std::size_t h = 0; h < n && i > 0; ++h) {
      double* row = s.relations.cells.data() + (i * n + h) * s.relations.classes();
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

std::string text(const std::vector<std::int64_t>& values) {
  std::string out;
  for (const std::int64_t value : values) out += std::to_string(value) + " ";
  return out;
}

// A relation source that records every row it is asked for.
struct CountingRelations final : RelationSource {
  explicit CountingRelations(const RelationScores& all) : scores(all) {}
  std::size_t size() const override { return scores.size(); }
  std::size_t classes() const override { return scores.classes(); }
  void arc_rows(const std::vector<std::size_t>& dependents, const std::vector<std::size_t>& heads,
                double* out) const override {
    for (std::size_t k = 0; k < dependents.size(); ++k) ++arcs_read[arc_key(dependents[k], heads[k])];
    scores.arc_rows(dependents, heads, out);
  }
  void dependent_rows(std::size_t dependent, double* out) const override {
    ++dependents_read;
    scores.dependent_rows(dependent, out);
  }
  const RelationScores& scores;
  mutable std::unordered_map<std::uint64_t, int> arcs_read;
  mutable int dependents_read = 0;
};

// Random sentences in which subjects and objects are common: the repair
// decides exactly as the straightforward one (heads, labels, or the same
// error), reads each arc's relation row at most once, and rescores each
// dependent of a violation at most once per pass.
TEST(HeadConstraints, EqualTheStraightforwardRepair) {
  std::mt19937 random(41);
  std::normal_distribution<double> logit(0.0, 1.5);
  std::uniform_int_distribution<int> percent(0, 99);
  const std::size_t classes = kUnits.size() - 4;
  int repaired = 0;
  for (int c = 0; c < 400; ++c) {
    const std::size_t n = 2 + static_cast<std::size_t>(c) % 24;
    ScoreMatrix arcs(n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) arcs(i, j) = i == j ? -kInf : std::round(logit(random) * 2) / 2 - 2;
    }
    RelationScores relations(n, classes, std::vector<double>(n * n * classes));
    for (std::size_t cell = 0; cell < relations.cells.size(); ++cell) {
      const std::size_t r = cell % classes;
      const int roll = percent(random);
      relations.cells[cell] = roll < 2 ? -kInf : std::round(logit(random)) - (r == kDet ? 1.5 : 0.0);
    }
    reference_decoding::PlainRelations plain{n, classes, relations.cells};
    const std::string what = "case " + std::to_string(c);
    std::vector<std::int64_t> heads;
    try {
      for (const std::size_t head : reference_decoding::decode_single_root(arcs)) heads.push_back(static_cast<std::int64_t>(head));
    } catch (const DepparseModelError&) {
      continue;
    }
    std::string expected;
    try {
      const ConstrainedTree tree = reference_decoding::resolve_head_constraints(arcs, plain, heads, kUnits);
      expected = text(tree.heads) + " | " + text(tree.labels);
      repaired += tree.heads != heads;
    } catch (const DepparseModelError& e) {
      expected = e.what();
    }
    const CountingRelations counting(relations);
    try {
      const ConstrainedTree tree = resolve_head_constraints(arcs, counting, heads, kUnits);
      EXPECT_EQ(text(tree.heads) + " | " + text(tree.labels), expected) << what;
    } catch (const DepparseModelError& e) {
      EXPECT_EQ(e.what(), expected) << what;
    }
    for (const auto& [arc, reads] : counting.arcs_read) EXPECT_EQ(reads, 1) << what;
    // Each of at most five passes rescores each dependent of its violation once.
    EXPECT_LE(counting.dependents_read, static_cast<int>(5 * n)) << what;
  }
  EXPECT_GT(repaired, 20);
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
