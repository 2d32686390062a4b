// Mutated bundles of every model kind through their plans: each case must
// load and process one small document, or fail with the kind's model error
// (or another ModelBundleError) carrying a one-line message. Nothing else may
// come out: no libtorch error, no allocation failure, no untyped standard
// exception, no crash.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "lorvane/charlm.hpp"
#include "lorvane/constituency.hpp"
#include "lorvane/depparse.hpp"
#include "lorvane/document.hpp"
#include "lorvane/errors.hpp"
#include "lorvane/lemma.hpp"
#include "lorvane/mwt.hpp"
#include "lorvane/ner.hpp"
#include "lorvane/pos.hpp"
#include "lorvane/sentiment.hpp"
#include "lorvane/tokenizer.hpp"
#include "support/mutation_cases.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using testing::MutationCase;
using testing::MutationTally;

// "The dog runs on a mat ." tagged, one word per token.
Document tagged_document() {
  struct Row {
    const char *text, *upos, *xpos, *feats;
  };
  const Row rows[] = {{"The", "DET", "DT", "Definite=Def"}, {"dog", "NOUN", "NN", "Number=Sing"},
                      {"runs", "VERB", "VBZ", "Number=Sing"}, {"on", "ADP", "IN", nullptr},
                      {"a", "DET", "DT", "Definite=Ind"},     {"mat", "NOUN", "NN", "Number=Sing"},
                      {".", "PUNCT", ".", nullptr}};
  SentenceInput sentence;
  std::int32_t id = 0;
  for (const Row& row : rows) {
    TokenInput token;
    token.id_start = token.id_end = ++id;
    token.text = row.text;
    WordInput word;
    word.id = id;
    word.text = row.text;
    word.lemma = row.text;
    word.upos = row.upos;
    word.xpos = row.xpos;
    if (row.feats != nullptr) word.feats = row.feats;
    token.words.push_back(word);
    sentence.tokens.push_back(token);
  }
  return Document("", {sentence});
}

// Tokens flagged for expansion, without words.
Document marked_document() {
  SentenceInput sentence;
  std::int32_t id = 0;
  for (const char* text : {"dog", "del", "runs", "au", "."}) {
    TokenInput token;
    token.id_start = token.id_end = ++id;
    token.text = text;
    token.misc = "MWT=Yes";
    sentence.tokens.push_back(token);
  }
  return Document("", {sentence});
}

// Loads the case's bundle and returns the processing of one document.
using Process = std::function<void()>;
using LoadCase = std::function<Process(const std::filesystem::path&)>;

template <class Plan, class Run>
LoadCase load_then(Run run) {
  return [run](const std::filesystem::path& dir) -> Process {
    auto plan = std::make_shared<const Plan>(dir, false);
    return [plan, run] { run(*plan); };
  };
}

template <class Plan>
LoadCase tagged_run() {
  return load_then<Plan>([](const Plan& plan) { plan.process(tagged_document()); });
}

LoadCase charlm_run() {
  return load_then<CharLMPlan>([](const CharLMPlan& plan) { plan.encode({"The", "dog", "runs", "."}); });
}

struct Kind {
  const char* name;
  const char* error;  // the kind's own error class
  LoadCase load;
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }

std::vector<Kind> kinds() {
  return {
      {"pos", "lorvane::POSModelError", tagged_run<POSPlan>()},
      {"lemma", "lorvane::LemmaModelError", tagged_run<LemmaPlan>()},
      {"mwt", "lorvane::MWTModelError",
       load_then<MWTPlan>([](const MWTPlan& plan) { plan.process(marked_document()); })},
      {"depparse", "lorvane::DepparseModelError", tagged_run<DepparsePlan>()},
      {"ner", "lorvane::NERModelError", tagged_run<NERPlan>()},
      {"sentiment", "lorvane::SentimentModelError", tagged_run<SentimentPlan>()},
      {"constituency", "lorvane::ConstituencyModelError", tagged_run<ConstituencyPlan>()},
      {"forward_charlm", "lorvane::CharLMModelError", charlm_run()},
      {"backward_charlm", "lorvane::CharLMModelError", charlm_run()},
      {"tokenizer", "lorvane::TokenizerModelError", load_then<TokenizerPlan>([](const TokenizerPlan& plan) {
         plan.process(Document("The dog runs. A cat sat on the mat."));
       })},
  };
}

