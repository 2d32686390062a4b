#include "models/depparse/spanning_tree.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include "lorvane/errors.hpp"

namespace lorvane::detail {
namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
// Columns remembered per row that tie with its greedy head. Rows rarely tie;
// a row with more ties keeps the first ones, and should its head and all of
// those leave the graph, it is scanned again.
constexpr std::size_t kRememberedTies = 8;

using Node = std::uint32_t;
constexpr Node kNoNode = std::numeric_limits<Node>::max();

[[noreturn]] void fail(const char* message) { throw DepparseModelError(message); }

// An arc of the given matrix. Every score of a contracted graph is the score
// of one such arc (a leaving score unchanged, an entering score adjusted by
// its cycle), and the expanded tree consists of exactly the arcs behind the
// scores chosen.
struct Arc {
  Node dependent = 0;
  Node head = 0;
};

struct Scored {
  double value = kMinusInfinity;
  Arc arc;
};

// The greedy head of a row: of the columns offered in increasing order, the
// first is the best until a later one scores strictly higher, so equal maxima
// go to the lowest column and a NaN never wins (a NaN first keeps the first).
struct Greedy {
  Node head = 0;
  Scored score;
  std::vector<Node> ties;  // later columns scoring the same as the head, increasing
  bool all_ties = true;    // `ties` holds every such column

  void reset(Node column, const Scored& scored) {
    head = column;
    score = scored;
    ties.clear();
    all_ties = true;
  }
  // `column` comes after every column offered so far.
  void offer(Node column, const Scored& scored) {
    if (scored.value > score.value) {
      reset(column, scored);
    } else if (scored.value == score.value && all_ties) {
      if (ties.size() < kRememberedTies) {
        ties.push_back(column);
      } else {
        all_ties = false;
      }
    }
  }
};

// Refuses jagged input before it is laid out as a square matrix.
ScoreMatrix square_matrix(const std::vector<std::vector<double>>& rows) {
  for (const auto& row : rows) {
    if (row.empty()) fail("cannot decode an empty score row");
  }
  for (const auto& row : rows) {
    if (row.size() != rows.size()) fail("dependency score matrix is not square");
  }
  ScoreMatrix matrix(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) std::copy(rows[i].begin(), rows[i].end(), matrix.row(i));
  return matrix;
}

// Lowers `low` to every finite cell below it.
void lower_to_finite(const double* begin, const double* end, double& low) {
  for (const double* cell = begin; cell != end; ++cell) {
    if (std::fabs(*cell) <= std::numeric_limits<double>::max() && *cell < low) low = *cell;
  }
}

// Chu-Liu/Edmonds with the decisions of the recursive formulation (contract
// the greedy graph's cycle whose smallest member is largest, rebuild the
// matrix, recurse, expand), without rebuilding a matrix per level.
//
// Nodes 0 .. n - 1 are the matrix's; the k-th contraction makes node n + k
// for its cycle. In increasing number, a level's nodes are in the order of
// the recursive matrix at that level: the nodes that stay keep their order
// and the new node comes last. The score of a pair of nodes is kept by the
// later of the two: original pairs are the matrix's cells, and a contracted
// node has a row (its entering scores: the cycle's best for taking a node as
// head) and a column (its leaving scores: a node's best score for a member as
// head), each indexed by the other node's slot. Slots are 0 .. n - 1; a
// contracted node takes the slot of its smallest member, whose tables are
// released for the next contraction to reuse. A cycle's leaving scores read
// matrix columns, which come from a column-major copy of the matrix (a
// strided column costs a cache miss per row). Greedy heads change only for
// rows whose head was in the cycle or that prefer the new node, and expanding
// needs only the arc behind each choice.
class Contractions {
 public:
  explicit Contractions(const ArcScoreView& scores)
      : scores_(scores.with_columns()), size_(static_cast<Node>(scores.size())), buffer_(scores.size()) {
    const std::size_t most = 2 * scores.size();
    slot_.resize(most);
    greedy_.resize(most);
    parent_.assign(most, kNoNode);
    cycle_arc_.resize(most);
    in_cycle_.assign(most, 0);
    walk_state_.assign(most, 0);
    for (Node node = 0; node < size_; ++node) {
      slot_[node] = node;
      active_.push_back(node);
    }
    greedy_[0].reset(0, {0.0, {0, 0}});  // ROOT takes itself
    for (Node node = 1; node < size_; ++node) choose_first_head(node);
  }

