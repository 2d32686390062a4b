// Resolving a processor and package to a bundle directory through the model
// index: name checks before any file access, identity, the "default" package
// rule, and every failure as ModelBundleError.

#include <unistd.h>

#include <string>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "lorvane/bundle.hpp"

namespace lorvane {
namespace {

using testing::json_string;
using testing::TempDir;
using testing::with_dir;
using testing::write_bundles;

std::string resolve_error(const std::filesystem::path& model_dir, std::string_view version, std::string_view language,
                          std::string_view processor, std::string_view package) {
  return testing::thrown_message<ModelBundleError>(
      [&] { resolve_model_bundle(model_dir, version, language, processor, package); });
}

TEST(ModelIndexTest, NamesAreCheckedBeforeAnyFileAccess) {
  const std::filesystem::path nowhere = "/nonexistent/models";
  struct Case {
    std::string value;
    bool valid;
  };
  const std::vector<Case> values = {
      {"", false},       {".", false},        {"..", false},         {"a/b", false},   {"../en", false},
      {"e n", false},    {"\xC3\xA9", false}, {"en\n", false},       {"x:y", false},   {std::string("e\0n", 3), false},
      {"...", true},     {"en", true},        {"zh-Hans_1.2", true}, {"-", true},      {"A_Z.09", true},
  };
  const std::vector<std::string> words = {"resources version", "language", "processor", "package"};
  for (const auto& c : values) {
    for (std::size_t position = 0; position < words.size(); ++position) {
      std::vector<std::string> args = {"1.0", "en", "pos", "gsd"};
      args[position] = c.value;
      const std::string message = resolve_error(nowhere, args[0], args[1], args[2], args[3]);
      if (c.valid) {
        // Valid names reach the file system, which has no index here.
        EXPECT_EQ(message.rfind("cannot open JSON file: ", 0), 0u) << message;
      } else {
        // what() ends at a NUL byte, so compare only up to the first one.
        const std::string expected = "invalid " + words[position] + ": " + c.value;
        EXPECT_EQ(message, expected.substr(0, expected.find('\0')));
      }
    }
  }
  // The first bad value in argument order is reported.
  EXPECT_EQ(resolve_error(nowhere, "", "..", "a/b", ""), "invalid resources version: ");
  EXPECT_EQ(resolve_error(nowhere, "1", "..", "a/b", ""), "invalid language: ..");
  EXPECT_EQ(resolve_error(nowhere, "1", "en", "a/b", ""), "invalid processor: a/b");
}

// One model directory per case, written in one run of the writer.
struct IndexCase {
  const char* name;
  const char* options;  // write_model_dir options besides model_dir; language "en", version "1.0"
  const char* processor;
  const char* package;
  const char* result;  // the expected bundle path relative to {dir}/1.0/en, or the error message
  bool fails;
};

const std::vector<IndexCase>& index_cases() {
  static const std::vector<IndexCase> cases = {
      {"single", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "pos-gsd"}])", "pos", "gsd", "pos-gsd",
       false},
      {"default_matches_any_package", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p"}])", "pos",
       "default", "p", false},
      {"default_ambiguous",
       R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p1"},
                      {"processor": "pos", "package": "hdt", "path": "p2"}])",
       "pos", "default", "package 'default' is ambiguous for converted processor 'pos'", true},
      {"specific_beats_default_entry",
       R"("bundles": [{"processor": "pos", "package": "default", "path": "pd"},
                      {"processor": "pos", "package": "gsd", "path": "pg"}])",
       "pos", "gsd", "pg", false},
      {"same_package_twice",
       R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p1"},
                      {"processor": "pos", "package": "gsd", "path": "p2"}])",
       "pos", "gsd", "package 'default' is ambiguous for converted processor 'pos'", true},
      {"other_processors_skipped",
       R"("bundles": [{"processor": "lemma", "package": "gsd", "path": "l"},
                      {"processor": "pos", "package": "gsd", "path": "sub/dir/./p"}])",
       "pos", "gsd", "sub/dir/./p", false},
      {"other_processors_need_only_a_processor",
       R"("bundles": [{"processor": "ner"}, {"processor": "pos", "package": "gsd", "path": "p"}, {"processor": "x", "path": 5}])",
       "pos", "gsd", "p", false},
      {"other_package_needs_no_path",
       R"("bundles": [{"processor": "pos", "package": "hdt"}, {"processor": "pos", "package": "gsd", "path": "p"}])",
       "pos", "gsd", "p", false},
      {"unknown_keys_ignored",
       R"("index_extra": {"generated_by": "converter"},
          "bundles": [{"processor": "pos", "package": "gsd", "path": "p", "notes": [1]}])",
       "pos", "gsd", "p", false},
      {"no_entries", R"("bundles": [])", "pos", "gsd", "no converted bundle for en/pos/gsd", true},
      {"no_match_for_package", R"("bundles": [{"processor": "pos", "package": "hdt", "path": "p"}])", "pos", "gsd",
       "no converted bundle for en/pos/gsd", true},
      {"processor_case_differs", R"("bundles": [{"processor": "POS", "package": "gsd", "path": "p"}])", "pos", "gsd",
       "no converted bundle for en/pos/gsd", true},
      {"format_wrong", R"("index_ops": [{"set": "format", "value": "lorvane-model-bundle"}])", "pos", "gsd",
       "unsupported model index format", true},
      {"format_number", R"("index_ops": [{"set": "format", "value": 1}])", "pos", "gsd", "expected JSON string", true},
      {"format_missing", R"("index_ops": [{"delete": "format"}])", "pos", "gsd", "missing JSON key 'format' at index",
       true},
      {"version_two", R"("index_ops": [{"set": "format_version", "value": 2}])", "pos", "gsd",
       "unsupported model index format", true},
      {"version_double", R"("index_ops": [{"set": "format_version", "value": 1.0}])", "pos", "gsd",
       "expected JSON integer", true},
      {"language_differs", R"("index_ops": [{"set": "language", "value": "de"}])", "pos", "gsd",
       "model index identity does not match requested model", true},
      {"version_differs", R"("index_ops": [{"set": "resources_version", "value": "1.0.1"}])", "pos", "gsd",
       "model index identity does not match requested model", true},
      {"identity_not_string", R"("index_ops": [{"set": "language", "value": null}])", "pos", "gsd",
       "expected JSON string", true},
      {"bundles_missing", R"("index_ops": [{"delete": "bundles"}])", "pos", "gsd", "missing JSON key 'bundles' at index",
       true},
      {"bundles_not_array", R"("index_ops": [{"set": "bundles", "value": {}}])", "pos", "gsd",
       "expected JSON array at index.bundles", true},
      {"entry_not_object", R"("index_ops": [{"set": "bundles", "value": [3]}])", "pos", "gsd",
       "expected JSON object at index.bundles[]", true},
      {"entry_processor_missing", R"("index_ops": [{"set": "bundles", "value": [{"package": "gsd", "path": "p"}]}])",
       "pos", "gsd", "missing JSON key 'processor' at index.bundles[]", true},
      {"entry_package_missing", R"("index_ops": [{"set": "bundles", "value": [{"processor": "pos", "path": "p"}]}])",
       "pos", "gsd", "missing JSON key 'package' at index.bundles[]", true},
      {"entry_path_missing", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p"}],
          "index_ops": [{"delete": "bundles.0.path"}])",
       "pos", "gsd", "missing JSON key 'path' at index.bundles[]", true},
      {"entry_path_number", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p"}],
          "index_ops": [{"set": "bundles.0.path", "value": 1}])",
       "pos", "gsd", "expected JSON string at index.bundles[].path", true},
      {"entry_path_parent", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "../../1.1/en/p", "write": false}])",
       "pos", "gsd", "bundle path may not traverse parents at index.bundles[].path", true},
      {"entry_path_absolute", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "/tmp", "write": false}])",
       "pos", "gsd", "bundle path must be non-empty and relative at index.bundles[].path", true},
      {"entry_path_empty", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "", "write": false}])", "pos",
       "gsd", "bundle path must be non-empty and relative at index.bundles[].path", true},
      {"entry_path_nul", R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p\u0000/x", "write": false}])",
       "pos", "gsd", "bundle path may not contain NUL bytes at index.bundles[].path", true},
      {"unsafe_path_checked_before_ambiguity",
       R"("bundles": [{"processor": "pos", "package": "gsd", "path": "p"},
                      {"processor": "pos", "package": "hdt", "path": "..", "write": false}])",
       "pos", "default", "bundle path may not traverse parents at index.bundles[].path", true},
      {"index_root_array", R"("index_ops": [{"root": []}])", "pos", "gsd", "expected JSON object at index", true},
      {"index_syntax", R"("index_text": "{\"format\": \"lorvane-model-index\",}")", "pos", "gsd",
       "expected object key at JSON byte 33", true},
      {"index_empty", R"("index_text": "")", "pos", "gsd", "unexpected end of JSON at JSON byte 0", true},
  };
  return cases;
}

