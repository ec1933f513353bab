<?xml version="1.0" encoding="UTF-8"?>
<!--
  The anonymization stylesheet: turns an XML invoice into a transfer document.

  The invoice is copied with the identifying parts of the patient, the guarantor and the employer
  masked (digits become 9, ASCII letters X, every other character stays), the patient's birth
  date cut to its year and a person identifier added. The identifying parts follow once more,
  enveloped for the Trust Center by the code object (extension functions of urn:qendix.CCode),
  which reads them from the unchanged input.

  Parameters: filename (the invoice's file name), libVersion (the generator text), rcpt (the
  Trust Center's recipient list), withPDF (1: append the payment slips' PDF data elements).

  Compiled into the library; the build embeds this file byte for byte.
-->
<xsl:stylesheet version="1.0"
    xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:qendix="http://www.qendix.org/transfer/v1"
    xmlns:invoice="http://www.xmlData.ch/xmlInvoice/XSD"
    xmlns:code="urn:qendix.CCode"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    exclude-result-prefixes="code">

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

  <!-- The transfer document. -->
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
      <qendix:data type="patient">
        <xsl:value-of select="code:Encrypt(//invoice:patient)"/>
      </qendix:data>
      <xsl:variable name="patient_id" select="//invoice:*/@patient_id"/>
      <xsl:variable name="ssn" select="//invoice:*/@ssn"/>
      <xsl:variable name="case_id" select="//invoice:invoice/@case_id"/>
      <xsl:variable name="case_id2" select="//invoice:detail/invoice:*/@case_id"/>
      <xsl:if test="$patient_id or $ssn or $case_id or $case_id2">
        <xsl:variable name="ids">
          <xsl:text>/pid:</xsl:text><xsl:value-of select="$patient_id"/>
          <xsl:text>/ssn:</xsl:text><xsl:value-of select="$ssn"/>
          <xsl:text>/case_id:</xsl:text><xsl:value-of select="$case_id"/>
          <xsl:text>/case_id2:</xsl:text><xsl:value-of select="$case_id2"/>
        </xsl:variable>
        <qendix:data type="patient_ids">
          <xsl:value-of select="code:Encrypt($ids)"/>
        </qendix:data>
      </xsl:if>
      <xsl:if test="//invoice:guarantor">
        <qendix:data type="guarantor">
          <xsl:value-of select="code:Encrypt(//invoice:guarantor)"/>
        </qendix:data>
      </xsl:if>
      <xsl:if test="//invoice:employer">
        <qendix:data type="employer">
          <xsl:value-of select="code:Encrypt(//invoice:employer)"/>
        </qendix:data>
      </xsl:if>
      <xsl:if test="$withPDF = 1">
        <xsl:copy-of
            select="code:Encrypt(//invoice:esr5/@coding_line|//invoice:esr9/@coding_line)"/>
      </xsl:if>
    </qendix:datatransfer>
  </xsl:template>

  <!-- The patient: identifiers masked, the person identifier added, the birth date cut to its
       year; an input unique_id or birthdate is replaced. -->
  <xsl:template match="invoice:patient">
    <xsl:variable name="firstname" select="invoice:person/invoice:givenname"/>
    <xsl:variable name="lastname" select="invoice:person/invoice:familyname"/>
    <xsl:variable name="zip" select="invoice:person/invoice:postal/invoice:zip"/>
    <invoice:patient>
      <xsl:apply-templates select="@*"/>
      <xsl:attribute name="unique_id">
        <xsl:value-of select="code:get-Person(string($firstname), string($lastname),
                                              substring-before(@birthdate, 'T'), string($zip))"/>
      </xsl:attribute>
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
       and ends in 0, every text is masked, attributes are copied (but for the card number and the
       identifiers). -->
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

  <!-- The identifiers masked wherever they stand are masked inside these parts too. -->
  <xsl:template match="@patient_id|@ssn|@case_id" mode="anon">
    <xsl:attribute name="{local-name()}">
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
