#!/usr/bin/env python3
"""Reference Trust Center for qendix: one process on 127.0.0.1 that the demo and the tests send to.

It serves
  POST /RPC2            XML-RPC: qendix.session.new (HTTP basic auth), qendix.session.close,
                        qendix.querynewversion
  POST /gate/<session>  XML-RPC: qendix.inputgate.write, which checks each transfer document
                        (well-formed, transfer namespace, recipient, every sealed part opens with
                        the Trust Center's key) and answers with the gate's event list
  GET  /qendix.xml, /centers/qendix.xml   the centers document, pointing at this server
  GET  /down            the download page
  GET  /setup/<file>    a small setup script for the software update

Everything it receives is kept in the store folder (see README.md). Failure flags make it fail on
purpose. Python standard library and the openssl command only.
"""

import argparse
import base64
import binascii
import http.server
import os
import re
import secrets
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

TRANSFER_NS = "http://www.qendix.org/transfer/v1"
CENTERS_NS = "http://www.qendix.org/centers/v1"
LOGIN = "qendix"
PASSWORD = "kavint"
# Sealed parts of the XML invoice standard's 4.0 documents, of its newer versions (insured,
# debitor, partners, attached documents) and of GNI documents.
SEALED_TYPES = ("patient", "patient_ids", "guarantor", "employer", "insured", "debitor",
                "partners", "document", "pdf")
MAX_SESSIONS = 10000

# Event values of the gate's reply.
LEVEL_INFO, LEVEL_FATAL = 1, 4
CLASS_MODULE = 2
ORIGIN_RECEIVER, ORIGIN_CHECKER = 5, 6
CODE_RECEIVED, CODE_ACCEPTED = 1001, 1002
CODE_NOT_WELL_FORMED = 2001
CODE_NOT_TRANSFER = 2002
CODE_OTHER_RECIPIENT = 2003
CODE_SEALED_PART = 2004
CODE_BAD_PARTS = 2005
CODE_REFUSED_ON_PURPOSE = 2006
CODE_NOT_UTF8 = 2007

# Fault codes.
FAULT_REQUEST = 100  # not an XML-RPC call
FAULT_METHOD = 101  # unknown method, or a method called at the wrong URL
FAULT_PARAMS = 102  # wrong number or kind of parameters
FAULT_SESSION = 103  # unknown or closed session
FAULT_STORE = 104  # the document could not be kept, so it is not accepted
FAULT_ON_PURPOSE = 900  # --fail fault

# The --fail modes that answer in a broken way instead of carrying the call out, and the size of
# the reply of --fail huge (the client must stop reading long before its end).
REPLY_FAILURES = ("truncated", "malformed", "entities", "html", "huge", "redirect")
HUGE_REPLY_BYTES = 64 << 20
# An event list as the gate answers for an accepted document, for the broken answers.
CANNED_EVENTS = [(1, 2, 5, 1001, "document.xml", "Dokument empfangen"),
                 (1, 2, 6, 1002, "document.xml", "Dokument angenommen")]

SETUP_SCRIPT = """#!/bin/sh
# qendix setup (reference Trust Center). It only leaves a mark beside itself that it ran.
printf 'qendix setup ran: %s\\n' "$0" >> "$(dirname "$0")/qendix-setup.ran"
"""


class Refusal(Exception):
    """A document the gate refuses: code and message of the error event."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


class Unauthorized(Exception):
    """qendix.session.new without the right HTTP basic authentication."""


class Fault(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


# ---------------------------------------------------------------------------------------------
# XML-RPC texts


def response(value_xml):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<methodResponse><params><param>'
            + value_xml + "</param></params></methodResponse>\n")


def string_value(text):
    return "<value><string>" + escape(text) + "</string></value>"


def int_value(number):
    return "<value><i4>%d</i4></value>" % number


def struct_of_strings(members):
    return ("<value><struct>" + "".join(
        "<member><name>" + escape(name) + "</name>" + string_value(text) + "</member>"
        for name, text in members) + "</struct></value>")


def event_list(events):
    """The gate's reply: an array of arrays (level, class, origin, code, file, message)."""
    rows = "".join(
        "<value><array><data>" + int_value(level) + int_value(cls) + int_value(origin)
        + int_value(code) + string_value(name) + string_value(message) + "</data></array></value>"
        for level, cls, origin, code, name, message in events)
    return "<value><array><data>" + rows + "</data></array></value>"


