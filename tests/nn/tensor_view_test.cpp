// Viewing bundle tensors as libtorch tensors: every dtype against values
// written by PyTorch, zero-copy views over aligned bytes, aligned copies of
// misaligned ones.

#include <ATen/ATen.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bundle/bundle_test_util.hpp"
#include "bundle/json.hpp"
#include "bundle/tensor_table.hpp"
#include "lorvane/bundle.hpp"
#include "nn/tensor_view.hpp"

namespace lorvane {
namespace {

using testing::json_string;
using testing::TempDir;
using testing::write_bundles;

// Writes two bundles with the same seeded tensors of every dtype: "aligned"
// (alignment 64) and "misaligned" (alignment 1, every tensor at an offset of
// 1 modulo 16). Prints the values as JSON: name -> flat list of doubles
// (complex numbers as re, im pairs).
constexpr const char* kWriteScript = R"PY(
import json, sys
import torch
sys.path.insert(0, sys.argv[1])
import bundle_writer as bw

torch.manual_seed(7)
shapes = {"bool": [2, 3], "int8": [5], "uint8": [3, 2], "int16": [4], "uint16": [2, 2], "float16": [3],
          "bfloat16": [2, 3], "int32": [7], "uint32": [3], "float32": [4, 5], "int64": [3], "uint64": [2],
          "float64": [2, 3], "complex64": [3], "complex128": [2]}
tensors = {}
for name, shape in shapes.items():
    dtype = getattr(torch, name)
    if name == "bool":
        t = torch.rand(shape) > 0.5
    elif name.startswith(("int", "uint")):
        t = torch.randint(0, 100, shape).to(dtype)
    else:
        t = torch.randn(shape, dtype=torch.float64).to(dtype) if not name.startswith("complex") \
            else torch.randn(shape, dtype=dtype)
    tensors[name] = t
tensors["scalar"] = torch.tensor(2.5, dtype=torch.float32)
tensors["empty"] = torch.zeros(0, 4, dtype=torch.float32)

bw.write_bundle(sys.argv[2] + "/aligned", tensors=tensors, alignment=64)
items, offset = [], 0
for name, t in tensors.items():
    offset = (offset + 15) // 16 * 16 + 1
    items.append((name, t, {"offset": offset}))
    offset += t.numel() * t.element_size()
bw.write_bundle(sys.argv[2] + "/misaligned", tensors=items, alignment=1)

def flat(t):
    if t.is_complex():
        return torch.view_as_real(t).reshape(-1).tolist()
    return t.reshape(-1).to(torch.float64).tolist()
print(json.dumps({name: flat(t) for name, t in tensors.items()}))
)PY";

class TensorViewTest : public testing::SuiteDirectoryTest<TensorViewTest> {
 public:
  static void populate(const std::filesystem::path& root) {
    const std::string output = testing::run_python(
        {"-c", kWriteScript, (testing::source_dir() / "tests" / "fixtures").string(), root.string()});
    expected_ = std::make_unique<detail::JsonValue>(detail::parse_json(output));
  }

 protected:

  static std::vector<double> expected_values(const std::string& name) {
    std::vector<double> values;
    for (const auto& v : expected_->at(name, "").as_array("")) values.push_back(v.as_number(""));
    return values;
  }

