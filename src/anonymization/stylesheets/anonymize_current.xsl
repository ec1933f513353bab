<?xml version="1.0" encoding="UTF-8"?>
<!--
  The anonymization stylesheet for XML invoices of versions 4.4, 4.5 and 5.0 (namespace
  http://www.forum-datenaustausch.ch/invoice): turns such an invoice into a transfer document of
  the same layout as the one for version 4.0.

  The anonymized copy:
  - patient: every text masked (digits become 9, ASCII letters X, every other character stays),
    the postal code cut to its first three characters and "0", the birth date cut to its year in
    its own type (date-time "YYYY-01-01T00:00:00", date "YYYY-01-01"), identifying attributes
    masked, and a person identifier added (unique_id, from given name, family name, birth date
    "YYYY-MM-DD" and postal code);
  - insured, guarantor, debitor holding a person, employer and partners: their own attributes
    left out, everything inside masked as in the patient;
  - the identifiers ssn, insured_id, card_id, case_id, apid, acid, nif, contract_number and
    validation_id (attributes or elements), the texts of remark and reminder/@reminder_text:
    masked wherever they stand;
  - attached documents (documents/document) are left out of the copy: their content (a report,
    a PDF) names the patient. Each is sealed whole as a part of its own (type "document");
  - a ds:Signature is left out: its digests of the clear data would let a reader confirm a guess;
  - everything else (processing block with its tc_token and demand ids, diagnoses, services,
    tariffs, amounts, provider, biller, insurance) is copied as it stands.
  Sealed for the Trust Center by the code object (extension functions of urn:qendix.CCode), each
  read from the unchanged input and each as its own part: every patient, insured, guarantor,
  debitor holding a person, employer and partners element whole; the identifier list
  (patient_ids); each attached document; with withPDF the PDFs named by the esr5/esr9 coding
  lines, the PDFs of QR bills (esrQR, esrQRRed) named by their reference number without blanks
  and those of esrRed slips named by their first coding line.

  Parameters as in the 4.0 stylesheet: filename, libVersion, rcpt, withPDF.

  Compiled into the library; the build embeds this file byte for byte.
-->
<xsl:stylesheet version="1.0"
    xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:qendix="http://www.qendix.org/transfer/v1"
    xmlns:invoice="http://www.forum-datenaustausch.ch/invoice"
    xmlns:ds="http://www.w3.org/2000/09/xmldsig#"
    xmlns:code="urn:qendix.CCode"
    xmlns:libxslt="http://xmlsoft.org/XSLT/namespace"
    exclude-result-prefixes="code ds libxslt">

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
      <xsl:for-each select="//invoice:patient">
        <qendix:data type="patient">
          <xsl:value-of select="code:Encrypt(.)"/>
        </qendix:data>
      </xsl:for-each>
      <xsl:variable name="patient_id" select="//invoice:treatment/@apid"/>
      <xsl:variable name="ssn" select="//invoice:*/@ssn"/>
      <xsl:variable name="case_id"
          select="(//invoice:kvg|//invoice:vvg|//invoice:uvg|//invoice:ivg|//invoice:mvg
                   |//invoice:org|//invoice:law)/@case_id"/>
      <xsl:variable name="case_id2" select="//invoice:treatment/@acid"/>
      <xsl:variable name="insured_id" select="//invoice:*/@insured_id"/>
      <xsl:variable name="card_id" select="//invoice:*/@card_id"/>
      <xsl:if test="$patient_id or $ssn or $case_id or $case_id2 or $insured_id or $card_id">
        <xsl:variable name="ids">
          <xsl:text>/pid:</xsl:text><xsl:value-of select="$patient_id"/>
          <xsl:text>/ssn:</xsl:text><xsl:value-of select="$ssn"/>
          <xsl:text>/case_id:</xsl:text><xsl:value-of select="$case_id"/>
          <xsl:text>/case_id2:</xsl:text><xsl:value-of select="$case_id2"/>
          <xsl:text>/insured_id:</xsl:text><xsl:value-of select="$insured_id"/>
          <xsl:text>/card_id:</xsl:text><xsl:value-of select="$card_id"/>
        </xsl:variable>
        <qendix:data type="patient_ids">
          <xsl:value-of select="code:Encrypt($ids)"/>
        </qendix:data>
      </xsl:if>
      <xsl:for-each select="//invoice:insured|//invoice:guarantor|//invoice:debitor[invoice:person]
                            |//invoice:employer|//invoice:partners">
        <qendix:data type="{local-name()}">
          <xsl:value-of select="code:Encrypt(.)"/>
        </qendix:data>
      </xsl:for-each>
      <xsl:for-each select="//invoice:documents/invoice:document">
        <qendix:data type="document">
          <xsl:value-of select="code:Encrypt(.)"/>
        </qendix:data>
      </xsl:for-each>
      <xsl:if test="$withPDF = 1">
        <xsl:for-each select="//invoice:esr5/@coding_line|//invoice:esr9/@coding_line">
          <xsl:copy-of select="code:Encrypt(.)"/>
        </xsl:for-each>
        <!-- The PDF of a QR bill is named by its reference number without blanks, that of an
             esrRed slip by its first coding line: each is passed as a coding_line attribute. -->
        <xsl:for-each select="//invoice:esrQR/@reference_number|//invoice:esrQRRed/@reference_number
                              |//invoice:esrRed/@coding_line1">
          <xsl:variable name="line">
            <invoice:line coding_line="{translate(., ' ', '')}"/>
          </xsl:variable>
          <xsl:copy-of
              select="code:Encrypt(libxslt:node-set($line)/invoice:line/@coding_line)"/>
        </xsl:for-each>
      </xsl:if>
    </qendix:datatransfer>
  </xsl:template>

  <!-- The patient: attributes masked (the birth date cut to its year), the person identifier
       added, an input unique_id replaced. -->
  <xsl:template match="invoice:patient">
    <xsl:variable name="person" select="invoice:person"/>
    <invoice:patient>
      <xsl:apply-templates select="@*" mode="anon"/>
      <xsl:attribute name="unique_id">
        <xsl:value-of select="code:get-Person(string($person/invoice:givenname),
                                              string($person/invoice:familyname),
                                              substring(@birthdate, 1, 10),
                                              string($person/invoice:postal/invoice:zip))"/>
      </xsl:attribute>
      <xsl:apply-templates select="node()" mode="anon"/>
    </invoice:patient>
  </xsl:template>

  <!-- The other persons of the invoice: their own attributes left out, everything inside
       masked. -->
  <xsl:template match="invoice:insured|invoice:guarantor|invoice:debitor[invoice:person]
                       |invoice:employer|invoice:partners">
    <xsl:copy>
      <xsl:apply-templates select="node()" mode="anon"/>
    </xsl:copy>
  </xsl:template>

  <!-- Attached documents and signatures are left out of the copy. -->
  <xsl:template match="invoice:documents/invoice:document"/>
  <xsl:template match="ds:Signature"/>

  <!-- Identifiers and free texts are masked wherever they stand. -->
  <xsl:template match="@ssn|@insured_id|@card_id|@case_id|@apid|@acid|@nif|@contract_number
                       |@validation_id|invoice:reminder/@reminder_text">
    <xsl:apply-templates select="." mode="anon"/>
  </xsl:template>

  <xsl:template match="invoice:ssn|invoice:insured_id|invoice:card_id|invoice:case_id
                       |invoice:apid|invoice:acid|invoice:nif|invoice:contract_number
                       |invoice:validation_id|invoice:remark">
    <xsl:apply-templates select="." mode="anon"/>
  </xsl:template>

  <!-- Everything else is copied. -->
  <xsl:template match="@*|node()">
    <xsl:copy>
      <xsl:apply-templates select="@*|node()"/>
    </xsl:copy>
  </xsl:template>

  <!-- Masked copies: the postal code keeps its first three characters and ends in 0, the birth
       date keeps its year, identifying attributes and every text are masked, other attributes
       are copied. -->
  <xsl:template match="invoice:zip" mode="anon">
    <invoice:zip>
      <xsl:apply-templates select="@*" mode="anon"/>
      <xsl:value-of select="concat(substring(., 1, 3), '0')"/>
    </invoice:zip>
  </xsl:template>

  <xsl:template match="@birthdate" mode="anon">
    <xsl:attribute name="birthdate">
      <xsl:choose>
        <xsl:when test="contains(., 'T')">
          <xsl:value-of select="concat(substring-before(., '-'), '-01-01T00:00:00')"/>
        </xsl:when>
        <xsl:otherwise>
          <xsl:value-of select="concat(substring-before(., '-'), '-01-01')"/>
        </xsl:otherwise>
      </xsl:choose>
    </xsl:attribute>
  </xsl:template>

  <xsl:template match="@ssn|@insured_id|@card_id|@case_id|@apid|@acid|@nif|@contract_number
                       |@validation_id|@reminder_text" mode="anon">
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
