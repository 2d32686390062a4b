// Mutated bundles of every model kind through the bundle layer alone (no
// libtorch, so it runs under the sanitizers): opening the bundle, parsing its
// assets and reading every tensor's bytes must succeed or fail with
// ModelBundleError (or, for the assets text, the JSON error every plan turns
// into its own) carrying a one-line message.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"
#include "lorvane/errors.hpp"
#include "support/mutation_cases.hpp"
#include "support/test_support.hpp"

namespace lorvane {
namespace {

using testing::MutationCase;
using testing::MutationTally;

// Touches every byte a model would view, so that a range the bundle accepted
// is really inside the mapping.
std::uint64_t read_every_tensor(const ModelBundle& bundle) {
  std::uint64_t sum = 0;
  for (const TensorDescriptor& descriptor : bundle.tensors()) {
    const auto* bytes = static_cast<const std::uint8_t*>(bundle.tensor_data(descriptor.name));
    for (std::uint64_t i = 0; i < descriptor.nbytes; ++i) sum += bytes[i];
  }
  return sum;
}

void run_one(const std::string& kind, const MutationCase& item, MutationTally& tally) {
  std::string label = "result";
  std::string message;
  bool fault = false;
  try {
    const ModelBundle bundle(item.dir, false);
    detail::parse_json(bundle.assets_json());
    read_every_tensor(bundle);
  } catch (const ModelBundleError& error) {
    label = "ModelBundleError";
    message = error.what();
  } catch (const detail::JsonError& error) {
    label = "JsonError";
    message = error.what();
  } catch (const std::exception& error) {
    label = testing::current_exception_type();
    message = error.what();
    fault = true;
  }
  if (!fault && (message.find('\n') != std::string::npos || (label != "result" && message.empty()))) {
    label = "malformed message (" + label + ")";
    fault = true;
  }
  if (fault) {
    tally.fault(label, item, message);
  } else {
    tally.add(label);
  }
  MutationTally::log(kind, item, label, message);
}

class BundleMutationTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BundleMutationTest, EveryCaseOpensOrFailsWithATypedOneLineError) {
  const std::string kind = GetParam();
  testing::TempDir scratch;
  MutationTally tally;
  for (const MutationCase& item : testing::write_mutation_cases(kind, scratch.path())) {
    run_one(kind, item, tally);
  }
  std::cout << "[mutation] " << tally.summary(kind) << std::endl;
  for (const std::string& fault : tally.faults()) ADD_FAILURE() << fault;
}

INSTANTIATE_TEST_SUITE_P(Kinds, BundleMutationTest,
                         ::testing::Values("pos", "lemma", "mwt", "depparse", "ner", "sentiment", "constituency",
                                           "forward_charlm", "backward_charlm", "tokenizer"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace lorvane
