#pragma once

// The document rewrite of the multi-word-token expander: every token whose
// MISC holds the entry "MWT=Yes" gets the words of its expansion, the words
// of every sentence are renumbered, and the storage is rebuilt.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/document.hpp"

namespace lorvane::detail {

// Expands token texts, one result per text in input order: words separated
// by spaces, or a text without a space for a token that is not split.
using TokenExpander = std::function<std::vector<std::string>(const std::vector<std::string>&)>;

// Whether a token MISC holds the entry "MWT=Yes" (entries cut at '|', compared
// byte for byte).
bool is_flagged(const std::optional<std::string>& misc);
// The MISC without empty entries and without "MWT=Yes"; absent when nothing
// remains.
std::optional<std::string> without_mwt_flag(const std::string& misc);

// Rewrites the document and returns a handle on its (same) storage. Each
// distinct flagged token text is expanded once, through one call of
// `expand`. Every edit is made on records; the storage takes the rebuilt
// contents only when the new storage is complete, so a failure anywhere
// (of `expand` or of the rebuild) leaves the document unchanged.
Document expand_flagged_tokens(const Document& document, const TokenExpander& expand);

}  // namespace lorvane::detail