  std::vector<std::size_t> heads() {
    for (std::vector<Node> cycle = last_cycle(); !cycle.empty(); cycle = last_cycle()) contract(cycle);
    return expand();
  }

 private:
  struct Contracted {
    std::vector<Node> members;   // increasing
    std::vector<Scored> row;     // by slot
    std::vector<Scored> column;  // by slot
  };

  // A table of one entry per slot: a released one when there is one. Only
  // the entries of the slots it is written for are ever read.
  std::vector<Scored> table() {
    if (spare_tables_.empty()) return std::vector<Scored>(size_);
    std::vector<Scored> reused = std::move(spare_tables_.back());
    spare_tables_.pop_back();
    return reused;
  }

  bool is_contracted(Node node) const { return node >= size_; }
  const Contracted& contracted(Node node) const { return contracted_[node - size_]; }

  // The score of `dependent` taking `head` at the current level (both in it).
  Scored score(Node dependent, Node head) const {
    if (dependent == head) return {kMinusInfinity, {dependent, head}};
    if (head > dependent && is_contracted(head)) return contracted(head).column[slot_[dependent]];
    if (dependent > head && is_contracted(dependent)) return contracted(dependent).row[slot_[head]];
    // Row 0 is ROOT's: it takes no head but itself.
    if (dependent == 0) return {kMinusInfinity, {dependent, head}};
    return {scores_(dependent, head), {dependent, head}};
  }

  void choose_first_head(Node node) {
    scores_.read_row(node, buffer_.data());
    Greedy& greedy = greedy_[node];
    greedy.reset(0, {buffer_[0], {node, 0}});
    for (Node column = 1; column < size_; ++column) {
      if (column != node) greedy.offer(column, {buffer_[column], {node, column}});
    }
  }

  // The heads of `node` over the current level's columns, from scratch.
  void rescan(Node node) {
    Greedy& greedy = greedy_[node];
    greedy.reset(active_[0], score(node, active_[0]));
    for (std::size_t k = 1; k < active_.size(); ++k) {
      if (active_[k] != node) greedy.offer(active_[k], score(node, active_[k]));
    }
  }

  // The members, in increasing order, of the cycle of the greedy graph whose
  // smallest member is largest; empty when the graph has no cycle. Every node
  // has exactly one head, so the cycles are disjoint and each is found by
  // following heads from any node that leads into it. Of the cycles, this is
  // the one a strongly-connected-components search started from the nodes in
  // increasing order completes last.
  std::vector<Node> last_cycle() {
    enum : std::uint8_t { kUnseen, kOnWalk, kDone };
    for (const Node node : active_) walk_state_[node] = kUnseen;
    std::vector<Node> walk;
    std::vector<Node> best;
    for (const Node start : active_) {
      if (walk_state_[start] != kUnseen) continue;
      walk.clear();
      Node node = start;
      while (walk_state_[node] == kUnseen) {
        walk_state_[node] = kOnWalk;
        walk.push_back(node);
        node = greedy_[node].head;
      }
      if (walk_state_[node] == kOnWalk && greedy_[node].head != node) {
        std::vector<Node> members;
        for (Node member = node; members.empty() || member != node; member = greedy_[member].head) {
          members.push_back(member);
        }
        std::sort(members.begin(), members.end());
        if (best.empty() || members.front() > best.front()) best = std::move(members);
      }
      for (const Node visited : walk) walk_state_[visited] = kDone;
    }
    return best;
  }

