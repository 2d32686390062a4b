#pragma once

// The lemmatiser's document operations, with the model-call observer as a
// seam. LemmaPlan::process and process_bulk run them without an observer.

#include <vector>

#include "lorvane/document.hpp"
#include "models/lemma/plan_impl.hpp"

namespace lorvane::detail {

// Sets the lemma of every regular word of the document (earlier lemmas are
// overwritten; ROOT and empty words are left alone) and returns it. The
// model's misses of the whole document go in one batched call; should that
// fail, the words are lemmatised one after the other, so that the failing
// word reports its error with the words before it set.
Document lemmatize_document(const LemmaPlan::Impl& plan, Document document, LemmaModelObserver* observer);

// The same for every document of the list, with one batched call for the
// misses of all of them. Every lemma is computed before the first is set, so
// a failure leaves all documents unchanged.
std::vector<Document> lemmatize_documents(const LemmaPlan::Impl& plan, std::vector<Document> documents,
                                          LemmaModelObserver* observer);

}  // namespace lorvane::detail