// One case: "result", "<error class>" for an accepted failure, or a fault.
void run_one(const Kind& kind, const MutationCase& item, MutationTally& tally) {
  std::string label = "result";
  std::string message;
  std::optional<std::string> fault;
  const char* phase = "load: ";
  try {
    const Process process = kind.load(item.dir);
    phase = "process: ";
    process();
  } catch (const ModelBundleError& error) {
    message = error.what();
    label = testing::current_exception_type();
    if (label == kind.error) label = "model error";
    label = phase + label;
    if (message.empty()) fault = "empty message";
    if (message.find('\n') != std::string::npos) fault = "multi-line message (" + label + ")";
  } catch (const std::exception& error) {
    message = error.what();
    fault = phase + testing::current_exception_type();
  } catch (...) {
    fault = phase + testing::current_exception_type();
  }
  if (!fault && item.description.rfind("base ", 0) == 0 && label != "result") {
    fault = "valid base bundle refused (" + label + ")";
  }
  if (fault) {
    tally.fault(*fault, item, message);
    MutationTally::log(kind.name, item, "FAULT " + *fault, message);
  } else {
    tally.add(label);
    MutationTally::log(kind.name, item, label, message);
  }
}

// A case that runs past its time (a loop sized by a huge configured value)
// ends the program with its name: nothing else can stop it in-process. A
// rerun may list it in LORVANE_MUTATION_SKIP ("lemma:0022,pos:0101") to
// count it as a hang and go on.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void start(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    what_ = std::move(what);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(kCaseSeconds);
    changed_.notify_all();
  }

 private:
  static constexpr int kCaseSeconds = 60;
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      const std::string what = what_;
      if (changed_.wait_until(lock, deadline_, [&] { return done_ || what_ != what; })) continue;
      if (!what_.empty()) {
        std::cout << "[mutation] case " << what_ << " did not finish within " << kCaseSeconds << " s" << std::endl;
        std::_Exit(3);
      }
      deadline_ = std::chrono::steady_clock::now() + std::chrono::hours(1);
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string what_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + std::chrono::hours(1);
  bool done_ = false;
  std::thread thread_;
};

bool skipped(const std::string& kind, const MutationCase& item) {
  const std::string list = "," + testing::mutation_setting("LORVANE_MUTATION_SKIP", "") + ",";
  return list.find("," + kind + ":" + item.number + ",") != std::string::npos;
}

class ModelMutationTest : public ::testing::TestWithParam<Kind> {
 public:
  static void SetUpTestSuite() {
#if !defined(__SANITIZE_ADDRESS__)
    // A case that sizes an allocation from a bad value must fail, not take the
    // shared machine's memory: cap the address space (libtorch and the test
    // need far less).
    const rlimit cap{rlim_t{8} << 30, rlim_t{8} << 30};
    setrlimit(RLIMIT_AS, &cap);
#endif
  }
};

TEST_P(ModelMutationTest, EveryCaseGivesAResultOrATypedOneLineError) {
  const Kind& kind = GetParam();
  testing::TempDir scratch;
  const std::vector<MutationCase> cases = testing::write_mutation_cases(kind.name, scratch.path());
  MutationTally tally;
  Watchdog watchdog;
  for (const MutationCase& item : cases) {
    if (skipped(kind.name, item)) {
      tally.fault("hang", item, "skipped");
      continue;
    }
    watchdog.start(std::string(kind.name) + ":" + item.number + " [" + item.description + "]");
    const auto start = std::chrono::steady_clock::now();
    run_one(kind, item, tally);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 5.0) std::cout << "[mutation] slow case " << item.number << " (" << seconds << " s)\n";
  }
  std::cout << "[mutation] " << tally.summary(kind.name) << std::endl;
  for (const std::string& fault : tally.faults()) ADD_FAILURE() << fault;
}

INSTANTIATE_TEST_SUITE_P(Kinds, ModelMutationTest, ::testing::ValuesIn(kinds()),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lorvane
