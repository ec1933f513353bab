#include "formats/gni_invoice.h"

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace qx {
namespace {

using Texts = std::vector<std::string>;

const std::string kGniData = std::string(QENDIX_TEST_DATA_DIR) + "/gni/";

TEST(GniAmountTextTest, ReadsHundredthsByTheRulesOfAtol) {
  EXPECT_EQ(GniAmountText("12345"), "123.45");
  EXPECT_EQ(GniAmountText("-500"), "-5.00");
  EXPECT_EQ(GniAmountText("5"), "0.05");
  EXPECT_EQ(GniAmountText("-5"), "-0.05");
  EXPECT_EQ(GniAmountText("-0"), "0.00");
  EXPECT_EQ(GniAmountText(""), "0.00");
  EXPECT_EQ(GniAmountText("abc"), "0.00");
  EXPECT_EQ(GniAmountText("  \t+7"), "0.07");
  EXPECT_EQ(GniAmountText("12x34"), "0.12");
  EXPECT_EQ(GniAmountText("125.50"), "1.25");
  EXPECT_EQ(GniAmountText("- 5"), "0.00");
}

TEST(GniAmountTextTest, HoldsAmountsBeyondSixtyFourBitsAtTheLimit) {
  EXPECT_EQ(GniAmountText("9223372036854775807"), "92233720368547758.07");
  EXPECT_EQ(GniAmountText("9223372036854775808"), "92233720368547758.07");
  EXPECT_EQ(GniAmountText("99999999999999999999999999"), "92233720368547758.07");
  EXPECT_EQ(GniAmountText("-9223372036854775808"), "-92233720368547758.08");
  EXPECT_EQ(GniAmountText("-99999999999999999999999999"), "-92233720368547758.08");
}

TEST(GniAmountTextTest, AgreesWithTwoDecimalFormattingOfAHundredth) {
  // The amount is the value times 0.01 written with "%.2f"; the exact integer formatting must
  // give the same text over the whole range of real amounts.
  auto reference = [](long long n) {
    char text[64];
    snprintf(text, sizeof text, "%.2f", static_cast<double>(n) * 0.01);
    return std::string(text);
  };
  for (long long n = -200000; n <= 200000; ++n)
    ASSERT_EQ(GniAmountText(std::to_string(n)), reference(n)) << n;
  std::mt19937_64 random(42);
  std::uniform_int_distribution<long long> wide(-100000000000000LL, 100000000000000LL);
  for (int i = 0; i < 200000; ++i) {
    long long n = wide(random);
    ASSERT_EQ(GniAmountText(std::to_string(n)), reference(n)) << n;
  }
}

TEST(GniKeyCollectorTest, CollectsKeyFieldsOfAnyRecord) {
  GniKeyCollector collector;
  ASSERT_TRUE(
      collector.ParseBytes("[DEBINFO1]\n106=A111111\n[X1]\n115=R-1\n119=100\n200=01 000162 8>\n"
                           "[Y2]\n106=B222222\n115=R-2\n119=-250\n200=02\n132=ignored\n"));
  const InvoiceKeys& keys = collector.keys();
  EXPECT_EQ(keys.invoiceIds, (Texts{"R-1", "R-2"}));
  EXPECT_EQ(keys.amounts, (Texts{"1.00", "-2.50"}));
  EXPECT_EQ(keys.codingLines, (Texts{"01 000162 8>", "02"}));
  EXPECT_EQ(keys.providerZsr, "B222222");
}

TEST(GniKeyCollectorTest, ConvertsWindows1252ToUtf8) {
  GniKeyCollector collector;
  ASSERT_TRUE(collector.ParseBytes("[DEB1]\n106=Z\xE9\n115=\x80-\xDF\n"));
  EXPECT_EQ(collector.keys().providerZsr, "Z\xC3\xA9");
  EXPECT_EQ(collector.keys().invoiceIds, (Texts{"\xE2\x82\xAC-\xC3\x9F"}));
}

TEST(ReadGniInvoiceFileTest, ReadsTwoInvoicesOfARealisticFile) {
  InvoiceKeys keys;
  ASSERT_EQ(ReadGniInvoiceFile(kGniData + "two_invoices.gni", &keys), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, (Texts{"2005-0042", "2005-0043/Nachtrag \xC3\x9F"}));
  EXPECT_EQ(keys.amounts, (Texts{"125.50", "-5.00"}));
  EXPECT_EQ(keys.codingLines, (Texts{"0100000125505>000000000000000020050004201+ 010001628>",
                                     "0100000005008>000000000000000020050004302+ 010001628>"}));
  EXPECT_EQ(keys.providerZsr, "Z123456");
}

TEST(ReadGniInvoiceFileTest, ReplacesTheCallersKeysOnSuccess) {
  InvoiceKeys keys{{"old"}, {"1.00"}, {"old line"}, "OLD"};
  ASSERT_EQ(ReadGniInvoiceFile(kGniData + "quick_invoice.gni", &keys), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, (Texts{"Q-17"}));
  EXPECT_EQ(keys.amounts, (Texts{"99.00"}));
  EXPECT_TRUE(keys.codingLines.empty());
  EXPECT_EQ(keys.providerZsr, "Z654321");
}

TEST(ReadGniInvoiceFileTest, LeavesTheKeysAloneOnFailure) {
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFile(dir / "bad.gni", "[DEB1]\n115=A\n119=100"));
  const InvoiceKeys before{{"old"}, {"1.00"}, {"line"}, "OLD"};
  InvoiceKeys keys = before;
  EXPECT_NE(ReadGniInvoiceFile(dir / "bad.gni", &keys), InvoiceFileRead::kRead);
  EXPECT_NE(ReadGniInvoiceFile(dir / "missing.gni", &keys), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, before.invoiceIds);
  EXPECT_EQ(keys.amounts, before.amounts);
  EXPECT_EQ(keys.codingLines, before.codingLines);
  EXPECT_EQ(keys.providerZsr, before.providerZsr);
  EXPECT_NE(ReadGniInvoiceFile(kGniData + "quick_invoice.gni", nullptr), InvoiceFileRead::kRead);
}

TEST(ReadGniInvoiceFileTest, ReadsTheGniTextInsideATransferDocument) {
  InvoiceKeys keys;
  ASSERT_EQ(ReadGniInvoiceFile(kGniData + "transfer_from_gni.xml", &keys), InvoiceFileRead::kRead);
  EXPECT_EQ(keys.invoiceIds, (Texts{"2005-0042"}));
  EXPECT_EQ(keys.amounts, (Texts{"125.50"}));
  EXPECT_EQ(keys.codingLines,
            (Texts{"0100000125505&gt;000000000000000020050004201+ 010001628&gt;"}));
  EXPECT_EQ(keys.providerZsr, "Z123456");
}

}  // namespace
}  // namespace qx
