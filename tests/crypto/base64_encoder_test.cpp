#include "crypto/base64_encoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "fake_asas.h"

namespace qx {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Bytes(size_t count) {
  std::string bytes;
  for (size_t i = 0; i < count; ++i) bytes += static_cast<char>(i * 7 + 3);
  return bytes;
}

TEST(Base64Encoder, WritesLinesOf64CharactersFor48Bytes) {
  std::string out;
  Base64Encoder encoder(&out);
  std::string input = Bytes(100);
  encoder.Write(input.data(), input.size());
  encoder.Finish();
  auto lines = Lines(out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 64u);
  EXPECT_EQ(lines[1].size(), 64u);
  EXPECT_EQ(lines[2].size(), 8u);
  EXPECT_EQ(lines[2].substr(6), "==");
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(testing::DecodeBase64(out), input);
}

TEST(Base64Encoder, ExactLineAndEmptyInput) {
  std::string out;
  Base64Encoder encoder(&out);
  std::string input = Bytes(48);
  encoder.Write(input.data(), input.size());
  encoder.Finish();
  EXPECT_EQ(out.size(), 65u);
  EXPECT_EQ(Lines(out).size(), 1u);

  std::string empty;
  Base64Encoder none(&empty);
  none.Write("", 0);
  none.Finish();
  EXPECT_EQ(empty, "");
}

TEST(Base64Encoder, KnownVectorsAndStreamingInPieces) {
  for (auto [plain, encoded] : std::vector<std::pair<std::string, std::string>>{
           {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}}) {
    std::string out;
    Base64Encoder encoder(&out);
    encoder.Write(plain.data(), plain.size());
    encoder.Finish();
    EXPECT_EQ(out, encoded + "\n");
  }
  std::string input = Bytes(6144 + 97);
  std::string whole;
  Base64Encoder once(&whole);
  once.Write(input.data(), input.size());
  once.Finish();
  std::string pieces;
  Base64Encoder streamed(&pieces);
  for (size_t pos = 0; pos < input.size(); pos += 13)
    streamed.Write(input.data() + pos, std::min<size_t>(13, input.size() - pos));
  streamed.Finish();
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(testing::DecodeBase64(whole), input);
}

}  // namespace
}  // namespace qx
