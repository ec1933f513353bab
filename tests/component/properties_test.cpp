// The property accessors of the component as a host sees them.
#include <gtest/gtest.h>

#include "common/component_fixture.h"

namespace qx::testing {
namespace {

class Properties : public ComponentTest {};

TEST_F(Properties, NullResultPointersAndFixedAnswers) {
  WriteCenters();
  Create();
  EXPECT_EQ(q_->get_qendixVersion(nullptr), E_POINTER);
  EXPECT_EQ(q_->get_inputDirectory(nullptr), E_POINTER);
  EXPECT_EQ(q_->get_withPDF(nullptr), E_POINTER);
  EXPECT_EQ(q_->get_esr(nullptr), E_POINTER);
  EXPECT_EQ(q_->get_trustCenters(nullptr), E_POINTER);
  EXPECT_EQ(q_->get_asasLogins(nullptr), E_POINTER);
  BStr v;
  EXPECT_EQ(q_->get_qendixVersion(&v), S_OK);
  EXPECT_EQ(v, "qendix-Praxis V2.1.14");
  VariantBool b = 0;
  EXPECT_EQ(q_->get_activateGUI(&b), E_NOTIMPL);
  EXPECT_EQ(q_->put_activateGUI(VARIANT_TRUE), E_NOTIMPL);
}

TEST_F(Properties, BooleansAreOnOnlyForVariantTrue) {
  Create();
  VariantBool b = 0;
  ASSERT_EQ(q_->put_withPDF(VARIANT_TRUE), S_OK);
  q_->get_withPDF(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  ASSERT_EQ(q_->put_withPDF(1), S_OK);
  q_->get_withPDF(&b);
  EXPECT_EQ(b, VARIANT_FALSE);
  q_->put_debug(VARIANT_TRUE);
  q_->put_withArchive(2);
  q_->get_debug(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  q_->get_withArchive(&b);
  EXPECT_EQ(b, VARIANT_FALSE);
}

TEST_F(Properties, StringsKeepNullAndEmptyApart) {
  Create();
  BStr v = std::string("x");
  ASSERT_EQ(q_->put_asasLogin(std::nullopt), S_OK);
  EXPECT_EQ(q_->get_asasLogin(&v), S_OK);
  EXPECT_EQ(v, std::nullopt);
  ASSERT_EQ(q_->put_asasLogin(std::string("")), S_OK);
  q_->get_asasLogin(&v);
  EXPECT_EQ(v, std::string(""));
  ASSERT_EQ(q_->put_inputDirectory(std::string("not checked \xC3\xA4")), S_OK);
  q_->get_inputDirectory(&v);
  EXPECT_EQ(v, "not checked ä");
}

TEST_F(Properties, TrustCenterTakesItsValuesFromTheDirectory) {
  WriteCenters();
  Create();
  BStr v;
  ASSERT_EQ(q_->put_trustCenter(std::string("TC test")), S_OK);
  q_->get_ean(&v);
  EXPECT_EQ(v, "7601000000017");
  q_->get_tcTel(&v);
  EXPECT_EQ(v, "044 000 00 00");
  EXPECT_EQ(q_->get_esr(&v), S_OK);
  EXPECT_EQ(v, "42");
  EXPECT_EQ(q_->get_esrPDF(&v), S_OK);
  EXPECT_EQ(v, "7");

  ASSERT_EQ(q_->put_trustCenter(std::string("TC two")), S_OK);
  EXPECT_EQ(q_->get_esr(&v), S_OK);
  EXPECT_EQ(v, "44");  // 300 & 0xFF
  EXPECT_EQ(q_->get_esrPDF(&v), S_FALSE);
  EXPECT_EQ(v, "0");  // "x" does not start with a number
  q_->get_tcTel(&v);
  EXPECT_EQ(v, "");

  ASSERT_EQ(q_->put_trustCenter(std::string("Nowhere")), S_OK);
  q_->get_trustCenter(&v);
  EXPECT_EQ(v, "Nowhere");
  q_->get_ean(&v);
  EXPECT_EQ(v, "");
  EXPECT_EQ(q_->get_esr(&v), S_FALSE);
  EXPECT_EQ(v, "0");
}

TEST_F(Properties, TrustCenterFailsWithoutDirectoryAndKeepsTheOldValue) {
  WriteCenters();
  Create();
  ASSERT_EQ(q_->put_trustCenter(std::string("TC test")), S_OK);
  ASSERT_EQ(unlink((ModuleDir() + "/qendix.xml").c_str()), 0);
  EXPECT_EQ(q_->put_trustCenter(std::string("TC two")), E_FAIL);
  BStr v;
  q_->get_trustCenter(&v);
  EXPECT_EQ(v, "TC test");
  q_->get_esr(&v);
  EXPECT_EQ(v, "42");
}

TEST_F(Properties, TrustCentersCollection) {
  WriteCenters(R"(<centers xmlns="http://www.qendix.org/centers/v1">
    <center label="B"/><center label="A"/><center label="B"/></centers>)");
  Create();
  RefPtr<IQendixCollection> c;
  ASSERT_EQ(q_->get_trustCenters(c.Put()), S_OK);
  int32_t n = 0;
  ASSERT_EQ(c->get_Count(&n), S_OK);
  EXPECT_EQ(n, 3);
  BStr item;
  EXPECT_EQ(c->get_Item(1, &item), S_OK);
  EXPECT_EQ(item, "B");
  EXPECT_EQ(c->get_Item(3, &item), S_OK);
  EXPECT_EQ(item, "B");
  EXPECT_EQ(c->get_Item(0, &item), E_INVALIDARG);
  EXPECT_EQ(c->get_Item(-1, &item), E_INVALIDARG);
  EXPECT_EQ(c->get_Item(4, &item), E_FAIL);
  EXPECT_EQ(c->get_Item(1, nullptr), E_POINTER);

  RefPtr<IUnknown> unk;
  ASSERT_EQ(c->get__NewEnum(unk.Put()), S_OK);
  auto e = unk.As<IEnumVariant>();
  ASSERT_TRUE(e);
  Variant items[4];
  uint32_t fetched = 0;
  EXPECT_EQ(e->Next(4, items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 3u);
  EXPECT_EQ(items[1].AsString(), "A");

  // A later change of the directory does not reach the existing collection.
  WriteCenters("<centers xmlns='http://www.qendix.org/centers/v1'/>");
  c->get_Count(&n);
  EXPECT_EQ(n, 3);
}

TEST_F(Properties, EmptyCollectionWithoutDirectory) {
  Create();
  RefPtr<IQendixCollection> c;
  ASSERT_EQ(q_->get_trustCenters(c.Put()), S_OK);
  int32_t n = -1;
  c->get_Count(&n);
  EXPECT_EQ(n, 0);
  BStr item;
  EXPECT_EQ(c->get_Item(1, &item), E_FAIL);
}

TEST_F(Properties, SecurityClientPropertiesWithoutTheClient) {
  setenv("QENDIX_ASAS_LIBRARY", "/nonexistent/libasas.so.1", 1);
  Create();
  BStr v;
  EXPECT_EQ(q_->get_asasVersion(&v), CLASS_E_CLASSNOTAVAILABLE);
  RefPtr<IAsasCollection> logins;
  EXPECT_EQ(q_->get_asasLogins(logins.Put()), CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
}  // namespace qx::testing
