#include "crypto/xml_nodes.h"

#include <libxml/parser.h>

#include <gtest/gtest.h>

#include <memory>

namespace qx {
namespace {

using DocPtr = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

DocPtr Parse(const std::string& text) {
  return DocPtr(
      xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_NONET),
      xmlFreeDoc);
}

constexpr char kInvoice[] =
    "<invoice:request xmlns:invoice=\"http://www.xmlData.ch/xmlInvoice/XSD\">"
    "<invoice:esr9 coding_line=\"01&gt;123+ 45&gt;\"/>"
    "<invoice:patient><invoice:familyname>M&amp;ller</invoice:familyname></invoice:patient>"
    "</invoice:request>";

TEST(SerializeXmlNode, AttributeIsNameEqualsEscapedValue) {
  DocPtr doc = Parse(kInvoice);
  ASSERT_TRUE(doc);
  xmlNode* esr = xmlDocGetRootElement(doc.get())->children;
  EXPECT_EQ(SerializeXmlNode(reinterpret_cast<xmlNode*>(esr->properties)),
            "coding_line=\"01&gt;123+ 45&gt;\"");
}

TEST(SerializeXmlNode, ElementCarriesTheNamespacesItUses) {
  DocPtr doc = Parse(kInvoice);
  ASSERT_TRUE(doc);
  xmlNode* patient = xmlDocGetRootElement(doc.get())->children->next;
  std::string xml = SerializeXmlNode(patient);
  EXPECT_NE(xml.find("<invoice:patient xmlns:invoice=\"http://www.xmlData.ch/xmlInvoice/XSD\">"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("M&amp;ller"), std::string::npos);
  // The serialisation parses on its own.
  EXPECT_TRUE(Parse(xml));
}

TEST(XmlNodeList, WalksOnceThenReportsTheEnd) {
  RefPtr<IXmlNodeList> list = MakeXmlNodeListFromTexts({"<a/>", "b"});
  ASSERT_TRUE(list);
  RefPtr<IXmlNode> node;
  BStr xml;
  ASSERT_EQ(list->nextNode(node.Put()), S_OK);
  ASSERT_EQ(node->get_xml(&xml), S_OK);
  EXPECT_EQ(xml, BStr("<a/>"));
  ASSERT_EQ(list->nextNode(node.Put()), S_OK);
  EXPECT_EQ(list->nextNode(node.Put()), S_FALSE);
  EXPECT_FALSE(node);
}

TEST(LoadXmlDocument, TextThatDoesNotParseGivesAnEmptyDocument) {
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(LoadXmlDocument("<a/><b/>", &doc), S_OK);
  ASSERT_TRUE(doc);
  EXPECT_EQ(xmlDocGetRootElement(doc->Document()), nullptr);
  BStr xml;
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml, BStr(""));

  ASSERT_EQ(LoadXmlDocument("<q:d xmlns:q=\"urn:x\" name=\"a&amp;b\">x\n</q:d>", &doc), S_OK);
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml, BStr("<q:d xmlns:q=\"urn:x\" name=\"a&amp;b\">x\n</q:d>"));
}

TEST(LoadXmlDocument, DoesNotExpandExternalEntities) {
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(
      LoadXmlDocument("<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>", &doc),
      S_OK);
  BStr xml;
  ASSERT_EQ(doc->get_xml(&xml), S_OK);
  EXPECT_EQ(xml->find("root:"), std::string::npos);
}

}  // namespace
}  // namespace qx