  // The cycle's entering scores: for every remaining node, the best over the
  // members k of (score(member k, node) - inside[k]) + total, in that order of
  // operations; the lowest member wins ties.
  void enter(const std::vector<Node>& cycle, const std::vector<double>& inside, double total,
             const std::vector<Node>& rest, Contracted& made) {
    made.row = table();
    for (std::size_t k = 0; k < cycle.size(); ++k) {
      const Node member = cycle[k];
      if (!is_contracted(member)) scores_.read_row(member, buffer_.data());
      for (const Node node : rest) {
        const Scored cell = is_contracted(member) || is_contracted(node) ? score(member, node)
                                                                           : Scored{buffer_[node], {member, node}};
        const Scored entering{(cell.value - inside[k]) + total, cell.arc};
        Scored& best = made.row[slot_[node]];
        if (k == 0 || entering.value > best.value) best = entering;
      }
    }
  }

  // The cycle's leaving scores: for every remaining node, its best score for
  // a member as head; the lowest member wins ties.
  void leave(const std::vector<Node>& cycle, const std::vector<Node>& rest, Contracted& made) {
    made.column = table();
    for (std::size_t k = 0; k < cycle.size(); ++k) {
      const Node member = cycle[k];
      if (!is_contracted(member)) scores_.read_column(member, buffer_.data());
      for (const Node node : rest) {
        // Row 0 is ROOT's, which takes no head but itself.
        const Scored cell = is_contracted(member) || is_contracted(node) ? score(node, member)
                            : node == 0                                 ? Scored{kMinusInfinity, {node, member}}
                                                                        : Scored{buffer_[node], {node, member}};
        Scored& best = made.column[slot_[node]];
        if (k == 0 || cell.value > best.value) best = cell;
      }
    }
  }

  // A row's greedy head once the cycle's members have left the graph and
  // `made` (the last column) has joined it.
  void update_head(Node node, Node made) {
    Greedy& greedy = greedy_[node];
    const Scored leaving = score(node, made);
    std::erase_if(greedy.ties, [&](Node column) { return in_cycle_[column] != 0; });
    if (in_cycle_[greedy.head] == 0) {
      greedy.offer(made, leaving);
      return;
    }
    if (!greedy.ties.empty()) {
      // The next column of the same score becomes the head.
      const Node next = greedy.ties.front();
      greedy.ties.erase(greedy.ties.begin());
      greedy.head = next;
      greedy.score = score(node, next);
      greedy.offer(made, leaving);
      return;
    }
    // Every remaining column scores below the old head, which the new node
    // matches or beats unless a NaN intervened.
    if (greedy.all_ties && leaving.value >= greedy.score.value) {
      greedy.reset(made, leaving);
      return;
    }
    rescan(node);
    greedy.offer(made, leaving);
  }

  void contract(const std::vector<Node>& cycle) {
    const auto made = static_cast<Node>(size_ + contracted_.size());
    std::vector<double> inside(cycle.size());
    double total = 0.0;
    for (std::size_t k = 0; k < cycle.size(); ++k) {
      inside[k] = greedy_[cycle[k]].score.value;
      total += inside[k];
      in_cycle_[cycle[k]] = 1;
    }
    std::vector<Node> rest;
    rest.reserve(active_.size() - cycle.size());
    for (const Node node : active_) {
      if (in_cycle_[node] == 0) rest.push_back(node);
    }
    Contracted tables;
    tables.members = cycle;
    enter(cycle, inside, total, rest, tables);
    leave(cycle, rest, tables);
    for (const Node member : cycle) {
      cycle_arc_[member] = greedy_[member].score.arc;
      parent_[member] = made;
      if (is_contracted(member)) {
        Contracted& released = contracted_[member - size_];
        spare_tables_.push_back(std::move(released.row));
        spare_tables_.push_back(std::move(released.column));
        released.row = {};
        released.column = {};
      }
    }
    slot_[made] = slot_[cycle.front()];
    contracted_.push_back(std::move(tables));
    active_ = std::move(rest);
    for (const Node row : active_) {
      if (row != 0) update_head(row, made);
    }
    Greedy& greedy = greedy_[made];
    greedy.reset(active_[0], score(made, active_[0]));
    for (std::size_t k = 1; k < active_.size(); ++k) greedy.offer(active_[k], score(made, active_[k]));
    active_.push_back(made);
    for (const Node member : cycle) in_cycle_[member] = 0;
  }