class ModelIndexCaseTest : public testing::SuiteDirectoryTest<ModelIndexCaseTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    std::vector<std::string> descriptions;
    for (const auto& c : index_cases()) {
      descriptions.push_back("{\"model_dir\": " + json_string((root / c.name).string()) +
                             ", \"resources_version\": \"1.0\", \"language\": \"en\", " + c.options + "}");
    }
    write_bundles(testing::json_array(descriptions));
  }
};

TEST_F(ModelIndexCaseTest, ResolvesOrFailsWithItsMessage) {
  for (const auto& c : index_cases()) {
    SCOPED_TRACE(c.name);
    const auto model_dir = *root_ / c.name;
    if (c.fails) {
      EXPECT_EQ(resolve_error(model_dir, "1.0", "en", c.processor, c.package), c.result);
    } else {
      try {
        EXPECT_EQ(resolve_model_bundle(model_dir, "1.0", "en", c.processor, c.package),
                  model_dir / "1.0" / "en" / c.result);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    }
  }
}

TEST_F(ModelIndexCaseTest, ResolvedBundleOpens) {
  const auto path = resolve_model_bundle(*root_ / "single", "1.0", "en", "pos", "gsd");
  ModelBundle bundle(path, true);
  EXPECT_EQ(bundle.processor(), "pos");
  EXPECT_EQ(bundle.package(), "gsd");
  EXPECT_EQ(bundle.language(), "en");
  EXPECT_EQ(bundle.resources_version(), "1.0");
}

TEST_F(ModelIndexCaseTest, RelativeModelDirectoryGivesAbsolutePath) {
  const auto cwd = std::filesystem::current_path();
  const auto relative = std::filesystem::relative(*root_ / "single", cwd);
  ASSERT_FALSE(relative.is_absolute());
  const auto path = resolve_model_bundle(relative, "1.0", "en", "pos", "gsd");
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path, cwd / relative / "1.0" / "en" / "pos-gsd");
}

