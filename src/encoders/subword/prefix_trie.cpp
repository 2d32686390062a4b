#include "encoders/subword/prefix_trie.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace lorvane::detail {

// Built from the keys in sorted order: each key shares its first
// common-prefix bytes with the previous one and adds one node per further
// byte, so nodes come out depth first and a node's children in byte order;
// a stable sort of the edges by parent then makes them contiguous.
PrefixTrie::PrefixTrie(const TokenIdMap& ids) {
  std::vector<std::pair<std::string_view, std::int64_t>> keys(ids.begin(), ids.end());
  std::sort(keys.begin(), keys.end());
  struct Edge {
    std::uint32_t parent;
    unsigned char label;
    std::uint32_t child;
  };
  std::vector<Edge> edges;
  ids_.push_back(-1);
  std::vector<std::uint32_t> path = {root()};  // path[d]: the node after d bytes of the previous key
  std::string_view previous;
  for (const auto& [key, id] : keys) {
    std::size_t common = 0;
    while (common < key.size() && common < previous.size() && key[common] == previous[common]) ++common;
    path.resize(common + 1);
    for (std::size_t d = common; d < key.size(); ++d) {
      if (ids_.size() >= kNoNode) throw std::length_error("vocabulary trie is too large");
      const auto node = static_cast<std::uint32_t>(ids_.size());
      ids_.push_back(-1);
      edges.push_back({path.back(), static_cast<unsigned char>(key[d]), node});
      path.push_back(node);
    }
    ids_[path.back()] = id;
    previous = key;
  }
  std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.parent < b.parent; });
  first_edge_.assign(ids_.size() + 1, 0);
  for (const Edge& edge : edges) ++first_edge_[edge.parent + 1];
  for (std::size_t node = 0; node < ids_.size(); ++node) first_edge_[node + 1] += first_edge_[node];
  for (const Edge& edge : edges) {
    labels_.push_back(edge.label);
    targets_.push_back(edge.child);
  }
}

std::uint32_t PrefixTrie::child(std::uint32_t node, unsigned char byte) const {
  const auto begin = labels_.begin() + first_edge_[node];
  const auto end = labels_.begin() + first_edge_[node + 1];
  const auto it = std::lower_bound(begin, end, byte);
  return it != end && *it == byte ? targets_[static_cast<std::size_t>(it - labels_.begin())] : kNoNode;
}

}  // namespace lorvane::detail
