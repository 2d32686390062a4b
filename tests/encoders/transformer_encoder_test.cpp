// TransformerEncoder over the compiled test packages, against the eager
// PyTorch modules and the same packages run from Python
// (tests/reference/transformer_reference.py).

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "encoders/transformer/encoder_impl.hpp"
#include "transformer_test_support.hpp"

namespace lorvane {
namespace {

using detail::JsonValue;
using testing::failure;
using testing::transformer_package;

class TransformerEncoderTest : public testing::SuiteDirectoryTest<TransformerEncoderTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    std::vector<std::string> jobs;
    for (const char* type : testing::kTokenizerTypes) jobs.push_back(testing::assets_job(root / type, type));
    testing::write_transformer_fixtures(jobs);
  }
  static JsonValue assets(const std::string& type) { return detail::load_json(root_->path() / type); }
  static TransformerEncoder encoder(const std::string& type, const std::string& package, std::uint64_t length) {
    return testing::encoder_from_assets(assets(type), transformer_package(package), length);
  }
};

std::string id_list(const std::vector<std::int64_t>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + std::to_string(ids[i]);
  return out + "]";
}

// The reference's rows of one case: the eager module and the package run from
// Python through the window rule, the eager module over the whole sequence,
// and how far the eager module's float32 rows lie from its float64 twin.
struct ReferenceRows {
  at::Tensor windowed_eager, windowed_package, full_eager;
  double float64_gap = 0.0;
};

std::vector<ReferenceRows> reference_rows(const std::vector<std::string>& cases) {
  testing::TempDir dir;
  testing::write_file(dir / "request.json", "{\"packages_dir\": " +
                                                testing::json_string(testing::transformer_packages_dir().string()) +
                                                ", \"cases\": " + testing::json_array(cases) + "}");
  testing::run_python({(testing::source_dir() / "tests" / "reference" / "transformer_reference.py").string(),
                       (dir / "request.json").string(), (dir / "out").string()});
  const std::string blob = testing::read_file(dir / "out.bin");
  const auto rows_of = [&](const JsonValue& entry) {
    const auto& fields = entry.as_array("");
    const std::int64_t offset = fields[0].as_integer(""), rows = fields[1].as_integer(""),
                       cols = fields[2].as_integer("");
    at::Tensor tensor = at::empty({rows, cols});
    if (rows * cols > 0) {
      std::memcpy(tensor.data_ptr<float>(), blob.data() + offset * 4, static_cast<std::size_t>(rows * cols) * 4);
    }
    return tensor;
  };
  std::vector<ReferenceRows> out;
  const JsonValue results = detail::load_json(dir / "out.json");
  for (const JsonValue& result : results.as_array("")) {
    out.push_back({rows_of(result.at("windowed_eager", "")), rows_of(result.at("windowed_package", "")),
                   rows_of(result.at("full_eager", "")), result.at("float64_gap", "").as_number("")});
  }
  EXPECT_EQ(out.size(), cases.size());
  return out;
}

// Words from the pool until the sentence has at least `subwords` identifiers.
std::vector<std::string> long_sentence(const TransformerEncoder& encoder, std::size_t subwords, unsigned seed) {
  static const char* pool[] = {"the", "cat", "sat", "on", "mat", "playing", "unbelievable", "dog", "running",
                               "na\xC3\xAFve", "Dogs", "\xEF\xAC\x81ne", "q", "7"};
  std::mt19937 random(seed);
  std::vector<std::string> words;
  while (encoder.tokenize(words, true).input_ids.size() < subwords) {
    words.push_back(pool[random() % std::size(pool)]);
  }
  return words;
}

std::int64_t unknown_id_in(const JsonValue& assets) {
  const JsonValue& t = assets.at("tokenizer", "");
  if (const JsonValue* id = t.find("unknown_id")) return id->as_integer("");
  const auto vocabulary = testing::string_list(t.at("vocabulary", ""));
  return std::find(vocabulary.begin(), vocabulary.end(), t.at("unknown_token", "").as_string("")) -
         vocabulary.begin();
}

