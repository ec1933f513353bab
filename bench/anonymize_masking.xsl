<?xml version="1.0" encoding="UTF-8"?>
<!--
  The anonymization stylesheet without its extension calls, for bench_transform: the same
  templates, parameters and masking, but no person identifier and no sealed parts (those need
  the code object). xsltproc runs it as a process per invoice, and the component's transform
  runs it in process, so that the two are compared on the same work.
  Kept by hand in step with src/anonymization/stylesheets/anonymize.xsl.
-->
<xsl:stylesheet version="1.0"
    xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:qendix="http://www.qendix.org/transfer/v1"
    xmlns:invoice="http://www.xmlData.ch/xmlInvoice/XSD"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">

  <xsl:output method="xml" encoding="utf-8"/>

  <xsl:param name="filename" select="'unnamed.xml'"/>
  <xsl:param name="libVersion" select="''"/>
  <xsl:param name="rcpt" select="''"/>
  <xsl:param name="withPDF" select="0"/>

  <!-- Masking: translate() with these two texts of equal length. -->
  <xsl:variable name="maskFrom"
      select="'0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'"/>
  <xsl:variable name="maskTo"
      select="'9999999999XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX'"/>

  <!-- The transfer document: the anonymized part only. -->
  <xsl:template match="/">
    <qendix:datatransfer>
      <xsl:if test="$rcpt != ''">
        <xsl:attribute name="rcpt"><xsl:value-of select="$rcpt"/></xsl:attribute>
      </xsl:if>
      <xsl:if test="$libVersion != ''">
        <qendix:generator><xsl:value-of select="$libVersion"/></qendix:generator>
      </xsl:if>
      <qendix:data name="{$filename}" type="anonymized">
        <xsl:apply-templates select="node()"/>
      </qendix:data>
    </qendix:datatransfer>
  </xsl:template>

  <!-- The patient: identifiers masked, the birth date cut to its year. -->
  <xsl:template match="invoice:patient">
    <invoice:patient>
      <xsl:apply-templates select="@*"/>
      <xsl:if test="@birthdate">
        <xsl:attribute name="birthdate">
          <xsl:value-of select="concat(substring-before(@birthdate, '-'), '-01-01T00:00:00')"/>
        </xsl:attribute>
      </xsl:if>
      <xsl:apply-templates select="node()" mode="anon"/>
    </invoice:patient>
  </xsl:template>

  <!-- Guarantor and employer: no attributes, everything inside masked. -->
  <xsl:template match="invoice:guarantor">
    <invoice:guarantor>
      <xsl:apply-templates select="node()" mode="anon"/>
    </invoice:guarantor>
  </xsl:template>

  <xsl:template match="invoice:employer">
    <invoice:employer>
      <xsl:apply-templates select="node()" mode="anon"/>
    </invoice:employer>
  </xsl:template>

  <!-- Identifiers are masked wherever they stand. -->
  <xsl:template match="@patient_id">
    <xsl:attribute name="patient_id">
      <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
    </xsl:attribute>
  </xsl:template>

  <xsl:template match="@ssn">
    <xsl:attribute name="ssn">
      <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
    </xsl:attribute>
  </xsl:template>

  <xsl:template match="@case_id">
    <xsl:attribute name="case_id">
      <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
    </xsl:attribute>
  </xsl:template>

  <!-- Everything else is copied. -->
  <xsl:template match="@*|node()">
    <xsl:copy>
      <xsl:apply-templates select="@*|node()"/>
    </xsl:copy>
  </xsl:template>

  <!-- Inside patient, guarantor and employer: the postal code keeps its first three characters
       and ends in 0, every text is masked, attributes are copied (but for the card number). -->
  <xsl:template match="invoice:zip" mode="anon">
    <invoice:zip>
      <xsl:apply-templates select="@*" mode="anon"/>
      <xsl:value-of select="concat(substring(., 1, 3), '0')"/>
    </invoice:zip>
  </xsl:template>

  <!-- The insurance card number identifies the patient as well as the ssn does. -->
  <xsl:template match="@card_id" mode="anon">
    <xsl:attribute name="card_id">
      <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
    </xsl:attribute>
  </xsl:template>

  <xsl:template match="text()" mode="anon" priority="1">
    <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
  </xsl:template>

  <!-- A comment or processing instruction written into these parts is masked like their text,
       so that nothing identifying travels in clear through it. -->
  <xsl:template match="comment()" mode="anon" priority="1">
    <xsl:comment><xsl:value-of select="translate(., $maskFrom, $maskTo)"/></xsl:comment>
  </xsl:template>

  <xsl:template match="processing-instruction()" mode="anon" priority="1">
    <xsl:processing-instruction name="{name()}">
      <xsl:value-of select="translate(., $maskFrom, $maskTo)"/>
    </xsl:processing-instruction>
  </xsl:template>

  <xsl:template match="@*|node()" mode="anon">
    <xsl:copy>
      <xsl:apply-templates select="@*|node()" mode="anon"/>
    </xsl:copy>
  </xsl:template>

</xsl:stylesheet>