def fault_response(code, message):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<methodResponse><fault><value><struct>'
            "<member><name>faultCode</name>" + int_value(code) + "</member>"
            "<member><name>faultString</name>" + string_value(message) + "</member>"
            "</struct></value></fault></methodResponse>\n")


def parse_call(body):
    """Returns (method name, list of parameter texts) of an XML-RPC call; raises Fault."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise Fault(FAULT_REQUEST, "request is not UTF-8")
    if "<!DOCTYPE" in text or "<!ENTITY" in text:
        raise Fault(FAULT_REQUEST, "document type declarations are not accepted")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        raise Fault(FAULT_REQUEST, "request is not well-formed: %s" % error)
    if root.tag != "methodCall":
        raise Fault(FAULT_REQUEST, "not a methodCall")
    name = root.findtext("methodName")
    if not name:
        raise Fault(FAULT_REQUEST, "no methodName")
    params = []
    for value in root.findall("params/param/value"):
        children = list(value)
        if not children:
            params.append(value.text or "")
        elif len(children) == 1 and children[0].tag in ("string", "i4", "int", "boolean"):
            params.append(children[0].text or "")
        else:
            raise Fault(FAULT_PARAMS, "only scalar parameters are accepted")
    return name.strip(), params


# ---------------------------------------------------------------------------------------------
# The Trust Center's state


class TrustCenter:
    def __init__(self, options):
        self.options = options
        self.port = 0
        self.lock = threading.Lock()
        self.sessions = set()
        self.failures_seen = 0
        self.stopping = threading.Event()
        self.store = options.store
        for folder in ("accepted", "refused"):
            os.makedirs(os.path.join(self.store, folder), mode=0o700, exist_ok=True)
        self.sequence = self._last_sequence()

    def _last_sequence(self):
        last = 0
        for folder in ("accepted", "refused"):
            for entry in os.listdir(os.path.join(self.store, folder)):
                match = re.match(r"(\d{6})-", entry)
                if match:
                    last = max(last, int(match.group(1)))
        return last

    def base_url(self):
        return "%s://127.0.0.1:%d" % ("https" if self.options.tls else "http", self.port)

    def setup_url(self):
        url = self.options.setup_url or "/setup/qendix-setup.sh"
        return self.base_url() + url if url.startswith("/") else url

    def centers_document(self):
        if self.options.centers:
            with open(self.options.centers, "rb") as f:
                return f.read()
        base = self.base_url()
        return ('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<centers xmlns="%s" version="1">\n'
                '  <update url=%s/>\n'
                '  <center label=%s url=%s ean="7601000000017" esr="1"\n'
                '          esrPDF="1" rcpt=%s tel="+41 44 000 00 00"/>\n'
                '</centers>\n' % (CENTERS_NS, quoteattr(base + "/centers"),
                                  quoteattr(self.options.label), quoteattr(base + "/RPC2"),
                                  quoteattr(self.options.rcpt))).encode("utf-8")

    def failure_applies(self, method):
        """Whether --fail and --slow apply to this call (--fail-only, --fail-after). Called once
        per call; --fail refuse concerns only qendix.inputgate.write."""
        options = self.options
        if not options.fail and options.slow <= 0:
            return False
        if options.fail_only and method not in options.fail_only:
            return False
        if options.fail == "refuse" and options.slow <= 0 and method != "qendix.inputgate.write":
            return False
        with self.lock:
            self.failures_seen += 1
            return self.failures_seen > self.options.fail_after

    def log_request(self, line):
        with self.lock:
            with open(os.path.join(self.store, "requests.log"), "a", encoding="utf-8") as f:
                f.write(line + "\n")

    # XML-RPC methods -------------------------------------------------------------------------

    def session_new(self, params, authorized):
        if not authorized:
            raise Unauthorized()
        if len(params) != 3:
            raise Fault(FAULT_PARAMS, "qendix.session.new takes login, password and gate name")
        if params[0] != LOGIN or params[1] != PASSWORD:
            raise Fault(FAULT_PARAMS, "login or password wrong")
        if params[2] != "InputGate":
            raise Fault(FAULT_PARAMS, "unknown gate: " + params[2])
        session = secrets.token_hex(16)
        with self.lock:
            if len(self.sessions) >= MAX_SESSIONS:
                raise Fault(FAULT_SESSION, "too many open sessions")
            self.sessions.add(session)
        return response(struct_of_strings(
            [("session", session), ("gate", self.base_url() + "/gate/" + session)]))

    def session_close(self, params):
        if len(params) != 1:
            raise Fault(FAULT_PARAMS, "qendix.session.close takes the session id")
        with self.lock:
            if params[0] not in self.sessions:
                raise Fault(FAULT_SESSION, "unknown session")
            self.sessions.discard(params[0])
        return response("<value><boolean>1</boolean></value>")

    def query_new_version(self, params):
        if len(params) != 3:
            raise Fault(FAULT_PARAMS, "qendix.querynewversion takes system, processor and build")
        return response(struct_of_strings([
            ("build", self.options.newest_build), ("url", self.setup_url()),
            ("notes", "qendix setup, build " + self.options.newest_build)]))

    def inputgate_write(self, gate_session, params, refuse):
        if len(params) != 2:
            raise Fault(FAULT_PARAMS, "qendix.inputgate.write takes the session id and document")
        session, document = params
        with self.lock:
            known = session in self.sessions
        if not known or session != gate_session:
            raise Fault(FAULT_SESSION, "unknown session")
        try:
            events = self.receive(session, document, refuse)
        except OSError as error:
            raise Fault(FAULT_STORE, "document not kept: %s" % error.strerror)
        return response(event_list(events))

    # The gate ---------------------------------------------------------------------------------

    def receive(self, session, document, refuse):
        """Checks one document, keeps it in the store and returns the gate's events."""
        name = ""
        parts = []
        try:
            root = self._parse_document(document)
            name = self._check_document(root)
            if refuse:
                raise Refusal(CODE_REFUSED_ON_PURPOSE, "Dokument abgelehnt: Annahme geschlossen")
            if not self.options.accept_without_opening:
                parts = self._open_parts(root)
            verdict, reason = "accepted", ""
        except Refusal as refusal:
            verdict, reason = "refused", refusal
        seq = self._keep(session, name, document, parts, verdict, reason)
        events = [(LEVEL_INFO, CLASS_MODULE, ORIGIN_RECEIVER, CODE_RECEIVED, name,
                   "Dokument %06d empfangen" % seq)]
        if verdict == "accepted":
            opened = ("ohne Öffnen" if self.options.accept_without_opening
                      else "%d verschlüsselte Teile geöffnet" % len(parts))
            events.append((LEVEL_INFO, CLASS_MODULE, ORIGIN_CHECKER, CODE_ACCEPTED, name,
                           "Dokument angenommen (%s)" % opened))
        else:
            events.append((LEVEL_FATAL, CLASS_MODULE, ORIGIN_CHECKER, reason.code, name,
                           reason.message))
        return events

    @staticmethod
    def _parse_document(document):
        if "<!DOCTYPE" in document or "<!ENTITY" in document:
            raise Refusal(CODE_NOT_WELL_FORMED,
                          "Dokument abgelehnt: Dokumenttyp-Deklarationen sind nicht erlaubt")
        try:
            root = ET.fromstring(document)
        except ET.ParseError:
            raise Refusal(CODE_NOT_WELL_FORMED, "Dokument abgelehnt: kein wohlgeformtes XML")
        # The document travels as text inside the UTF-8 request, so it may declare only UTF-8.
        declared = re.match(r"<\?xml[^>]*?encoding\s*=\s*[\"']([^\"']*)[\"']",
                            document.lstrip("\ufeff"))
        if declared and declared.group(1).lower() not in ("utf-8", "utf8"):
            raise Refusal(CODE_NOT_UTF8,
                          "Dokument abgelehnt: deklariert den Zeichensatz " + declared.group(1))
        return root

    def _check_document(self, root):
        """Checks root, recipient and part types; returns the invoice's name."""
        if root.tag != "{%s}datatransfer" % TRANSFER_NS:
            raise Refusal(CODE_NOT_TRANSFER, "Dokument abgelehnt: kein Übermittlungsdokument")
        recipients = [r.strip() for r in (root.get("rcpt") or "").split(",")]
        if self.options.rcpt not in recipients:
            raise Refusal(CODE_OTHER_RECIPIENT,
                          "Dokument abgelehnt: für einen anderen Empfänger bestimmt")
        data = root.findall(".//{%s}data" % TRANSFER_NS)
        anonymized = [d for d in data if d.get("type") == "anonymized"]
        if len(anonymized) != 1:
            raise Refusal(CODE_BAD_PARTS, "Dokument abgelehnt: kein anonymisierter Teil")
        for part in data:
            if part.get("type") not in ("anonymized",) + SEALED_TYPES:
                raise Refusal(CODE_BAD_PARTS, "Dokument abgelehnt: unbekannter Teil")
        return anonymized[0].get("name") or ""

    def _open_parts(self, root):
        """Opens every sealed part; returns [(index, type, name, plain bytes)]."""
        opened = []
        data = root.findall(".//{%s}data" % TRANSFER_NS)
        for index, part in enumerate(data):
            kind = part.get("type")
            if kind not in SEALED_TYPES:
                continue
            plain = self._open_envelope("".join(part.itertext()))
            if plain is None:
                raise Refusal(CODE_SEALED_PART,
                              "Dokument abgelehnt: ein verschlüsselter Teil lässt sich nicht öffnen")
            opened.append((index, kind, part.get("name") or "", plain))
        return opened

    def _open_envelope(self, body):
        if not self.options.key or not self.options.cert:
            return None
        compact = re.sub(r"\s+", "", body)
        try:
            der = base64.b64decode(compact, validate=True)
        except (binascii.Error, ValueError):
            return None
        if not der:
            return None
        try:
            result = subprocess.run(
                ["openssl", "cms", "-decrypt", "-inform", "DER", "-binary", "-inkey",
                 self.options.key, "-recip", self.options.cert],
                input=der, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60,
                check=False)
        except (OSError, subprocess.TimeoutExpired):
            return None
        return result.stdout if result.returncode == 0 else None

    # The store --------------------------------------------------------------------------------

    def _keep(self, session, name, document, parts, verdict, reason):
        with self.lock:
            self.sequence += 1
            seq = self.sequence
        stem = "%06d-%s" % (seq, safe_name(name) or "document")
        folder = os.path.join(self.store, verdict)
        if parts:
            parts_dir = os.path.join(folder, stem + ".parts")
            os.makedirs(parts_dir, mode=0o700, exist_ok=True)
            for index, kind, part_name, plain in parts:
                label = "%d-%s" % (index, kind)
                if part_name:
                    label += "-" + safe_name(part_name)
                write_private(os.path.join(parts_dir, label + ".txt"), plain)
                if kind == "pdf":
                    pdf = decode_message_body(plain)
                    if pdf is not None:
                        write_private(os.path.join(parts_dir, label), pdf)
        if verdict == "refused":
            write_private(os.path.join(folder, stem + ".reason"),
                          ("%d %s\n" % (reason.code, reason.message)).encode("utf-8"))
        write_private(os.path.join(folder, stem + ".xml"), document.encode("utf-8"))
        line = "\t".join([
            "%06d" % seq, session, verdict, safe_name(name), str(len(parts)),
            str(reason.code) if verdict == "refused" else ""])
        with self.lock:
            with open(os.path.join(self.store, "received.log"), "a", encoding="utf-8") as f:
                f.write(line + "\n")
                f.flush()
                if SYNC_WRITES:
                    os.fsync(f.fileno())
        return seq