const std::string kZeroWidthSpace = "\xE2\x80\x8B", kByteOrderMark = "\xEF\xBB\xBF";

TEST_F(TransformerEncoderTest, RowsEqualEagerModuleAndPythonPackageRun) {
  const std::vector<std::vector<std::string>> fixed = {
      {},
      {"the", "cat", "sat", "on", "the", "mat"},
      {"Playing", "unbelievable", "na\xC3\xAFve", "dogs", "\xEF\xAC\x81ne", "the\xC2\xA0" "cat"},
      {"the", kZeroWidthSpace, "cat", "", kByteOrderMark, "mat"},  // words without subwords
      {"", kZeroWidthSpace},
  };
  // Words that yield no subword of their own, by tokenizer.
  const std::map<std::string, std::set<std::string>> unproductive = {
      {"WordPiece", {}}, {"ByteBPE", {""}}, {"XLMRobertaUnigram", {"", kZeroWidthSpace, kByteOrderMark}}};
  struct Computed {
    at::Tensor rows;
    bool context_free;
    bool windowed;
  };
  std::vector<std::string> cases;
  std::vector<Computed> computed;
  for (const char* type : testing::kTokenizerTypes) {
    const JsonValue assets = TransformerEncoderTest::assets(type);
    for (const std::string package : {"context_free", "contextual"}) {
      for (const std::uint64_t length : {10, 30, 48}) {
        const TransformerEncoder encoder = TransformerEncoderTest::encoder(type, package, length);
        std::vector<std::vector<std::string>> sentences = fixed;
        for (const std::size_t times : {25, 50}) sentences.push_back(long_sentence(encoder, length * times / 10, times));
        sentences.push_back(long_sentence(encoder, length + 1, 3));
        for (const auto& words : sentences) {
          const WordPieceEncoding encoding = encoder.tokenize(words, true);
          for (std::size_t w = 0; w < words.size(); ++w) {
            const bool has_subword = std::count(encoding.word_ids.begin(), encoding.word_ids.end(),
                                                static_cast<std::int64_t>(w)) > 0;
            EXPECT_EQ(has_subword, !unproductive.at(type).count(words[w])) << type << " word " << w;
          }
          for (const bool keep_endpoints : {false, true}) {
            const at::Tensor rows = detail::encode_words_tensor(encoder, words, keep_endpoints);
            const auto vectors = encoder.encode(words, keep_endpoints);
            EXPECT_EQ(rows.scalar_type(), at::kFloat);
            EXPECT_EQ(rows.size(0), static_cast<std::int64_t>(words.size() + (keep_endpoints ? 2 : 0)));
            if (rows.size(0) == 0) {
              EXPECT_TRUE(vectors.empty());
            } else {
              EXPECT_TRUE(at::equal(testing::rows_tensor(vectors), rows));
            }
            cases.push_back("{\"package\": \"" + package + "\", \"ids\": " + id_list(encoding.input_ids) +
                            ", \"word_ids\": " + id_list(encoding.word_ids) +
                            ", \"words\": " + std::to_string(words.size()) +
                            ", \"unknown_id\": " + std::to_string(unknown_id_in(assets)) +
                            ", \"max_length\": " + std::to_string(length) +
                            ", \"keep_endpoints\": " + (keep_endpoints ? "true" : "false") + "}");
            computed.push_back({rows, package == "context_free", encoding.input_ids.size() > length});
          }
        }
      }
    }
  }
  const auto expected = reference_rows(cases);
  std::size_t windowed_contextual = 0;
  for (std::size_t i = 0; i < computed.size(); ++i) {
    const ReferenceRows& want = expected[i];
    // The package's kernels sum in another order than the eager module's, and
    // with another intra-op thread count than the Python run of the package.
    const double tolerance = testing::float32_tolerance(want.float64_gap);
    EXPECT_TRUE(testing::tensors_close(computed[i].rows, want.windowed_eager, tolerance)) << cases[i];
    EXPECT_TRUE(testing::tensors_close(computed[i].rows, want.windowed_package, tolerance)) << cases[i];
    if (computed[i].context_free) {
      // Rows that depend on their own position only equal one run over the
      // whole sequence: every row came from where it belongs.
      EXPECT_TRUE(testing::tensors_close(computed[i].rows, want.full_eager, tolerance)) << cases[i];
    } else if (computed[i].windowed) {
      // Context matters, so the windows really were run as windows.
      EXPECT_FALSE(testing::tensors_close(want.windowed_eager, want.full_eager, 1e-3)) << cases[i];
      ++windowed_contextual;
    }
  }
  EXPECT_GE(windowed_contextual, 3u * 3u * 3u * 2u);  // at least every long sentence
}

