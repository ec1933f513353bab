// The PDF index finds what a scan of the list in order finds: the first undelivered name that
// begins with the key (StartsWithNoCase), over names that share long prefixes, differ in case or
// are not ASCII, before and after deliveries.
#include "crypto/pdf_index.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "platform/codepage.h"

namespace qx {
namespace {

TEST(PdfIndex, FindsWhatAScanInListOrderFinds) {
  std::mt19937 random(11);
  const std::vector<std::string> parts = {"01", "0", "01_2", "A", "a", "\xC3\x84", "\xC3\xA4", "_"};
  const auto text = [&](size_t pieces) {
    std::string s;
    for (size_t i = 0; i < pieces; ++i) s += parts[random() % parts.size()];
    return s;
  };
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back(text(1 + random() % 4) + ".pdf");
  PdfIndex index;
  index.Reset(names);
  std::set<std::string> delivered;
  for (int round = 0; round < 2000; ++round) {
    const std::string key = round % 7 == 0 ? std::string() : text(1 + random() % 3);
    size_t expected = PdfIndex::kNone;
    for (size_t i = 0; i < names.size() && expected == PdfIndex::kNone && !key.empty(); ++i)
      if (!delivered.count(names[i]) && StartsWithNoCase(names[i], key)) expected = i;
    ASSERT_EQ(index.Find(key), expected) << "key " << key << " round " << round;
    if (expected != PdfIndex::kNone && random() % 2) {
      index.Deliver(names[expected]);
      delivered.insert(names[expected]);
    }
  }
  EXPECT_GT(delivered.size(), 20u);
}

}  // namespace
}  // namespace qx
