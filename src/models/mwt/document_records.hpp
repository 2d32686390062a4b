#pragma once

// A document copied back into the input records it can be built from, so
// that a model can edit the records and have the storage rebuilt.

#include <cstdint>
#include <string>
#include <vector>

#include "lorvane/document.hpp"

namespace lorvane::detail {

// Every sentence, token, word and empty word of the document with every
// annotation the records hold, as stored: absent cells stay absent, empty
// strings stay present. The document's text and language, entity spans,
// constituency trees and coreference are not carried (the records have no
// place for them). The document is not changed.
std::vector<SentenceInput> to_sentence_inputs(const Document& document);

// The strings of pool identifiers, in order. Throws std::out_of_range
// "invalid string pool identifier" for an identifier outside the pool.
std::vector<std::string> pool_strings(const DocumentStorage& storage, const std::vector<std::uint32_t>& ids);

}  // namespace lorvane::detail
