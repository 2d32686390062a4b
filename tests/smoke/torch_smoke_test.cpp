// libtorch can wrap memory it does not own and compute on it without copying.
#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <gtest/gtest.h>

#include <vector>

TEST(TorchSmoke, FromBlobAliasesBufferAndMatmulRuns) {
  std::vector<float> a{1, 2, 3, 4, 5, 6};     // [2, 3]
  std::vector<float> b{1, 0, 0, 1, 1, 1};     // [3, 2]
  c10::InferenceMode guard;
  at::Tensor ta = at::from_blob(a.data(), {2, 3}, at::kFloat);
  at::Tensor tb = at::from_blob(b.data(), {3, 2}, at::kFloat);
  EXPECT_EQ(ta.data_ptr<float>(), a.data());  // no copy
  at::Tensor c = at::matmul(ta, tb).contiguous();
  ASSERT_EQ(c.sizes(), (at::IntArrayRef{2, 2}));
  const float* p = c.data_ptr<float>();
  EXPECT_FLOAT_EQ(p[0], 4);
  EXPECT_FLOAT_EQ(p[1], 5);
  EXPECT_FLOAT_EQ(p[2], 10);
  EXPECT_FLOAT_EQ(p[3], 11);
  EXPECT_TRUE(c.is_inference());
}
