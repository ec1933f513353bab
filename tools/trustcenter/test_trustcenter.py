#!/usr/bin/env python3
"""Self-test of the reference Trust Center: starts it on a port the system picks and talks to it
the way the component does (CR LF request bodies, basic auth on session.new only)."""

import base64
import http.client
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import xmlrpc.client

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "trustcenter.py")
NS = "http://www.qendix.org/transfer/v1"
AUTH = "Basic " + base64.b64encode(b"qendix:kavint").decode()


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True).stdout


def method_call(name, *values):
    """A request body as the component builds it; a value starting with '<' goes in CDATA."""
    lines = ['<?xml version="1.0"?>', "<methodCall>", "  <methodName>%s</methodName>" % name,
             "  <params>"]
    for value in values:
        if value.startswith("<"):
            value = "<![CDATA[" + value.replace("]]>", "]]]]><![CDATA[>") + "]]>"
        lines.append("    <param><value>%s</value></param>" % value)
    lines += ["  </params>", "</methodCall>"]
    return "\r\n".join(lines).encode("utf-8")


def transfer_document(parts, rcpt="tc-test", ns=NS, name="rechnung-1.xml"):
    body = "".join('  <qendix:data type="%s"%s>%s</qendix:data>\n' % (kind, extra, text)
                   for kind, extra, text in parts)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<qendix:datatransfer xmlns:qendix="%s" rcpt="%s">\n'
            '  <qendix:data name="%s" type="anonymized">Rechnung 1, Patient 4711</qendix:data>\n'
            '%s</qendix:datatransfer>\n' % (ns, rcpt, name, body))


class TrustCenterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tc-selftest-")
        for who in ("tc-test", "other"):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=" + who, "-keyout", cls.path(who + ".key"), "-out",
                    cls.path(who + ".crt"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.dir, name)

    def seal(self, plain, who="tc-test"):
        der = openssl("cms", "-encrypt", "-binary", "-outform", "DER", "-aes256",
                      self.path(who + ".crt"), data=plain)
        text = base64.b64encode(der).decode()
        return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76)) + "\r\n"

    def start(self, *flags):
        store = tempfile.mkdtemp(dir=self.dir)
        proc = subprocess.Popen(
            [sys.executable, SERVER, "--port", "0", "--store", store, "--key",
             self.path("tc-test.key"), "--cert", self.path("tc-test.crt"), *flags],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        first = proc.stdout.readline()
        self.assertTrue(first.startswith("listening on 127.0.0.1:"), first)
        self.port = int(first.rsplit(":", 1)[1])
        self.store = store
        return store

    def post(self, path, body, auth=False):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        self.addCleanup(conn.close)
        headers = {"Content-Type": "text/xml"}
        if auth:
            headers["Authorization"] = auth if isinstance(auth, str) else AUTH
        conn.request("POST", path, body, headers)
        reply = conn.getresponse()
        return reply.status, reply.reason, reply.read(), reply.headers

    def get(self, url):
        self.assertTrue(url.startswith("http://127.0.0.1:%d/" % self.port), url)
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        self.addCleanup(conn.close)
        conn.request("GET", url[len("http://127.0.0.1:%d" % self.port):])
        reply = conn.getresponse()
        return reply.status, reply.read()

    def rpc(self, path, body, auth=False):
        status, reason, data, _ = self.post(path, body, auth)
        self.assertEqual(status, 200, reason)
        return xmlrpc.client.loads(data)[0][0]

    def open_session(self):
        reply = self.rpc("/RPC2", method_call("qendix.session.new", "qendix", "kavint",
                                              "InputGate"), auth=True)
        return reply["session"], reply["gate"]

    def write(self, document, session=None):
        if session is None:
            session, _ = self.open_session()
        return self.rpc("/gate/" + session,
                        method_call("qendix.inputgate.write", session, document))

    def test_session_write_close_round_trip(self):
        store = self.start()
        session, gate = self.open_session()
        self.assertEqual(gate, "http://127.0.0.1:%d/gate/%s" % (self.port, session))
        patient = "From: drmuster\r\nTo: tc-test\r\n\r\nAnna Robert, 8001 Zürich\r\n"
        pdf = b"%PDF-1.4\n% payment slip\n"
        pdf_message = base64.encodebytes(pdf)  # the sealed part holds the slip's base64 lines
        document = transfer_document(
            [("patient", "", self.seal(patient.encode("cp1252"))),
             ("pdf", ' name="slip.pdf"', self.seal(pdf_message))],
            name="a]]>b.xml")

        events = self.write(document, session)
        self.assertEqual([e[:3] for e in events], [[1, 2, 5], [1, 2, 6]])
        self.assertEqual(events[0][4], "a]]>b.xml")

        accepted = os.path.join(store, "accepted")
        stem = "000001-a___b.xml"
        # The XML parser reading the request turns every CR LF into LF.
        with open(os.path.join(accepted, stem + ".xml"), encoding="utf-8", newline="") as f:
            self.assertEqual(f.read(), document.replace("\r\n", "\n"))
        parts = os.path.join(accepted, stem + ".parts")
        with open(os.path.join(parts, "1-patient.txt"), "rb") as f:
            self.assertEqual(f.read().decode("cp1252"), patient)
        with open(os.path.join(parts, "2-pdf-slip.pdf"), "rb") as f:
            self.assertEqual(f.read(), pdf)
        self.assertEqual(os.stat(os.path.join(parts, "2-pdf-slip.pdf")).st_mode & 0o077, 0)

        self.assertTrue(self.rpc("/RPC2", method_call("qendix.session.close", session)))
        for path, body in [
                ("/gate/" + session, method_call("qendix.inputgate.write", session, document)),
                ("/RPC2", method_call("qendix.session.close", session))]:
            with self.assertRaises(xmlrpc.client.Fault) as caught:
                self.rpc(path, body)
            self.assertEqual(caught.exception.faultCode, 103)

    def test_session_new_needs_basic_auth_and_the_login(self):
        self.start()
        good = method_call("qendix.session.new", "qendix", "kavint", "InputGate")
        wrong = "Basic " + base64.b64encode(b"qendix:kavinx").decode()
        for auth in (False, wrong):
            status, _, _, headers = self.post("/RPC2", good, auth)
            self.assertEqual(status, 401)
            self.assertIn("Basic", headers["WWW-Authenticate"])
        with self.assertRaises(xmlrpc.client.Fault):
            self.rpc("/RPC2", method_call("qendix.session.new", "qendix", "other", "InputGate"),
                     auth=True)

    def test_refusals(self):
        store = self.start()
        sealed = self.seal(b"From: a\r\nTo: tc-test\r\n\r\nAnna\r\n")
        cases = [
            ("not well-formed", "<qendix:datatransfer", 2001),
            ("escaped doctype", '<!DOCTYPE x [<!ENTITY a "b">]><x/>', 2001),
            ("declares Latin-1", transfer_document([]).replace('"UTF-8"', '"iso-8859-1"'), 2007),
            ("other namespace", transfer_document([], ns="http://example.org/v1"), 2002),
            ("other recipient", transfer_document([], rcpt="tc-other"), 2003),
            ("recipient case", transfer_document([], rcpt="TC-TEST"), 2003),
            ("sealed for another key", transfer_document(
                [("patient", "", self.seal(b"Anna", "other"))]), 2004),
            ("sealed part not base64", transfer_document([("patient", "", "Anna Robert")]), 2004),
            ("unknown part", transfer_document([("secret", "", sealed)]), 2005),
        ]
        session, _ = self.open_session()
        for label, document, code in cases:
            with self.subTest(label):
                if label == "escaped doctype":
                    body = method_call("qendix.inputgate.write", session,
                                       document.replace("<", "&lt;"))
                    events = self.rpc("/gate/" + session, body)
                else:
                    events = self.write(document, session)
                self.assertEqual(events[-1][:4], [4, 2, 6, code])
        self.assertEqual(os.listdir(os.path.join(store, "accepted")), [])
        self.assertEqual(len([n for n in os.listdir(os.path.join(store, "refused"))
                              if n.endswith(".xml")]), len(cases))
        # Several recipients, ours among them: accepted.
        events = self.write(transfer_document([("patient", "", sealed)], rcpt="x, tc-test"),
                            session)
        self.assertEqual(events[-1][:4], [1, 2, 6, 1002])

    def test_failure_flags(self):
        new = method_call("qendix.session.new", "qendix", "kavint", "InputGate")
        for flag in ("http500", "fault", "drop"):
            with self.subTest(flag):
                self.start("--fail", flag)
                if flag == "drop":
                    with self.assertRaises(http.client.RemoteDisconnected):
                        self.post("/RPC2", new, auth=True)
                    continue
                status, reason, data, _ = self.post("/RPC2", new, auth=True)
                if flag == "http500":
                    self.assertEqual((status, reason), (500, "Internal Server Error"))
                else:
                    with self.assertRaises(xmlrpc.client.Fault) as caught:
                        xmlrpc.client.loads(data)
                    self.assertEqual(caught.exception.faultCode, 900)

        with self.subTest("refuse"):
            self.start("--fail", "refuse")
            events = self.write(transfer_document([]))
            self.assertEqual(events[-1][:4], [4, 2, 6, 2006])

        with self.subTest("only the write fails"):
            self.start("--fail", "http500", "--fail-only", "qendix.inputgate.write")
            session, _ = self.open_session()
            status, reason, _, _ = self.post(
                "/gate/" + session, method_call("qendix.inputgate.write", session, "<x/>"))
            self.assertEqual((status, reason), (500, "Internal Server Error"))

    def test_hostile_requests(self):
        self.start("--max-request-bytes", "2000")
        status, _, _, _ = self.post("/RPC2", b'<?xml version="1.0"?><!DOCTYPE x><methodCall/>')
        self.assertEqual(status, 400)
        status, _, _, _ = self.post("/RPC2", b"x" * 2001)
        self.assertEqual(status, 413)
        with self.assertRaises(xmlrpc.client.Fault):
            self.rpc("/RPC2", b"<methodCall><methodName>qendix.inputgate.write</methodName>"
                     b"</methodCall>")

    def test_new_version_centers_download_page_and_setup(self):
        self.start("--newest-build", "99")
        build, url, notes = self.rpc("/RPC2", method_call(
            "qendix.querynewversion", "win32", "i386", "200506240")).values()
        self.assertEqual(build, "99")
        self.assertTrue(notes)
        status, script = self.get(url)
        self.assertEqual(status, 200)
        self.assertTrue(script.startswith(b"#!/bin/sh\n"))
        with self.assertRaises(http.client.IncompleteRead):
            self.get(url.replace("/setup/", "/setup-truncated/"))

        base = "http://127.0.0.1:%d" % self.port
        for path in ("/qendix.xml", "/centers/qendix.xml"):
            status, data = self.get(base + path)
            self.assertEqual(status, 200)
            root = ET.fromstring(data)
            ns = "{http://www.qendix.org/centers/v1}"
            self.assertEqual(root.find(ns + "update").get("url"), base + "/centers")
            center = root.find(ns + "center")
            self.assertEqual((center.get("label"), center.get("url"), center.get("rcpt")),
                             ("TC test", base + "/RPC2", "tc-test"))
        status, page = self.get(base + "/down")
        self.assertEqual(status, 200)
        self.assertIn(b"<html>", page)


if __name__ == "__main__":
    unittest.main()
