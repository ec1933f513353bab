// The message file as loaded: header lines, empty line, body; and everything a hostile file can
// try.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base64.h"
#include "message_file.h"
#include "support.h"

namespace asas {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using testing::WriteFile;

Message Parsed(const std::string& bytes) {
  Message m;
  EXPECT_EQ(ParseMessage(bytes, &m), qx::S_OK) << bytes.substr(0, 80);
  return m;
}

HRESULT ParseResult(const std::string& bytes) {
  Message m;
  return ParseMessage(bytes, &m);
}

TEST(MessageFile, TakesTheBodyByteForByteAfterTheFirstEmptyLine) {
  // As the component writes text: CR LF line ends, and CR LF inside the text.
  const std::string body = "<a>\r\n\r\n x\0\xFF</a>"s;
  ASSERT_EQ(body.size(), 15u);
  Message m = Parsed("From: dr-muster\r\nTo: tc1\r\n\r\n" + body);
  EXPECT_TRUE(m.has_from);
  EXPECT_EQ(m.from, "dr-muster");
  EXPECT_EQ(m.to, "tc1");
  EXPECT_EQ(m.recipients, std::vector<std::string>{"tc1"});
  EXPECT_EQ(m.body, body);

  // As written for PDFs: LF line ends; the body keeps its final LF.
  m = Parsed("From: s\nTo: tc1\n\nQUJD\nREVG\n");
  EXPECT_EQ(m.body, "QUJD\nREVG\n");

  // An empty body is a body.
  EXPECT_EQ(Parsed("To: tc1\n\n").body, "");
}

TEST(MessageFile, ReadsRecipientsSeparatedByCommasAndBlanks) {
  EXPECT_EQ(Parsed("To: tc1,tc2\n\n").recipients, (std::vector<std::string>{"tc1", "tc2"}));
  EXPECT_EQ(Parsed("To: tc1, tc2\n\n").recipients, (std::vector<std::string>{"tc1", "tc2"}));
  EXPECT_EQ(Parsed("to:tc1 tc2,,tc1\t tc3 \n\n").recipients,
            (std::vector<std::string>{"tc1", "tc2", "tc3"}));
  // A continuation line extends the list.
  EXPECT_EQ(Parsed("To: tc1,\r\n tc2\r\nX-Other: y\r\n\r\n").recipients,
            (std::vector<std::string>{"tc1", "tc2"}));
  // Windows-1252 names are read as such.
  EXPECT_EQ(Parsed("To: z\xFCrich\n\n").recipients, std::vector<std::string>{"z\xC3\xBCrich"});
}

TEST(MessageFile, RefusesMalformedHeaders) {
  EXPECT_EQ(ParseResult("From: s\nSubject: x\n\nbody"), kNoRecipients);
  EXPECT_EQ(ParseResult("To: \n\nbody"), kNoRecipients);
  EXPECT_EQ(ParseResult("To: , ,\n\nbody"), kNoRecipients);
  EXPECT_EQ(ParseResult("To: tc1\nbody without an empty line"), kBadMessage);
  EXPECT_EQ(ParseResult(""), kBadMessage);
  EXPECT_EQ(ParseResult("To: tc1\nno colon here\n\n"), kBadMessage);
  EXPECT_EQ(ParseResult(" To: tc1\n\n"), kBadMessage);  // continuation of nothing
  EXPECT_EQ(ParseResult("To: tc1\nTo: tc2\n\n"), kBadMessage);
  EXPECT_EQ(ParseResult("From: a\nFrom: b\nTo: tc1\n\n"), kBadMessage);
  EXPECT_EQ(ParseResult(std::string("To: tc1\0x\n\n", 11)), kBadMessage);
  EXPECT_EQ(ParseResult("To: tc1\rX: y\n\n"), kBadMessage);  // bare CR inside a line
  EXPECT_EQ(ParseResult("To: ../../etc/x\n\n"), kBadMessage);
  EXPECT_EQ(ParseResult("To: .hidden\n\n"), kBadMessage);
  std::string many = "To:";
  for (int i = 0; i <= 64; ++i) many += " r" + std::to_string(i);
  EXPECT_EQ(ParseResult(many + "\n\n"), kBadMessage);
}

TEST(MessageFile, BoundsTheHeader) {
  // One line longer than allowed, with or without a line end.
  EXPECT_EQ(ParseResult("To: tc1\nX: " + std::string(kMaxHeaderLineBytes, 'a') + "\n\n"),
            kBadMessage);
  EXPECT_EQ(ParseResult("To: " + std::string(10 * 1024 * 1024, 'a')), kBadMessage);
  // The longest allowed line is fine.
  EXPECT_EQ(ParseResult("To: tc1\nX: " + std::string(kMaxHeaderLineBytes - 3, 'a') + "\r\n\n"),
            qx::S_OK);
  // Too many lines, and too many bytes in lines that are each allowed.
  std::string lines = "To: tc1\n";
  for (size_t i = 0; i < kMaxHeaderLines; ++i) lines += "X: y\n";
  EXPECT_EQ(ParseResult(lines + "\n"), kBadMessage);
  std::string big = "To: tc1\n";
  for (int i = 0; i < 20; ++i) big += "X: " + std::string(4000, 'b') + "\n";
  EXPECT_EQ(ParseResult(big + "\n"), kBadMessage);
}

TEST(MessageFile, LoadsOnlyBoundedRegularFiles) {
  TempDir dir;
  Message m;
  EXPECT_EQ(LoadMessageFile(dir / "missing", &m), HresultFromErrno(ENOENT));
  EXPECT_EQ(LoadMessageFile(dir.path(), &m), HresultFromErrno(EISDIR));
  // A FIFO without a writer must neither block nor be read.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(LoadMessageFile(dir / "fifo", &m), HresultFromErrno(EINVAL));
  // A file over the limit is refused before it is read (sparse, so the test stays cheap).
  WriteFile(dir / "huge", "To: tc1\n\n");
  ASSERT_EQ(truncate((dir / "huge").c_str(), kMaxMessageBytes + 1), 0);
  EXPECT_EQ(LoadMessageFile(dir / "huge", &m), kTooLarge);
  ASSERT_EQ(truncate((dir / "huge").c_str(), kMaxMessageBytes), 0);
  EXPECT_EQ(LoadMessageFile(dir / "huge", &m), qx::S_OK);
  EXPECT_EQ(m.body.size(), kMaxMessageBytes - 9);
}

TEST(MessageFile, SavedEnvelopeHasHeaderEmptyLineAndBase64Lines) {
  Message m = Parsed("From: dr-muster\r\nTo: tc1, tc2\r\n\r\nbody");
  std::string der(100, '\x30');
  std::string saved = FormatEnvelopeFile(m, der);
  std::vector<HeaderField> fields;
  std::string_view body;
  ASSERT_EQ(SplitMessage(saved, &fields, &body), qx::S_OK);
  ASSERT_GE(fields.size(), 3u);
  EXPECT_EQ(fields[0].name, "From");
  EXPECT_EQ(fields[0].value, "dr-muster");
  EXPECT_EQ(fields[1].name, "To");
  EXPECT_EQ(fields[1].value, "tc1, tc2");
  bool has_type = false;
  for (const auto& f : fields)
    has_type = has_type || (f.name == "Content-Type" &&
                            f.value.find("smime-type=enveloped-data") != std::string::npos);
  EXPECT_TRUE(has_type);
  EXPECT_EQ(body, std::string(Base64Encode(der, 64)));
}

}  // namespace
}  // namespace asas