  static std::vector<double> values_of(const at::Tensor& tensor) {
    at::Tensor flat = tensor.is_complex() ? at::view_as_real(tensor) : tensor;
    flat = flat.reshape({-1}).to(at::kDouble).contiguous();
    return std::vector<double>(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
  }

  static inline std::unique_ptr<detail::JsonValue> expected_;
};

TEST_F(TensorViewTest, EveryDtypeMatchesPyTorch) {
  for (const char* layout : {"aligned", "misaligned"}) {
    ModelBundle bundle(*root_ / layout, true);
    for (const auto& d : bundle.tensors()) {
      SCOPED_TRACE(std::string(layout) + " " + d.name);
      const at::Tensor view = detail::tensor_view(bundle, d.name);
      if (d.name != "scalar" && d.name != "empty") {
        EXPECT_EQ(view.scalar_type(), detail::tensor_scalar_type(d.name));
      }
      EXPECT_EQ(view.sizes().vec(), d.shape);
      EXPECT_TRUE(view.is_contiguous());
      EXPECT_EQ(static_cast<std::uint64_t>(view.nbytes()), d.nbytes);
      EXPECT_EQ(view.device(), at::Device(at::kCPU));
      EXPECT_TRUE(testing::all_close(values_of(view), expected_values(d.name), 0.0));
    }
  }
}

TEST_F(TensorViewTest, AlignedBytesAreViewedInPlace) {
  ModelBundle bundle(*root_ / "aligned", false);
  for (const auto& d : bundle.tensors()) {
    if (d.nbytes == 0) continue;
    const at::Tensor view = detail::tensor_view(bundle, d);
    EXPECT_EQ(view.data_ptr(), bundle.tensor_data(d.name)) << d.name;
  }
}

TEST_F(TensorViewTest, MisalignedBytesAreCopiedToAlignedMemory) {
  ModelBundle bundle(*root_ / "misaligned", false);
  for (const auto& d : bundle.tensors()) {
    if (d.nbytes == 0) continue;
    SCOPED_TRACE(d.name);
    const auto address = reinterpret_cast<std::uintptr_t>(bundle.tensor_data(d.name));
    const std::uint64_t element_size = detail::dtype_size(d.dtype);
    ASSERT_EQ(address % 16, 1u);
    const at::Tensor view = detail::tensor_view(bundle, d);
    if (element_size == 1) {
      EXPECT_EQ(view.data_ptr(), bundle.tensor_data(d.name));  // bytes are always aligned
    } else {
      EXPECT_NE(view.data_ptr(), bundle.tensor_data(d.name));
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(view.data_ptr()) % element_size, 0u);
      EXPECT_EQ(std::memcmp(view.data_ptr(), bundle.tensor_data(d.name), d.nbytes), 0);
    }
  }
  // The float32 case spelled out: an equal tensor in fresh, aligned memory.
  const at::Tensor misaligned = detail::tensor_view(bundle, "float32");
  ModelBundle aligned_bundle(*root_ / "aligned", false);
  const at::Tensor aligned = detail::tensor_view(aligned_bundle, "float32");
  EXPECT_TRUE(at::equal(misaligned, aligned));
  EXPECT_EQ(aligned.data_ptr(), aligned_bundle.tensor_data("float32"));
}

TEST_F(TensorViewTest, ScalarsAndEmptyTensors) {
  ModelBundle bundle(*root_ / "aligned", false);
  const at::Tensor scalar = detail::tensor_view(bundle, "scalar");
  EXPECT_EQ(scalar.dim(), 0);
  EXPECT_EQ(scalar.item<float>(), 2.5f);
  const at::Tensor empty = detail::tensor_view(bundle, "empty");
  EXPECT_EQ(empty.sizes().vec(), (std::vector<std::int64_t>{0, 4}));
  EXPECT_EQ(empty.scalar_type(), at::kFloat);
}

TEST_F(TensorViewTest, MissingNamesAndForeignDescriptors) {
  ModelBundle bundle(*root_ / "aligned", false);
  EXPECT_THROW_MSG(detail::tensor_view(bundle, "Float32"), ModelBundleError,
                   "tensor is not present in bundle: 'Float32'");
  TensorDescriptor foreign = bundle.tensor("float32");
  foreign.offset = bundle.tensor_file_size() - 4;
  foreign.name = "foreign";
  EXPECT_THROW_MSG(detail::tensor_view(bundle, foreign), std::invalid_argument,
                   "tensor descriptor lies outside the bundle's tensor file: 'foreign'");
  foreign.dtype = "float";
  EXPECT_THROW_MSG(detail::tensor_view(bundle, foreign), ModelBundleError, "unsupported tensor dtype: float");
}

// A descriptor is a plain value that callers can edit: its shape and dtype
// must still account for exactly its bytes, or the view would read past them
// (zero-copy) or the aligned copy would write past its buffer.
TEST_F(TensorViewTest, DescriptorsWhoseShapeDisagreesWithTheirBytesAreRefused) {
  struct Edit {
    const char* what;
    std::vector<std::int64_t> shape;
    const char* dtype;
    bool zero_bytes;  // nbytes set to 0
  };
  const std::vector<Edit> edits = {
      {"shape larger than the bytes", {4, 6}, "float32", false},
      {"shape smaller than the bytes", {2}, "float32", false},
      {"wider dtype", {4, 5}, "float64", false},
      {"no bytes for a non-empty shape", {4, 5}, "float32", true},
      {"negative dimensions", {-4, -5}, "float32", false},
      {"dimensions overflowing 64 bits", {4294967296, 4294967296}, "float32", false},
  };
  for (const char* layout : {"aligned", "misaligned"}) {
    ModelBundle bundle(*root_ / layout, false);
    for (const auto& edit : edits) {
      SCOPED_TRACE(std::string(layout) + ": " + edit.what);
      TensorDescriptor foreign = bundle.tensor("float32");  // [4, 5], 80 bytes
      foreign.name = "foreign";
      foreign.shape = edit.shape;
      foreign.dtype = edit.dtype;
      if (edit.zero_bytes) foreign.nbytes = 0;
      EXPECT_THROW_MSG(detail::tensor_view(bundle, foreign), std::invalid_argument,
                       "tensor descriptor shape does not match its byte size: 'foreign'");
    }
    // The unedited descriptor still views.
    EXPECT_EQ(detail::tensor_view(bundle, bundle.tensor("float32")).numel(), 20);
  }
}

TEST(TensorViewBoolTest, BoolBytesOtherThanZeroOrOneAreRefused) {
  TempDir root;
  write_bundles("[{\"bundle\": " + json_string((root / "good").string()) +
                ", \"tensors\": [{\"name\": \"m\", \"dtype\": \"bool\", \"shape\": [3], \"hex\": \"000101\"}]},"
                "{\"bundle\": " + json_string((root / "bad").string()) +
                ", \"tensors\": [{\"name\": \"m\", \"dtype\": \"bool\", \"shape\": [3], \"hex\": \"000102\"}]}]");
  ModelBundle good(root / "good", true);
  const at::Tensor mask = detail::tensor_view(good, "m");
  EXPECT_EQ(mask.sum().item<std::int64_t>(), 2);
  ModelBundle bad(root / "bad", true);  // the bundle layer does not interpret bytes
  EXPECT_THROW_MSG(detail::tensor_view(bad, "m"), ModelBundleError, "invalid bool tensor value: 'm'");
}

TEST(TensorViewDtypeTest, ScalarTypeTable) {
  const std::vector<std::pair<std::string, at::ScalarType>> table = {
      {"bool", at::kBool},       {"int8", at::kChar},         {"uint8", at::kByte},
      {"int16", at::kShort},     {"uint16", at::kUInt16},     {"float16", at::kHalf},
      {"bfloat16", at::kBFloat16}, {"int32", at::kInt},       {"uint32", at::kUInt32},
      {"float32", at::kFloat},   {"int64", at::kLong},        {"uint64", at::kUInt64},
      {"float64", at::kDouble},  {"complex64", at::kComplexFloat}, {"complex128", at::kComplexDouble}};
  for (const auto& [name, type] : table) {
    EXPECT_EQ(detail::tensor_scalar_type(name), type) << name;
    EXPECT_EQ(static_cast<std::uint64_t>(c10::elementSize(type)), detail::dtype_size(name)) << name;
  }
  EXPECT_THROW_MSG(detail::tensor_scalar_type("Bool"), ModelBundleError, "unsupported tensor dtype: Bool");
}

}  // namespace
}  // namespace lorvane