TEST_F(TransformerEncoderTest, EncodeIdsIsOneRunWithTheGivenMask) {
  struct IdsCase {
    std::string package;
    std::vector<std::int64_t> ids, mask;
  };
  const std::vector<IdsCase> table = {
      {"contextual", {2, 40, 41, 300, 7, 3}, {1, 1, 0, 1, 0, 1}},
      {"contextual", {2, 40, 41, 300, 7, 3}, {}},
      {"contextual", {5}, {1}},
      {"context_free", {319, 0, 12, 12}, {1, 0, 1, 1}},
      {"context_free", std::vector<std::int64_t>(70, 9), {}},  // longer than the maximum length: still one run
  };
  std::vector<std::string> cases;
  std::vector<at::Tensor> computed;
  for (const IdsCase& c : table) {
    const TransformerEncoder encoder = TransformerEncoderTest::encoder("WordPiece", c.package, 10);
    const at::Tensor rows = detail::encode_ids_tensor(encoder, c.ids, c.mask);
    EXPECT_TRUE(at::equal(testing::rows_tensor(encoder.encode_ids(c.ids, c.mask)), rows));
    cases.push_back("{\"package\": \"" + c.package + "\", \"ids\": " + id_list(c.ids) + ", \"mask\": " +
                    id_list(c.mask) + "}");
    computed.push_back(rows);
  }
  const auto expected = reference_rows(cases);
  for (std::size_t i = 0; i < computed.size(); ++i) {
    const double tolerance = testing::float32_tolerance(expected[i].float64_gap);
    EXPECT_TRUE(testing::tensors_close(computed[i], expected[i].windowed_eager, tolerance)) << cases[i];
    EXPECT_TRUE(testing::tensors_close(computed[i], expected[i].windowed_package, tolerance)) << cases[i];
  }
  // No identifiers: no rows, and the package is not run.
  TransformerEncoder encoder = TransformerEncoderTest::encoder("WordPiece", "contextual", 10);
  int runs = 0;
  detail::set_run_seam(encoder, {[&](std::vector<at::Tensor>&) { ++runs; }, {}});
  EXPECT_TRUE(encoder.encode_ids({}, {}).empty());
  EXPECT_TRUE(encoder.encode_ids({}, {1, 1}).empty());
  EXPECT_EQ(detail::encode_ids_tensor(encoder, {}, {}).sizes(), at::IntArrayRef({0, 0}));
  EXPECT_EQ(runs, 0);
}

TEST_F(TransformerEncoderTest, WindowsFollowTheMaximumLength) {
  // (maximum length, subwords with the special tokens) -> lengths of the package runs.
  struct WindowCase {
    std::uint64_t length;
    std::size_t subwords;
    std::vector<std::int64_t> runs;
  };
  const std::vector<WindowCase> table = {
      {10, 10, {10}},         {10, 11, {10, 6}},           {10, 20, {10, 10, 10}},
      {30, 30, {30}},         {30, 31, {30, 16}},          {30, 61, {30, 30, 30, 16}},
      {40, 100, {40, 40, 40, 40}}, {48, 100, {48, 48, 44}}, {512, 1200, {512, 512, 216}},
      {5, 5, {5}},            {9, 9, {9}},
  };
  for (const WindowCase& c : table) {
    TransformerEncoder encoder = TransformerEncoderTest::encoder("WordPiece", "context_free", c.length);
    std::vector<std::int64_t> runs;
    detail::set_run_seam(encoder, {[&](std::vector<at::Tensor>& outputs) { runs.push_back(outputs.at(0).size(1)); }, {}});
    const std::vector<std::string> words(c.subwords - 2, "a");
    EXPECT_EQ(encoder.encode(words, true).size(), c.subwords);
    EXPECT_EQ(runs, c.runs) << c.length << " " << c.subwords;
  }
}