def safe_name(name):
    cleaned = re.sub(r"[^A-Za-z0-9._-]", "_", name)[:100].lstrip(".")
    return cleaned


# Whether the store's files are flushed to disk as they are written; --no-sync (benchmarks)
# keeps the server from waiting on the disk the client under measurement also uses.
SYNC_WRITES = True


def write_private(path, data):
    """Writes a file 0600 under a temporary name and renames it, so readers see it whole."""
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
        f.flush()
        if SYNC_WRITES:
            os.fsync(f.fileno())
    os.replace(tmp, path)


def decode_message_body(plain):
    """The PDF inside an opened part: the part is the PDF's base64 lines, possibly after message
    headers and a blank line. None when it does not decode."""
    bodies = [plain]
    for separator in (b"\r\n\r\n", b"\n\n"):
        at = plain.find(separator)
        if at >= 0:
            bodies.append(plain[at + len(separator):])
            break
    for body in bodies:
        try:
            return base64.b64decode(re.sub(rb"\s+", b"", body), validate=True)
        except (binascii.Error, ValueError):
            continue
    return None


# ---------------------------------------------------------------------------------------------
# HTTP


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qendix-trustcenter/1"
    timeout = 300  # an idle or stalled connection is closed after this many seconds
    # Headers and body leave in two writes; without TCP_NODELAY the body waits for the client's
    # delayed acknowledgement of the headers (some 40 ms per exchange on loopback).
    disable_nagle_algorithm = True
    tc = None  # the TrustCenter, set by main

    def log_message(self, fmt, *args):
        if self.tc.options.verbose:
            sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def send_body(self, status, body, content_type="text/xml; charset=utf-8", reason=None,
                  headers=()):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status, reason)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_expect_100(self):
        if self._too_large():
            self.send_body(413, "request too large\n", "text/plain")
            self.close_connection = True
            return False
        return super().handle_expect_100()

    def _too_large(self):
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return False
        return length > self.tc.options.max_request_bytes

    def _read_body(self):
        """The request body, or None after an error answer."""
        if self.headers.get("Transfer-Encoding"):
            self.send_body(411, "Content-Length required\n", "text/plain")
            self.close_connection = True
            return None
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            self.send_body(411, "Content-Length required\n", "text/plain")
            self.close_connection = True
            return None
        if length < 0 or length > self.tc.options.max_request_bytes:
            self.send_body(413, "request too large\n", "text/plain")
            self.close_connection = True
            return None
        body = self.rfile.read(length)
        if len(body) != length:
            self.close_connection = True
            return None
        return body

    def _authorized(self):
        expected = "Basic " + base64.b64encode(
            (LOGIN + ":" + PASSWORD).encode("ascii")).decode("ascii")
        return self.headers.get("Authorization", "") == expected

    def do_POST(self):
        tc = self.tc
        body = self._read_body()
        if body is None:
            return
        gate = None
        if self.path.startswith("/gate/"):
            gate = self.path[len("/gate/"):]
        elif self.path != "/RPC2":
            self.send_body(404, "not found\n", "text/plain")
            return
        if b"<!DOCTYPE" in body:
            tc.log_request("POST %s (refused: DOCTYPE)" % self.path)
            self.send_body(400, "document type declarations are not accepted\n", "text/plain")
            return
        try:
            method, params = parse_call(body)
        except Fault as fault:
            method, params = None, None
            early_fault = fault
        has_auth = "Authorization" in self.headers
        tc.log_request("POST %s %s auth=%s" % (self.path, method or "-",
                                                "yes" if has_auth else "no"))

        options = tc.options
        affected = tc.failure_applies(method or "")
        if affected:
            if options.slow > 0 and options.fail != "trickle" and tc.stopping.wait(options.slow):
                return
            if options.fail == "drop":
                self.close_connection = True
                return
            status = re.fullmatch(r"http(\d{3})", options.fail or "")
            if status:
                code = int(status.group(1))
                self.send_body(code, "failed on purpose\n", "text/plain")
                return
            if options.fail == "fault":
                self.send_body(200, fault_response(FAULT_ON_PURPOSE, "Trust Center außer Betrieb"))
                return
            if options.fail in REPLY_FAILURES:
                self.send_broken_reply(options.fail)
                return

        if method is None:
            self.send_body(200, fault_response(early_fault.code, early_fault.message))
            return
        try:
            if gate is None and method == "qendix.session.new":
                reply = tc.session_new(params, self._authorized())
            elif gate is None and method == "qendix.session.close":
                reply = tc.session_close(params)
            elif gate is None and method == "qendix.querynewversion":
                reply = tc.query_new_version(params)
            elif gate is not None and method == "qendix.inputgate.write":
                reply = tc.inputgate_write(gate, params, affected and options.fail == "refuse")
            else:
                raise Fault(FAULT_METHOD, "unknown method at this URL: " + method)
        except Unauthorized:
            self.send_body(401, "login required\n", "text/plain",
                           headers=[("WWW-Authenticate", 'Basic realm="qendix"')])
            return
        except Fault as fault:
            reply = fault_response(fault.code, fault.message)
        if affected and options.fail == "trickle":
            self.send_trickled(reply.encode("utf-8"), options.slow)
            return
        self.send_body(200, reply)

    def send_broken_reply(self, mode):
        """Answers an affected call in the broken way of --fail MODE, without carrying it out."""
        tc = self.tc
        reply = response(event_list(CANNED_EVENTS)).encode("utf-8")
        if mode == "truncated":
            # The whole length announced, half the bytes sent, the connection closed.
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply[:len(reply) // 2])
            self.close_connection = True
        elif mode == "malformed":
            self.send_body(200, reply.replace(b"</methodResponse>", b"</methodRespons>"))
        elif mode == "entities":
            # An entity that expands a thousand-fold per level, used by the event list's text.
            entities = '<!ENTITY e0 "%s">' % ("x" * 1000) + "".join(
                '<!ENTITY e%d "%s">' % (i, ("&e%d;" % (i - 1)) * 1000) for i in range(1, 4))
            text = reply.decode("utf-8").replace(
                "<methodResponse>", "<!DOCTYPE methodResponse [%s]><methodResponse>" % entities, 1)
            self.send_body(200, text.replace("Dokument angenommen", "&e3;"))
        elif mode == "html":
            self.send_body(200, download_page(tc), "text/html; charset=utf-8")
        elif mode == "huge":
            # A reply without length that does not end before HUGE_REPLY_BYTES: the start of an
            # event list, then blanks. Closed by the client long before.
            self.send_response(200)
            self.send_header("Content-Type", "text/xml; charset=utf-8")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            sent = 0
            block = b" " * 65536
            try:
                self.wfile.write(reply[:reply.index(b"<data>") + 6])
                while sent < HUGE_REPLY_BYTES:
                    self.wfile.write(block)
                    sent += len(block)
            except OSError:
                pass
            tc.log_request("huge reply: %d bytes sent" % sent)
        elif mode == "redirect":
            # To another host (127.0.0.2), where the call would go again.
            target = "http://127.0.0.2:%d%s" % (tc.port, self.path)
            self.send_body(307, "moved\n", "text/plain", headers=[("Location", target)])

    def send_trickled(self, body, seconds):
        """Sends the answer a few bytes at a time, spread over `seconds`."""
        self.send_response(200)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        steps = max(1, len(body) // 8)
        try:
            for i in range(steps):
                if self.tc.stopping.wait(seconds / steps):
                    break
                self.wfile.write(body[i * len(body) // steps:(i + 1) * len(body) // steps])
                self.wfile.flush()
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        tc = self.tc
        path = self.path.split("?", 1)[0]
        tc.log_request("GET %s" % path)
        if path in ("/qendix.xml", "/centers/qendix.xml"):
            try:
                document = tc.centers_document()
            except OSError:
                self.send_body(500, "centers document unreadable\n", "text/plain")
                return
            self.send_body(200, document, "text/xml")
        elif path == "/down":
            self.send_body(200, download_page(tc), "text/html; charset=utf-8")
        elif re.fullmatch(r"/setup(-truncated)?/[A-Za-z0-9._-]+", path):
            try:
                script = (open(tc.options.setup_file, "rb").read() if tc.options.setup_file
                          else SETUP_SCRIPT.encode("utf-8"))
            except OSError:
                self.send_body(500, "setup file unreadable\n", "text/plain")
                return
            if path.startswith("/setup-truncated/"):
                # Announces the whole file, sends half of it and closes: a broken download.
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(script)))
                self.end_headers()
                self.wfile.write(script[:len(script) // 2])
                self.close_connection = True
                return
            self.send_body(200, script, "application/octet-stream")
        else:
            self.send_body(404, "not found\n", "text/plain")

    do_HEAD = do_GET


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None  # the ssl.SSLContext of --tls
    tc = None

    def get_request(self):
        sock, address = self.socket.accept()
        if self.tls is None:
            return sock, address
        # The handshake is made here, bounded; a client that refuses the certificate has sent
        # nothing over the connection.
        try:
            sock.settimeout(10)
            wrapped = self.tls.wrap_socket(sock, server_side=True)
            wrapped.settimeout(None)
            return wrapped, address
        except (ssl.SSLError, OSError) as error:
            self.tc.log_request("TLS handshake failed (%s)" % getattr(error, "reason", error))
            sock.close()
            raise OSError("TLS handshake failed")

    def handle_error(self, request, client_address):
        # A client that gave up (time-out, cancel) while it was answered is no error here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)


def download_page(tc):
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qendix</title></head>\n"
            "<body><h1>qendix Trust Center</h1>\n"
            "<p>Reference Trust Center %s, build %s.</p>\n"
            "<p><a href=\"%s\">Setup</a> &middot; <a href=\"/qendix.xml\">Trust Centers</a></p>\n"
            "</body></html>\n" % (escape(tc.options.label), escape(tc.options.newest_build),
                                  escape(tc.setup_url())))


# ---------------------------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Reference Trust Center for qendix (XML-RPC gate, centers document, "
        "download page, setup file) on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=8470,
                        help="TCP port; 0 lets the system pick (default 8470)")
    parser.add_argument("--store", help="folder for what is received "
                        "(default: a new temporary folder, printed on the second line)")
    parser.add_argument("--rcpt", default="tc-test", help="own recipient name (default tc-test)")
    parser.add_argument("--label", default="TC test",
                        help="own label in the centers document (default 'TC test')")
    parser.add_argument("--key", help="PEM private key that opens the sealed parts")
    parser.add_argument("--cert", help="PEM certificate that belongs to --key")
    parser.add_argument("--newest-build", default="0",
                        help="build number answered to qendix.querynewversion (default 0)")
    parser.add_argument("--setup-url", help="setup URL answered to qendix.querynewversion; "
                        "a path starting with / is on this server "
                        "(default /setup/qendix-setup.sh)")
    parser.add_argument("--setup-file", help="file served at /setup/<name> instead of the "
                        "built-in script")
    parser.add_argument("--centers", help="file served as the centers document instead of the "
                        "built-in one")
    parser.add_argument("--fail", metavar="MODE",
                        help="fail on purpose: httpNNN (that HTTP status, e.g. http500), fault "
                        "(XML-RPC fault), refuse (refuse every document), drop (close without "
                        "answering), truncated, malformed, entities, html, huge, redirect "
                        "(broken answers, see README.md), trickle (the answer spread over "
                        "--slow seconds)")
    parser.add_argument("--fail-only", action="append", default=[], metavar="METHOD",
                        help="apply --fail and --slow only to this XML-RPC method (repeatable)")
    parser.add_argument("--fail-after", type=int, default=0, metavar="N",
                        help="answer the first N affected calls normally")
    parser.add_argument("--slow", type=float, default=0, metavar="SECONDS",
                        help="wait this long before answering each affected POST")
    parser.add_argument("--accept-without-opening", action="store_true",
                        help="accept documents without opening the sealed parts (benchmarks)")
    parser.add_argument("--no-sync", action="store_true",
                        help="do not fsync the store's files (benchmarks)")
    parser.add_argument("--max-request-bytes", type=int, default=32 * 1024 * 1024,
                        help="largest request body accepted (default 32 MiB)")
    parser.add_argument("--tls", action="store_true",
                        help="serve https with --tls-cert/--tls-key, or with a self-signed "
                        "certificate made with openssl req")
    parser.add_argument("--tls-cert", help="PEM certificate of the https server")
    parser.add_argument("--tls-key", help="PEM private key of the https server")
    parser.add_argument("--verbose", action="store_true", help="log every request on stderr")
    options = parser.parse_args(argv)
    modes = ("fault", "refuse", "drop", "trickle") + REPLY_FAILURES
    if options.fail and options.fail not in modes and not re.fullmatch(
            r"http[1-5]\d\d", options.fail):
        parser.error("--fail takes httpNNN or one of: " + ", ".join(modes))
    if options.fail == "trickle" and options.slow <= 0:
        parser.error("--fail trickle needs --slow SECONDS")
    if bool(options.tls_cert) != bool(options.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if options.tls_cert:
        options.tls = True
    if not 0 <= options.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if bool(options.key) != bool(options.cert):
        parser.error("--key and --cert go together")
    for path in (options.key, options.cert, options.setup_file, options.centers,
                 options.tls_cert, options.tls_key):
        if path and not os.path.isfile(path):
            parser.error("no such file: " + path)
    if options.slow < 0 or options.fail_after < 0 or options.max_request_bytes <= 0:
        parser.error("--slow, --fail-after and --max-request-bytes must not be negative")
    return options


def tls_context(options):
    """The server's TLS context: --tls-cert/--tls-key, or a self-signed certificate for
    127.0.0.1 made with openssl req in the store's folder "tls" (which no client trusts)."""
    cert, key = options.tls_cert, options.tls_key
    if not cert:
        folder = os.path.join(options.store, "tls")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        cert, key = os.path.join(folder, "server.crt"), os.path.join(folder, "server.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main(argv):
    options = parse_args(argv)
    global SYNC_WRITES
    SYNC_WRITES = not options.no_sync
    created_store = options.store is None
    if created_store:
        options.store = tempfile.mkdtemp(prefix="qendix-trustcenter-")
    options.store = os.path.abspath(options.store)
    tc = TrustCenter(options)
    Handler.tc = tc
    server = Server(("127.0.0.1", options.port), Handler)
    server.tc = tc
    if options.tls:
        server.tls = tls_context(options)
    tc.port = server.server_address[1]
    print("listening on 127.0.0.1:%d" % tc.port, flush=True)
    print("store %s" % options.store, flush=True)

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever()
    except SystemExit:
        pass
    finally:
        tc.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
