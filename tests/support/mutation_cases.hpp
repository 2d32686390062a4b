#pragma once

// The mutated bundles of tests/fixtures/mutated_bundles.py, and the tally of
// what loading and running them gave. Shared by the torch-free bundle-layer
// run (under the sanitizers) and the full run through every model plan.

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "support/test_support.hpp"

namespace lorvane::testing {

struct MutationCase {
  std::string number;
  std::string description;
  std::filesystem::path dir;
};

// The count and seed of the cases per kind, overridable for a longer local
// run (LORVANE_MUTATION_COUNT, LORVANE_MUTATION_SEED).
inline std::string mutation_setting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Writes the cases of one kind under `scratch` and lists them.
inline std::vector<MutationCase> write_mutation_cases(const std::string& kind,
                                                      const std::filesystem::path& scratch) {
  const std::filesystem::path out = scratch / kind;
  run_python({(source_dir() / "tests/fixtures/mutated_bundles.py").string(), "--kind", kind, "--seed",
              mutation_setting("LORVANE_MUTATION_SEED", "1"), "--count",
              mutation_setting("LORVANE_MUTATION_COUNT", "300"), out.string()});
  std::vector<MutationCase> cases;
  std::istringstream lines(read_file(out / "cases.tsv"));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t tab = line.find('\t');
    cases.push_back({line.substr(0, tab), line.substr(tab + 1), out / "cases" / line.substr(0, tab)});
  }
  return cases;
}

inline std::string type_name(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && name ? name.get() : type.name();
}

// The dynamic type of the exception being handled.
inline std::string current_exception_type() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  return type == nullptr ? "unknown" : type_name(*type);
}

// Outcomes per label; faults keep their cases for the failure report.
class MutationTally {
 public:
  void add(const std::string& label) { ++counts_[label]; }
  void fault(const std::string& label, const MutationCase& item, const std::string& message) {
    add("FAULT " + label);
    const std::string first_line = message.substr(0, message.find('\n'));
    faults_.push_back(item.number + " [" + item.description + "] " + label + ": " + first_line.substr(0, 300));
  }
  const std::vector<std::string>& faults() const { return faults_; }
  // "pos: 300 cases: load POSModelError 170, result 120, ..."
  std::string summary(const std::string& kind) const {
    std::size_t total = 0;
    std::string parts;
    for (const auto& [label, count] : counts_) {
      total += count;
      parts += (parts.empty() ? "" : ", ") + label + " " + std::to_string(count);
    }
    return kind + ": " + std::to_string(total) + " cases: " + parts;
  }
  // Appends one line per case to LORVANE_MUTATION_LOG when set.
  static void log(const std::string& kind, const MutationCase& item, const std::string& label,
                  const std::string& message) {
    const char* path = std::getenv("LORVANE_MUTATION_LOG");
    if (path == nullptr || *path == '\0') return;
    std::ofstream out(path, std::ios::app);
    out << kind << '\t' << item.number << '\t' << item.description << '\t' << label << '\t'
        << message.substr(0, message.find('\n')).substr(0, 300) << '\n';
  }

 private:
  std::map<std::string, std::size_t> counts_;
  std::vector<std::string> faults_;
};

}  // namespace lorvane::testing
