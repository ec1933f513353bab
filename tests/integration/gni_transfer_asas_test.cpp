// A GNI transfer document sealed through the installed security client and opened the way the
// Trust Center opens it: the patient part gives back exactly the identifying lines of the
// invoice, Windows-1252 with CR LF line ends, and none of them stands in clear in the document.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "anonymization/gni_converter.h"
#include "crypto/anonymizer_context.h"
#include "crypto/certificate_cache.h"
#include "crypto/start_asas.h"
#include "integration/asas_home.h"

namespace qx::testing {
namespace {

TEST(GniTransferAsasTest, PatientPartOpensToTheIdentifyingTextWithTheTrustCenterKey) {
  AsasHome home;
  TempDir work;
  TempDir messages;
  setenv("TMPDIR", messages.path().c_str(), 1);
  ASSERT_TRUE(home.AddLogin("praxis", "dr-muster"));
  const TrustCenter tc = home.MakeTrustCenter("tc1", KeyKind::kRsa, /*import=*/true);
  ASSERT_FALSE(tc.name.empty());
  const std::string valid = work / "valid";
  ASSERT_EQ(::mkdir(valid.c_str(), 0700), 0);
  const std::string invoice =
      "[DEBINFO1]\r\n106=Z123456\r\n"
      "[ADRPAT1]\r\n132=M\xFCller\r\n133=Ren\xE9\r\n136=8001\r\n155=1965\r\n157=1203\r\n"
      "[ADRDEB1]\r\n132=M\xFCller & S\xF6hne\r\n137=Bahnhofstrasse 1\r\n"
      "[INFC1]\r\n115=2005-0042\r\n119=12550\r\n217=756.1234.5678.97\r\n";
  ASSERT_TRUE(WriteFile(valid + "/r.gni", invoice));

  EventLines events;
  AnonymizerContext context(&events, moPAnonymizer);
  context.SetSender(SenderForLogin("praxis", "tc1"));
  context.SetRcpt("tc1");
  context.SetValidFolder(valid);
  CertificateCache cache(work.path(), &events);
  ASSERT_TRUE(cache.Lookup("tc1"));

  GniConverter converter("qendix-Praxis V2.1.14 / Test");
  converter.SetInput(valid + "/r.gni");
  ASSERT_EQ(converter.Convert("r.gni", "tc1", /*withPdf=*/false, context), S_OK);
  const std::string& document = converter.Document();

  const std::string start = "<qendix:data type=\"patient\">";
  const size_t begin = document.find(start);
  ASSERT_NE(begin, std::string::npos);
  const size_t end = document.find("</qendix:data>", begin);
  ASSERT_NE(end, std::string::npos);
  std::string body;
  for (size_t i = begin + start.size(); i < end; ++i)
    if (document[i] != '\r') body += document[i];
  // What stands in clear: everything but the sealed part.
  const std::string clear = document.substr(0, begin) + document.substr(end);
  std::string plain;
  ASSERT_TRUE(OpenEnvelope(home, body, tc, &plain)) << plain;
  EXPECT_EQ(plain,
            "[ADRPAT1]\r\n132=M\xFCller\r\n133=Ren\xE9\r\n136=8001\r\n155=1965\r\n157=1203\r\n"
            "[ADRDEB1]\r\n132=M\xFCller & S\xF6hne\r\n137=Bahnhofstrasse 1\r\n"
            "[INFC1]\r\n217=756.1234.5678.97\r\n");
  for (const char* secret : {"M\xFC", "Ren\xE9", "8001", "1203", "Bahnhof", "756.1234"})
    EXPECT_EQ(clear.find(secret), std::string::npos) << secret;
  unsetenv("TMPDIR");
}

}  // namespace
}  // namespace qx::testing