  // The arc behind each remaining node's greedy choice; then, from the last
  // contraction to the first, the arc chosen for a contracted node goes to the
  // member that holds its dependent, and the other members keep their cycle
  // arcs.
  std::vector<std::size_t> expand() const {
    std::vector<Arc> arcs(size_ + contracted_.size());
    for (const Node node : active_) arcs[node] = greedy_[node].score.arc;
    for (std::size_t k = contracted_.size(); k-- > 0;) {
      const auto node = static_cast<Node>(size_ + k);
      const Arc chosen = arcs[node];
      Node holder = chosen.dependent;
      while (parent_[holder] != node) holder = parent_[holder];
      for (const Node member : contracted_[k].members) arcs[member] = member == holder ? chosen : cycle_arc_[member];
    }
    std::vector<std::size_t> heads(size_);
    for (Node node = 1; node < size_; ++node) heads[node] = arcs[node].head;
    return heads;
  }

  const ArcScoreView scores_;
  const Node size_;
  std::vector<double> buffer_;  // one row of the matrix
  std::vector<Node> active_;    // the current level's nodes, increasing
  std::vector<Node> slot_;      // by node
  std::vector<Greedy> greedy_;  // by node
  std::vector<Contracted> contracted_;  // by node - n
  std::vector<std::vector<Scored>> spare_tables_;  // released tables
  std::vector<Node> parent_;    // by node: the contracted node that took it in
  std::vector<Arc> cycle_arc_;  // by node: its arc in that cycle
  std::vector<char> in_cycle_;  // by node: a member of the cycle being contracted
  std::vector<std::uint8_t> walk_state_;  // by node
};

std::vector<std::size_t> decode_biased(const ArcScoreView& scores, double low) {
  ArcScoreView biased = scores;
  biased.add_to_root_column(static_cast<double>(scores.size()) * low);
  std::vector<std::size_t> heads = maximum_spanning_tree(biased);
  const auto roots = std::count(heads.begin() + 1, heads.end(), std::size_t{0});
  if (roots != 1) fail("single-root dependency decoding did not produce one root");
  return heads;
}

}  // namespace

void ArcScoreView::replace_row(std::size_t dependent, const double* cells) {
  if (replaced_.empty()) replaced_.assign(size_, nullptr);
  replaced_[dependent] = cells;
}

void ArcScoreView::read_row(std::size_t dependent, double* out) const noexcept {
  if (!replaced_.empty() && replaced_[dependent] != nullptr) {
    std::copy(replaced_[dependent], replaced_[dependent] + size_, out);
  } else if (floats_ != nullptr) {
    std::copy(floats_ + dependent * size_, floats_ + (dependent + 1) * size_, out);
  } else {
    std::copy(doubles_ + dependent * size_, doubles_ + (dependent + 1) * size_, out);
  }
  if (biased_ && size_ > 0) out[0] += root_bias_;
}