TEST_F(ModelIndexCaseTest, MissingIndexAndOtherVersions) {
  const auto dir = *root_ / "single";
  EXPECT_EQ(resolve_error(dir, "2.0", "en", "pos", "gsd"), "cannot open JSON file: " + (dir / "2.0/en/index.json").string());
  EXPECT_EQ(resolve_error(dir, "1.0", "de", "pos", "gsd"), "cannot open JSON file: " + (dir / "1.0/de/index.json").string());
}

TEST_F(ModelIndexCaseTest, ResultIsNotCheckedForExistence) {
  // Entries written with "write": false have no bundle directory.
  TempDir dir;
  write_bundles("{\"model_dir\": " + json_string(dir.path().string()) +
                ", \"resources_version\": \"1.0\", \"language\": \"en\","
                " \"bundles\": [{\"processor\": \"pos\", \"package\": \"gsd\", \"path\": \"absent\", \"write\": false}]}");
  EXPECT_EQ(resolve_model_bundle(dir.path(), "1.0", "en", "pos", "gsd"), dir / "1.0/en/absent");
  EXPECT_EQ(testing::thrown_message<ModelBundleError>([&] { ModelBundle(dir / "1.0/en/absent", false); }),
            "model bundle is not a directory: " + (dir / "1.0/en/absent").string());
}

