#pragma once

// Shared by the tokenizer inference tests: writing generated and hand-set
// tokenize bundles, running the PyTorch reference, and printing documents in
// a form that compares as one string.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/document.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

inline std::string json_float(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

// The vocabulary of the hand-set bundles: <PAD> 0, <UNK> 1, then one id per
// character of `units` from 2.
inline std::string vocab_json(std::string_view units) {
  std::string out = R"({"<PAD>": 0, "<UNK>": 1)";
  int id = 2;
  for (const char c : units) out += ", " + json_quote(std::string(1, c)) + ": " + std::to_string(id++);
  return out + "}";
}

// Writes every bundle in one run of the fixture generator. Each job is the
// output directory and the generator's keyword arguments as a JSON object.
inline void write_tokenizer_bundles(
    const std::filesystem::path& scratch,
    const std::vector<std::pair<std::filesystem::path, std::string>>& jobs) {
  write_generated_bundles("tokenizer_bundle.py", scratch, jobs);
}

// Hand-set weights of a tokenize bundle: every required tensor starts at zero.
// LSTM gate rows follow the library layout (input, forget, cell, output).
class DesignedWeights {
 public:
  enum Gate { kInput = 0, kForget = 1, kCell = 2, kOutput = 3 };

  DesignedWeights(std::int64_t vocab_rows, std::int64_t emb, std::int64_t hidden, std::int64_t feat,
                  bool use_mwt)
      : hidden_(hidden) {
    add("embeddings.weight", {vocab_rows, emb});
    for (const std::string prefix : {"rnn.", "rnn2."}) {
      const std::int64_t input = prefix == "rnn." ? emb + feat : 2 * hidden;
      for (const std::string suffix : {"", "_reverse"}) {
        add(prefix + "weight_ih_l0" + suffix, {4 * hidden, input});
        add(prefix + "weight_hh_l0" + suffix, {4 * hidden, hidden});
        add(prefix + "bias_ih_l0" + suffix, {4 * hidden});
        add(prefix + "bias_hh_l0" + suffix, {4 * hidden});
      }
    }
    for (const std::string head : {"tok", "sent", "mwt"}) {
      if (head == "mwt" && !use_mwt) continue;
      add(head + "_clf.weight", {1, 2 * hidden});
      add(head + "_clf.bias", {1});
      add(head + "_clf2.weight", {1, 2 * hidden});
    }
  }

  void set(const std::string& name, std::int64_t row, std::int64_t column, float value) {
    Tensor& t = tensors_.at(name);
    const std::int64_t columns = t.shape.size() > 1 ? t.shape[1] : 1;
    t.values.at(static_cast<std::size_t>(row * columns + column)) = value;
  }
  void set(const std::string& name, std::int64_t index, float value) { set(name, index, 0, value); }

  // prefix "rnn." or "rnn2."; unit j of the direction's hidden state.
  void gate_bias(const std::string& prefix, bool reverse, Gate gate, std::int64_t j, float value) {
    set(prefix + "bias_ih_l0" + (reverse ? "_reverse" : ""), gate * hidden_ + j, value);
  }
  void gate_input(const std::string& prefix, bool reverse, Gate gate, std::int64_t j,
                  std::int64_t input, float value) {
    set(prefix + "weight_ih_l0" + (reverse ? "_reverse" : ""), gate * hidden_ + j, input, value);
  }

  // The generator's "tensors" option: every tensor with its explicit values.
  std::string tensors_json() const {
    std::string out = "{";
    bool first = true;
    for (const auto& [name, t] : tensors_) {
      if (!first) out += ", ";
      first = false;
      out += json_quote(name) + R"(: {"dtype": "float32", "shape": [)";
      for (std::size_t d = 0; d < t.shape.size(); ++d) out += (d ? ", " : "") + std::to_string(t.shape[d]);
      out += R"(], "values": [)";
      for (std::size_t i = 0; i < t.values.size(); ++i) out += (i ? "," : "") + json_float(t.values[i]);
      out += "]}";
    }
    return out + "}";
  }

 private:
  struct Tensor {
    std::vector<std::int64_t> shape;
    std::vector<float> values;
  };

  void add(const std::string& name, std::vector<std::int64_t> shape) {
    std::int64_t count = 1;
    for (const std::int64_t d : shape) count *= d;
    tensors_[name] = Tensor{std::move(shape), std::vector<float>(static_cast<std::size_t>(count), 0.0f)};
  }

  std::int64_t hidden_;
  std::map<std::string, Tensor> tensors_;
};

// ---------------------------------------------------------------------------
// The PyTorch reference

struct ReferenceParagraph {
  std::vector<std::uint32_t> offsets;
  std::vector<std::int64_t> single_labels;
  std::vector<double> single_logits;  // n x 3
  std::vector<double> exact_logits;   // the single path's logits in float64
  std::vector<std::optional<double>> margins;  // per unit: the best label's lead in the float64 scores
  std::vector<std::int64_t> batch_labels;
  std::vector<double> batch_logits;
  // Asked for with sentence_cuts: the single path's labels when a window is
  // cut back only after a sentence end (the rule before token-end cuts).
  std::vector<std::int64_t> sentence_cut_labels;
};

// The library's recurrent kernels round differently from the reference's,
// and on the random test weights (far larger than trained ones) float32
// rounding grows along a paragraph (on 580 units of ordinary text both
// sides' logits lie up to 8e-5 from a float64 evaluation; on a run of one
// repeated letter, 7e-3). So logits are held to float64: the library's
// largest error on a paragraph may be four times the reference's own (two
// float32 evaluations of such an amplifying recurrence differ in their error
// by a few times with any change of summation order).
inline double logit_error_bound(const std::vector<double>& reference, const std::vector<double>& exact) {
  double theirs = 0.0;
  for (std::size_t i = 0; i < exact.size() && i < reference.size(); ++i) {
    theirs = std::max(theirs, std::fabs(reference[i] - exact[i]));
  }
  return 4.0 * theirs + 1e-6;
}

// Whether the label of unit i may differ from the reference's in float32, in
// the single or the batch path. Two labels' scores differ by a sum over the
// three logits of terms that move by at most their logit's change (log σ(x) −
// log σ(−x) = x, and a log-sigmoid's slope lies within 1), so the difference
// moves by at most three times the logits' error bound.
inline bool label_too_close_to_call(const ReferenceParagraph& paragraph, std::size_t i) {
  const std::optional<double>& margin = paragraph.margins.at(i);
  const double bound = std::max(logit_error_bound(paragraph.single_logits, paragraph.exact_logits),
                                logit_error_bound(paragraph.batch_logits, paragraph.exact_logits));
  return margin && *margin < 3.0 * bound;
}

struct ReferenceDocument {
  std::vector<ReferenceParagraph> paragraphs;
  std::string summary;  // the sentences in the form of describe_document
};

// Whether any label of the document is too close to call.
inline bool document_too_close_to_call(const ReferenceDocument& document) {
  for (const ReferenceParagraph& paragraph : document.paragraphs) {
    for (std::size_t i = 0; i < paragraph.margins.size(); ++i) {
      if (label_too_close_to_call(paragraph, i)) return true;
    }
  }
  return false;
}

namespace reference_detail {

inline std::vector<std::int64_t> integers(const detail::JsonValue& array) {
  std::vector<std::int64_t> out;
  for (const auto& v : array.as_array("")) out.push_back(v.as_integer(""));
  return out;
}

inline std::vector<double> rows_of_three(const detail::JsonValue& array) {
  std::vector<double> out;
  for (const auto& row : array.as_array("")) {
    for (const auto& v : row.as_array("")) out.push_back(v.as_number(""));
  }
  return out;
}

}  // namespace reference_detail

// Runs tests/reference/tokenizer_reference.py on the texts; batch_size
// overrides the bundle's when given.
inline std::vector<ReferenceDocument> run_reference(const std::filesystem::path& bundle,
                                                    const std::vector<std::string>& texts,
                                                    const std::filesystem::path& scratch,
                                                    std::optional<std::int64_t> batch_size = std::nullopt,
                                                    bool sentence_cuts = false) {
  std::string request = R"({"texts": [)";
  for (std::size_t i = 0; i < texts.size(); ++i) request += (i ? ", " : "") + json_quote(texts[i]);
  request += "]";
  if (batch_size) request += R"(, "batch_size": )" + std::to_string(*batch_size);
  if (sentence_cuts) request += R"(, "sentence_cuts": true)";
  request += "}";
  const auto request_file = scratch / "reference_request.json";
  const auto result_file = scratch / "reference_result.json";
  write_file(request_file, request);
  run_python({(source_dir() / "tests/reference/tokenizer_reference.py").string(), "label", bundle.string(),
              request_file.string(), result_file.string()});

  const detail::JsonValue result = detail::parse_json(read_file(result_file));
  std::vector<ReferenceDocument> documents;
  for (const auto& doc : result.at("documents", "").as_array("")) {
    ReferenceDocument out;
    for (const auto& p : doc.at("paragraphs", "").as_array("")) {
      ReferenceParagraph paragraph;
      for (const std::int64_t offset : reference_detail::integers(p.at("offsets", ""))) {
        paragraph.offsets.push_back(static_cast<std::uint32_t>(offset));
      }
      paragraph.single_labels = reference_detail::integers(p.at("single_labels", ""));
      paragraph.single_logits = reference_detail::rows_of_three(p.at("single_logits", ""));
      paragraph.exact_logits = reference_detail::rows_of_three(p.at("exact_logits", ""));
      for (const auto& margin : p.at("margins", "").as_array("")) {
        paragraph.margins.push_back(margin.is_null() ? std::nullopt : std::optional<double>(margin.as_number("")));
      }
      paragraph.batch_labels = reference_detail::integers(p.at("batch_labels", ""));
      paragraph.batch_logits = reference_detail::rows_of_three(p.at("batch_logits", ""));
      if (sentence_cuts) paragraph.sentence_cut_labels = reference_detail::integers(p.at("sentence_cut_labels", ""));
      out.paragraphs.push_back(std::move(paragraph));
    }
    std::ostringstream summary;
    summary << "lang=" << doc.at("lang", "").as_string("") << "\n";
    for (const auto& sentence : doc.at("sentences", "").as_array("")) {
      summary << "sentence\n";
      for (const auto& token : sentence.as_array("")) {
        const detail::JsonValue& misc = token.at("misc", "");
        summary << "  " << token.at("id", "").as_integer("") << " " << json_quote(token.at("text", "").as_string(""))
                << " [" << token.at("start", "").as_integer("") << "," << token.at("end", "").as_integer("")
                << ") before=" << json_quote(token.at("spaces_before", "").as_string(""))
                << " after=" << json_quote(token.at("spaces_after", "").as_string(""))
                << " misc=" << (misc.is_null() ? std::string("-") : misc.as_string("")) << "\n";
      }
    }
    out.summary = summary.str();
    documents.push_back(std::move(out));
  }
  return documents;
}

// ---------------------------------------------------------------------------
// Documents as text

// One line per token; also checks that every token holds exactly one word
// carrying the token's text, offsets and MISC.
inline std::string describe_document(const Document& document) {
  std::ostringstream out;
  out << "lang=" << document.lang().value_or("<none>") << "\n";
  const SentenceSequence sentences = document.sentences();
  for (std::uint64_t s = 0; s < sentences.size(); ++s) {
    out << "sentence\n";
    const TokenSequence tokens = sentences.at(static_cast<std::int64_t>(s)).tokens();
    for (std::uint64_t t = 0; t < tokens.size(); ++t) {
      const Token token = tokens.at(static_cast<std::int64_t>(t));
      const auto [id_start, id_end] = token.id_range();
      EXPECT_EQ(id_start, id_end);
      out << "  " << id_start << " " << json_quote(token.text()) << " [" << token.start_char().value_or(kNoIndex) << ","
          << token.end_char().value_or(kNoIndex) << ") before=" << json_quote(token.spaces_before())
          << " after=" << json_quote(token.spaces_after()) << " misc=" << token.misc().value_or("-") << "\n";
      const WordSequence words = token.words();
      EXPECT_EQ(words.size(), 1u) << token.text();
      if (words.size() == 1) {
        const Word word = words.at(0);
        EXPECT_EQ(word.id(), id_start);
        EXPECT_EQ(word.text(), token.text());
        EXPECT_EQ(word.start_char(), token.start_char());
        EXPECT_EQ(word.end_char(), token.end_char());
        EXPECT_EQ(word.misc(), token.misc());
      }
    }
  }
  return out.str();
}

}  // namespace lorvane::testing
