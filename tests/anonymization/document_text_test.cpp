#include "anonymization/document_text.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(DocumentTextTest, BytesAreWindows1252WithReferencesAndLinesEndInCrLf) {
  struct Case {
    std::string utf8;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"plain ascii <b>&amp;</b>", "plain ascii <b>&amp;</b>"},
      {"Z\xC3\xBCrich \xE2\x82\xAC 5", "Z\xFCrich \x80 5"},  // ü and € have bytes
      {"\xCE\xA9 ohm", "&#x3A9; ohm"},                       // Ω has none
      {"a\xC3"
       "b\xFF"
       "c",
       "a?b?c"},  // malformed sequences
      {std::string(40, 'x') + "\xC3\xA4", std::string(40, 'x') + "\xE4"},
  };
  for (const Case& c : cases) {
    std::string out = "head:";
    AppendDocumentBytes(out, c.utf8);
    EXPECT_EQ(out, "head:" + c.bytes) << c.utf8;
  }
  EXPECT_EQ(WithCrLf(""), "");
  EXPECT_EQ(WithCrLf("no line end"), "no line end");
  EXPECT_EQ(WithCrLf("a\nb"), "a\r\nb");
  EXPECT_EQ(WithCrLf("\n\nlast\n"), "\r\n\r\nlast\r\n");
}

}  // namespace
}  // namespace qx