TEST_F(TransformerEncoderTest, FailuresCarryTheirMessages) {
  const testing::TempDir dir;
  testing::write_file(dir / "not-a-package.pt2", "plain text");
  std::filesystem::create_directory(dir / "empty-directory");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const auto absent = (dir / "absent.pt2").string();
  const std::string threads = std::to_string(at::get_num_threads() + 1);
  const JsonValue assets = TransformerEncoderTest::assets("WordPiece");
  const auto with = [&](const std::filesystem::path& path, std::uint64_t length, std::uint64_t threads_given) {
    return [=, &assets] { testing::encoder_from_assets(assets, path, length, threads_given); };
  };
  const TransformerEncoder contextual = TransformerEncoderTest::encoder("WordPiece", "contextual", 10);
  const std::string kThreads =
      "TransformerError: intra_op_threads cannot change the process-wide ATen thread pool during "
      "TransformerEncoder construction; call torch.set_num_threads() before constructing Lorvane models";
  struct Row {
    std::string name;
    std::function<void()> fn;
    std::string expected;  // exact, or a prefix when it ends with "..."
  };
  const std::vector<Row> table = {
      {"absent", with(absent, 10, 0), "TransformerError: AOTInductor transformer model does not exist: " + absent},
      {"fifo", with(dir / "fifo", 10, 0),
       "TransformerError: AOTInductor transformer model does not exist: " + (dir / "fifo").string()},
      {"absent before length", with(absent, 4, 99), "TransformerError: AOTInductor transformer model does not exist: " + absent},
      {"length 4", with(transformer_package("contextual"), 4, 0),
       "TransformerError: transformer model_max_length must be at least 5"},
      {"length 0 before threads", with(transformer_package("contextual"), 0, 99),
       "TransformerError: transformer model_max_length must be at least 5"},
      {"threads", with(transformer_package("contextual"), 10, std::stoull(threads)), kThreads},
      {"threads before loading", with(dir / "not-a-package.pt2", 10, std::stoull(threads)), kThreads},
      {"threads equal", with(transformer_package("contextual"), 10, static_cast<std::uint64_t>(at::get_num_threads())),
       "no failure"},
      {"threads 0", with(transformer_package("contextual"), 10, 0), "no failure"},
      {"not a package", with(dir / "not-a-package.pt2", 10, 0),
       "TransformerError: could not load AOTInductor transformer '" + (dir / "not-a-package.pt2").string() + "': ..."},
      {"empty directory", with(dir / "empty-directory", 10, 0),
       "TransformerError: could not load AOTInductor transformer '" + (dir / "empty-directory").string() + "': ..."},
      {"tokenizer first",
       [&] { TransformerEncoder(absent, {}, true, true, 0, 1, "[UNK]", "[CLS]", "[SEP]", "##", 5); },
       "WordPieceError: ..."},
      {"mask length", [&] { contextual.encode_ids({2, 5, 3}, {1, 1}); },
       "TransformerError: transformer attention mask length does not match input ids"},
      {"mask length, tensor form", [&] { detail::encode_ids_tensor(contextual, {2, 5, 3}, {1, 1, 1, 1}); },
       "TransformerError: transformer attention mask length does not match input ids"},
      {"identifier outside the package's table", [&] { contextual.encode_ids({2, 320, 3}, {}); },
       "TransformerError: AOTInductor transformer inference failed: index out of bounds..."},
  };
  for (const Row& row : table) {
    const std::string got = failure(row.fn);
    if (row.expected.ends_with("...")) {
      EXPECT_TRUE(got.starts_with(row.expected.substr(0, row.expected.size() - 3))) << row.name << ": " << got;
      EXPECT_EQ(got.find("Exception raised from"), std::string::npos) << row.name << ": " << got;
    } else {
      EXPECT_EQ(got, row.expected) << row.name;
    }
  }
  // Maximum lengths 5 to 9 run what fits and refuse what would need windows.
  for (std::uint64_t length = 5; length <= 9; ++length) {
    const TransformerEncoder encoder = TransformerEncoderTest::encoder("WordPiece", "context_free", length);
    EXPECT_EQ(encoder.encode(std::vector<std::string>(length - 2, "a"), false).size(), length - 2);
    EXPECT_EQ(failure([&] { encoder.encode(std::vector<std::string>(length - 1, "a"), false); }),
              "TransformerError: transformer model_max_length is too small for overlapping slices");
  }
}