TEST(ModelIndexFileSystemTest, IndexThatIsNotARegularFileIsRefused) {
  TempDir dir;
  std::filesystem::create_directories(dir / "1.0/en");
  ASSERT_EQ(::mkfifo((dir / "1.0/en/index.json").c_str(), 0600), 0);
  EXPECT_EQ(resolve_error(dir.path(), "1.0", "en", "pos", "gsd"),
            "cannot open JSON file: " + (dir / "1.0/en/index.json").string() + ": not a regular file");
  std::filesystem::remove(dir / "1.0/en/index.json");
  std::filesystem::create_directory(dir / "1.0/en/index.json");
  EXPECT_EQ(resolve_error(dir.path(), "1.0", "en", "pos", "gsd"),
            "cannot open JSON file: " + (dir / "1.0/en/index.json").string() + ": not a regular file");
}

// Oversized manifests, assets files and indexes (sparse files: no disk is
// used) are refused from their size, before anything is read or allocated.
TEST(ModelIndexFileSystemTest, OversizedJsonFilesAreRefusedBeforeReading) {
  TempDir dir;
  write_bundles("{\"model_dir\": " + json_string(dir.path().string()) +
                ", \"resources_version\": \"1.0\", \"language\": \"en\","
                " \"bundles\": [{\"processor\": \"pos\", \"package\": \"gsd\", \"path\": \"pos\"},"
                " {\"processor\": \"ner\", \"package\": \"x\", \"path\": \"ner\"}]}");
  const auto grow = [](const std::filesystem::path& file, std::uint64_t size) {
    ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(size)), 0) << file;
  };
  const auto bundle_error = [](const std::filesystem::path& bundle) {
    return testing::thrown_message<ModelBundleError>([&] { ModelBundle(bundle, false); });
  };
  const std::filesystem::path base = dir / "1.0/en";
  grow(base / "pos/manifest.json", detail::kMaxJsonFileBytes + 1);
  EXPECT_EQ(bundle_error(base / "pos"), "JSON file is too large: " + (base / "pos/manifest.json").string());
  grow(base / "ner/assets.json", std::uint64_t{3} << 30);
  EXPECT_EQ(bundle_error(base / "ner"), "JSON file is too large: " + (base / "ner/assets.json").string());
  grow(base / "index.json", 200'000'000'000);  // once a std::bad_alloc
  EXPECT_EQ(resolve_error(dir.path(), "1.0", "en", "pos", "gsd"),
            "JSON file is too large: " + (base / "index.json").string());
  grow(base / "index.json", detail::kMaxJsonFileBytes + 1);
  EXPECT_EQ(testing::thrown_message<detail::JsonError>([&] { detail::load_text_file(base / "index.json"); }),
            "JSON file is too large: " + (base / "index.json").string());
}

TEST(ModelIndexFileSystemTest, FileSystemErrorsBecomeModelBundleErrors) {
  EXPECT_EQ(resolve_error("", "1.0", "en", "pos", "gsd"), "cannot resolve model directory: : Invalid argument");

  // A relative model directory while the working directory no longer exists.
  std::string message;
  testing::in_vanished_working_directory([&] { message = resolve_error("models", "1.0", "en", "pos", "gsd"); });
  EXPECT_EQ(message, "cannot resolve model directory: models: No such file or directory");
}

}  // namespace
}  // namespace lorvane
