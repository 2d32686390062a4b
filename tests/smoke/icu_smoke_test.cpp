// The ICU normaliser that the Unicode helpers rely on is present and works.
#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <string>

TEST(IcuSmoke, NfkcNormalisesLigatureAndFullWidth) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  ASSERT_TRUE(U_SUCCESS(status));
  ASSERT_NE(nfkc, nullptr);
  const auto input = icu::UnicodeString::fromUTF8("\xEF\xAC\x81\xEF\xBC\xA1");  // U+FB01 U+FF21
  icu::UnicodeString output = nfkc->normalize(input, status);
  ASSERT_TRUE(U_SUCCESS(status));
  std::string utf8;
  output.toUTF8String(utf8);
  EXPECT_EQ(utf8, "fiA");
}