TEST_F(TransformerEncoderTest, OutputAndWindowGuardsThroughTheSeam) {
  using Outputs = std::vector<at::Tensor>;
  using Edit = std::function<void(Outputs&)>;
  using WindowEdit = std::function<void(std::size_t, at::Tensor&)>;
  struct Row {
    std::string name;
    Edit outputs;
    WindowEdit window;
    std::string expected;
  };
  const std::string kShape = "TransformerError: AOTInductor transformer output must have shape [1, subwords, hidden]";
  const std::string kRebuilt =
      "TransformerError: AOTInductor transformer slices did not reconstruct the subword sequence";
  const std::vector<Row> table = {
      {"no output", [](Outputs& o) { o.clear(); }, {},
       "TransformerError: AOTInductor transformer must return exactly one tensor"},
      {"two outputs", [](Outputs& o) { o.push_back(o[0]); }, {},
       "TransformerError: AOTInductor transformer must return exactly one tensor"},
      {"float64", [](Outputs& o) { o[0] = o[0].to(at::kDouble); }, {},
       "TransformerError: AOTInductor transformer output must be float32"},
      {"two dimensions", [](Outputs& o) { o[0] = o[0][0]; }, {}, kShape},
      {"batch of two", [](Outputs& o) { o[0] = at::cat({o[0], o[0]}); }, {}, kShape},
      {"one row more", [](Outputs& o) { o[0] = at::cat({o[0], o[0]}, 1); }, {}, kShape},
      {"no columns", [](Outputs& o) { o[0] = o[0].narrow(2, 0, 0); }, {}, kShape},
      {"hidden size changes", {},
       [](std::size_t w, at::Tensor& rows) { if (w == 2) rows = at::cat({rows, rows}, 1); },
       "TransformerError: AOTInductor transformer hidden size changed across slices"},
      {"window shorter than the overlap", {},
       [](std::size_t w, at::Tensor& rows) { if (w == 1) rows = rows.narrow(0, 0, 4); },
       "TransformerError: AOTInductor transformer overlap exceeds final slice"},
      {"window one row short", {},
       [](std::size_t w, at::Tensor& rows) { if (w == 1) rows = rows.narrow(0, 0, rows.size(0) - 1); }, kRebuilt},
      {"last window one row long", {},
       [](std::size_t w, at::Tensor& rows) { if (w == 2) rows = at::cat({rows, rows.narrow(0, 0, 1)}); }, kRebuilt},
      {"untouched", {}, {}, "no failure"},
  };
  for (const Row& row : table) {
    // Maximum length 10: 12 subwords run as windows [0, 10), [5, 12); 17 as
    // [0, 10), [5, 15), [10, 17).
    TransformerEncoder encoder = TransformerEncoderTest::encoder("WordPiece", "contextual", 10);
    detail::set_run_seam(encoder, {row.outputs, row.window});
    const std::size_t subwords = row.window ? 17 : 8;
    EXPECT_EQ(failure([&] { encoder.encode(std::vector<std::string>(subwords - 2, "a"), true); }), row.expected)
        << row.name;
  }
}

