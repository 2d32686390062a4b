#pragma once

// A read-only byte trie over the distinct entries of a vocabulary, for
// walking every entry that starts at one position of a text in a single pass
// (where a hash look-up per candidate end would hash each candidate anew).
// Nodes and edges are flat arrays; the edges of a node are contiguous and
// sorted by byte.

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "encoders/subword/subword_common.hpp"

namespace lorvane::detail {

class PrefixTrie {
 public:
  static constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

  PrefixTrie() = default;
  // Every key of ids with its identifier.
  explicit PrefixTrie(const TokenIdMap& ids);

  static constexpr std::uint32_t root() { return 0; }
  // The child of node along byte, or kNoNode.
  std::uint32_t child(std::uint32_t node, unsigned char byte) const;
  // The identifier of the entry that ends at node, or nullptr.
  const std::int64_t* id(std::uint32_t node) const {
    return ids_[node] >= 0 ? &ids_[node] : nullptr;
  }

 private:
  std::vector<std::uint32_t> first_edge_;  // per node, plus one past the last edge
  std::vector<std::int64_t> ids_;          // per node; -1 where no entry ends
  std::vector<unsigned char> labels_;      // per edge
  std::vector<std::uint32_t> targets_;     // per edge
};

}  // namespace lorvane::detail
