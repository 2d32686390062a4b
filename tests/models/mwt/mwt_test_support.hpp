#pragma once

// Writing MWT bundles (tests/fixtures/mwt_bundle.py) from the C++ tests.

#include <filesystem>
#include <string>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "support/test_support.hpp"

namespace lorvane::testing {

// One bundle: its directory name under the suite root and the keyword
// arguments of write_mwt_bundle as JSON.
struct MWTBundle {
  std::string name;
  std::string options;
};

// Writes all bundles in one run of the writer.
inline void write_mwt_bundles(const std::filesystem::path& root, const std::vector<MWTBundle>& bundles) {
  std::vector<std::string> jobs;
  for (const MWTBundle& bundle : bundles) {
    jobs.push_back("{\"out_dir\": " + json_string((root / bundle.name).string()) +
                   ", \"options\": " + bundle.options + "}");
  }
  TempDir scratch;
  write_file(scratch / "jobs.json", json_array(jobs));
  run_python({(source_dir() / "tests" / "fixtures" / "mwt_bundle.py").string(), "--batch",
              (scratch / "jobs.json").string()});
}

}  // namespace lorvane::testing