// Sends standard error to /dev/null while it lives: the package runtime
// prints every failing run's backtrace there.
class SilencedStderr {
 public:
  SilencedStderr() : saved_(::dup(2)) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::close(null);
  }
  ~SilencedStderr() {
    ::dup2(saved_, 2);
    ::close(saved_);
  }

 private:
  int saved_;
};

TEST_F(TransformerEncoderTest, EightThreadsGiveTheSequentialRows) {
  const TransformerEncoder encoder = TransformerEncoderTest::encoder("ByteBPE", "contextual", 10);
  std::vector<std::vector<std::string>> sentences = {{}, {"the", "cat"}, {"", "x"}};
  for (unsigned seed = 1; seed <= 5; ++seed) sentences.push_back(long_sentence(encoder, 6 * seed, seed));
  std::vector<std::vector<std::vector<float>>> sequential;
  for (const auto& words : sentences) sequential.push_back(encoder.encode(words, true));
  std::vector<int> mismatches(8, 0), failures(8, 0);
  std::vector<std::thread> threads;
  const SilencedStderr silenced;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        for (std::size_t s = 0; s < sentences.size(); ++s) {
          const std::size_t pick = (s + static_cast<std::size_t>(t)) % sentences.size();
          if (encoder.encode(sentences[pick], true) != sequential[pick]) ++mismatches[static_cast<std::size_t>(t)];
        }
        // Failing runs while other threads wait for the package: each must
        // leave it usable (the runtime alone can leave waiters blocked).
        for (int k = 0; k < 10; ++k) {
          try {
            encoder.encode_ids({1, 999}, {});
          } catch (const TransformerError&) {
            ++failures[static_cast<std::size_t>(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
  EXPECT_EQ(failures, std::vector<int>(8, 60));
}

TEST_F(TransformerEncoderTest, SurfaceAndMovedFromEncoder) {
  const std::filesystem::path relative =
      std::filesystem::relative(transformer_package("context_free"), std::filesystem::current_path());
  TransformerEncoder encoder =
      testing::encoder_from_assets(TransformerEncoderTest::assets("WordPiece"), relative, 12);
  EXPECT_EQ(encoder.model_path(), relative);
  EXPECT_EQ(TransformerEncoder::runtime_version(), "2.13.0");
  // WordPiece fixture: [PAD] [UNK] [CLS] [SEP] at 0-3, "##s" at 64, "the" and "cat" at 72 and 73.
  const WordPieceEncoding encoding = encoder.tokenize({"The", "cats"}, true);
  EXPECT_EQ(encoding.input_ids, (std::vector<std::int64_t>{2, 72, 73, 64, 3}));
  EXPECT_EQ(encoding.word_ids, (std::vector<std::int64_t>{-1, 0, 1, 1, -1}));
  EXPECT_EQ(encoder.tokenize({"The"}, false).input_ids, (std::vector<std::int64_t>{72}));

  const auto rows = encoder.encode({"the", "cats"}, false);
  TransformerEncoder moved = std::move(encoder);
  EXPECT_EQ(moved.encode({"the", "cats"}, false), rows);
  const std::string kMoved = "logic_error: the transformer encoder has been moved from";
  EXPECT_EQ(failure([&] { encoder.tokenize({"a"}, true); }), kMoved);
  EXPECT_EQ(failure([&] { encoder.encode({"a"}, true); }), kMoved);
  EXPECT_EQ(failure([&] { encoder.encode_ids({1}, {}); }), kMoved);
  EXPECT_EQ(failure([&] { encoder.model_path(); }), kMoved);
  EXPECT_EQ(failure([&] { detail::encode_words_tensor(encoder, {"a"}, true); }), kMoved);
  encoder = std::move(moved);
  EXPECT_EQ(encoder.encode({"the", "cats"}, false), rows);
}

}  // namespace
}  // namespace lorvane
