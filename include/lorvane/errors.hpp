#pragma once

#include <stdexcept>
#include <string>

#include "lorvane/export.hpp"

namespace lorvane {

// Every problem with a model bundle or its contents. Each model kind derives
// its own error class from it, so catching ModelBundleError catches them all.
class LORVANE_EXPORT ModelBundleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#define LORVANE_MODEL_ERROR(Name)                 \
  class LORVANE_EXPORT Name : public ModelBundleError { \
   public:                                        \
    using ModelBundleError::ModelBundleError;     \
  }

LORVANE_MODEL_ERROR(TokenizerModelError);
LORVANE_MODEL_ERROR(MWTModelError);
LORVANE_MODEL_ERROR(POSModelError);
LORVANE_MODEL_ERROR(LemmaModelError);
LORVANE_MODEL_ERROR(DepparseModelError);
LORVANE_MODEL_ERROR(NERModelError);
LORVANE_MODEL_ERROR(SentimentModelError);
LORVANE_MODEL_ERROR(ConstituencyModelError);
LORVANE_MODEL_ERROR(CorefModelError);
LORVANE_MODEL_ERROR(CharLMModelError);
LORVANE_MODEL_ERROR(LangIDModelError);
LORVANE_MODEL_ERROR(MorphSegModelError);
LORVANE_MODEL_ERROR(Seq2SeqModelError);

#undef LORVANE_MODEL_ERROR

// Every failure of the transformer encoder and of its bundle assets.
class LORVANE_EXPORT TransformerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A WordPiece tokenizer that cannot be built, or a word that is not UTF-8.
class LORVANE_EXPORT WordPieceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A byte-level BPE or XLM-R unigram tokenizer that cannot be built, or a
// word that is not UTF-8.
class LORVANE_EXPORT SubwordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A processor that has no model, or a direct operation on a stage without one.
class LORVANE_EXPORT ProcessorNotImplementedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A pipeline stage whose requirements are not provided by an earlier stage.
class LORVANE_EXPORT ProcessorRequirementsError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace lorvane