void ArcScoreView::read_column(std::size_t head, double* out) const noexcept {
  if (columns_ != nullptr && floats_ != nullptr) {
    std::copy(columns_->floats.begin() + static_cast<std::ptrdiff_t>(head * size_),
              columns_->floats.begin() + static_cast<std::ptrdiff_t>((head + 1) * size_), out);
  } else if (columns_ != nullptr) {
    std::copy(columns_->doubles.begin() + static_cast<std::ptrdiff_t>(head * size_),
              columns_->doubles.begin() + static_cast<std::ptrdiff_t>((head + 1) * size_), out);
  } else {
    for (std::size_t dependent = 0; dependent < size_; ++dependent) out[dependent] = base(dependent, head);
  }
  if (!replaced_.empty()) {
    for (std::size_t dependent = 0; dependent < size_; ++dependent) {
      if (replaced_[dependent] != nullptr) out[dependent] = replaced_[dependent][head];
    }
  }
  if (biased_ && head == 0) {
    for (std::size_t dependent = 0; dependent < size_; ++dependent) out[dependent] += root_bias_;
  }
}

namespace {

// Column-major copy of a square row-major matrix, a cache-sized tile at a time.
template <typename T>
std::vector<T> transposed(const T* cells, std::size_t size) {
  constexpr std::size_t kTile = 64;
  std::vector<T> out(size * size);
  for (std::size_t row = 0; row < size; row += kTile) {
    for (std::size_t column = 0; column < size; column += kTile) {
      for (std::size_t i = row; i < std::min(size, row + kTile); ++i) {
        for (std::size_t j = column; j < std::min(size, column + kTile); ++j) out[j * size + i] = cells[i * size + j];
      }
    }
  }
  return out;
}

}  // namespace

ArcScoreView ArcScoreView::with_columns() const {
  if (columns_ != nullptr) return *this;
  auto columns = std::make_shared<Columns>();
  if (floats_ != nullptr) {
    columns->floats = transposed(floats_, size_);
  } else if (doubles_ != nullptr) {
    columns->doubles = transposed(doubles_, size_);
  }
  ArcScoreView view = *this;
  view.columns_ = std::move(columns);
  return view;
}

double ArcScoreView::lowest_finite() const {
  double low = std::numeric_limits<double>::infinity();
  std::vector<double> row(size_);
  for (std::size_t dependent = 0; dependent < size_; ++dependent) {
    read_row(dependent, row.data());
    lower_to_finite(row.data(), row.data() + size_, low);
  }
  return low;
}

std::vector<std::size_t> maximum_spanning_tree(const ArcScoreView& scores) {
  // Node numbers, contracted ones included, must fit in 32 bits; no matrix
  // that fits in memory comes near.
  if (scores.size() >= std::numeric_limits<Node>::max() / 2) throw std::length_error("dependency score matrix too large");
  if (scores.size() == 0) return {};
  return Contractions(scores).heads();
}

std::vector<std::size_t> maximum_spanning_tree(const ScoreMatrix& scores) {
  return maximum_spanning_tree(ArcScoreView(scores));
}

std::vector<std::size_t> maximum_spanning_tree(const std::vector<std::vector<double>>& scores) {
  const ScoreMatrix matrix = square_matrix(scores);
  return maximum_spanning_tree(ArcScoreView(matrix));
}

std::vector<std::size_t> decode_single_root(const ArcScoreView& scores) {
  const double low = scores.lowest_finite();
  if (scores.size() == 0 || std::isinf(low)) fail("dependency scores contain no finite value");
  return decode_biased(scores, low);
}

std::vector<std::size_t> decode_single_root(const ScoreMatrix& scores) {
  return decode_single_root(ArcScoreView(scores));
}

std::vector<std::size_t> decode_single_root(const std::vector<std::vector<double>>& scores) {
  double low = std::numeric_limits<double>::infinity();
  for (const auto& row : scores) lower_to_finite(row.data(), row.data() + row.size(), low);
  if (scores.empty() || std::isinf(low)) fail("dependency scores contain no finite value");
  const ScoreMatrix matrix = square_matrix(scores);
  return decode_biased(ArcScoreView(matrix), low);
}

}  // namespace lorvane::detail
