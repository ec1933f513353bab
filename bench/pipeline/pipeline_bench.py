#!/usr/bin/env python3
"""End-to-end benchmark of qendix: the whole pipeline against the stock-tool way and the floor.

In a private temporary folder it sets up a security-client home (asasctl: a practice login and
the Trust Center's certificate) and starts the reference Trust Center on 127.0.0.1 in its mode
that accepts documents without opening them. Then, for each N (default 1,000 and 10,000):

  - N mixed invoices (a third each: a small XML invoice, a 19 KB XML invoice, a GNI invoice), each
    with the PDF payment slip of its coding line (withPDF needs one per invoice), fresh invoice
    identifiers and coding lines in every set;
  - `qendix read`, `check`, `anonymize` and `send` as separate processes: milliseconds per invoice;
  - `qendix auto` on a fresh set: invoices per second;
  - for every qendix process its peak resident memory (ru_maxrss from wait4, taken by a small
    launcher, build/bench/peak_rss, so that it is the process's own).

Beside it, in the same run: `read` of exactly 10,000 files; the stock-tool way on a sample (per
invoice one xsltproc process with bench/anonymize_masking.xsl, one `openssl cms -encrypt`
process per sealed part, as many parts as the component makes, and one curl POST of the
document to the same gate); the in-process floor (build/bench/pipeline_floor); the component's
envelopes per second against `openssl cms -encrypt` per envelope (bench_component_envelope, when
built); the sent-invoice register at 1,000,000 entries (build/bench/register_probe). The Trust
Center's own CPU time per document, and `send` and the floor repeated against a gate that answers
every document at once (this script with --serve-null-gate), show how much of each figure is the
server's.

Prints a table with each target of the issue (PASS/MISS) and writes everything as JSON.
  bench/pipeline/pipeline_bench.py [--build DIR] [--sizes 1000,10000] [--quick] [--json FILE]
Every child process is waited for or killed, the server stopped and the temporary folder removed
on every way out. Nothing but 127.0.0.1 is contacted.
"""

import argparse
import base64
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
MB = 1024 * 1024
RCPT = "tc-test"
LOGIN = "praxis"
# The 19 KB real invoice of the "large" third; the masking-only copy of the stylesheet.
LARGE_SAMPLE = os.path.join(SOURCE, "tests/formats/data/xmlinvoice/4187_10734368.xml")
MASKING_XSL = os.path.join(SOURCE, "bench/anonymize_masking.xsl")
TRUSTCENTER = os.path.join(SOURCE, "tools/trustcenter/trustcenter.py")
KINDS = ("small", "large", "gni")
PREFIX = {"small": "s", "large": "l", "gni": "g"}
MASK_FROM = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
MASK_TO = "9" * 10 + "X" * 52

SMALL_XML = """<?xml version="1.0" encoding="UTF-8"?>
<request xmlns="http://www.xmlData.ch/xmlInvoice/XSD" role="production">
  <header><sender ean_party="2000000000008"/><recipient ean_party="7601000000017"/></header>
  <invoice invoice_id="{id}" invoice_date="2026-12-01T00:00:00"/>
  <body><provider zsr="Z123456"/><balance amount="{amount}"/><esr9 coding_line="{coding}"/>
    <tiers_garant>
      <patient patient_id="P-{index}" ssn="756.1234.5678.97" birthdate="1965-03-12T00:00:00">
        <person><familyname>Robert</familyname><givenname>Anna</givenname>
          <postal><street>B\u00e4ckerweg 12b</street><zip>8001</zip><city>Z\u00fcrich</city></postal>
        </person>
      </patient>
      <guarantor><person><familyname>Robert</familyname><givenname>Paul</givenname></person></guarantor>
    </tiers_garant>
  </body>
</request>
"""

GNI = ("[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=M\u00fcller\r\n133=Hans\r\n136=8001\r\n"
       "155=1965\r\n157=1203\r\n[INFC1]\r\n115={id}\r\n119={cents}\r\n[BVR1]\r\n"
       "200={coding}\r\n")


class BenchError(Exception):
    """The benchmark cannot go on; the message says why."""


def clean_reference(text):
    """A coding line as PDF names begin with it: blanks dropped, + - < > written as _."""
    return "".join("_" if c in "+-<>" else c for c in text if c != " ")


# ---------------------------------------------------------------------------------------------
# Processes


class Measured:
    def __init__(self, wall, status, rss, user, system):
        self.wall, self.status, self.rss, self.user, self.system = wall, status, rss, user, system


class Children:
    """Starts child processes and makes sure none outlives the benchmark."""

    def __init__(self):
        self.live = set()
        self.launcher = None  # build/bench/peak_rss, once the build is known
        self.reports = None   # a private folder for its reports

    def measure(self, argv, env, stdout, cwd=None):
        """Runs argv to its end; wall time, exit status, peak RSS (bytes), user and system CPU.

        The figures come from the launcher (peak_rss), which forks the program from a small
        process: forked from this interpreter, the program's peak would include the interpreter's
        memory, which grows with the number of invoices.
        """
        report = os.path.join(self.reports, "peak-rss")
        start = time.perf_counter()
        proc = subprocess.Popen([self.launcher, report] + argv, env=env, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=subprocess.STDOUT)
        self.live.add(proc)
        try:
            proc.wait()
        except BaseException:
            self.stop(proc)
            raise
        wall = time.perf_counter() - start
        self.live.discard(proc)
        try:
            with open(report) as f:
                kib, user, system = f.read().split()
            os.unlink(report)
        except (OSError, ValueError) as error:
            raise BenchError("peak_rss gave no report for %s (exit %d): %s"
                             % (argv[0], proc.returncode, error))
        return Measured(wall, proc.returncode, int(kib) * 1024, float(user), float(system))

    def run(self, argv, env=None):
        """Runs argv to its end and returns its output; BenchError when it fails."""
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.live.add(proc)
        try:
            out, err = proc.communicate()
        except BaseException:
            self.stop(proc)
            raise
        self.live.discard(proc)
        if proc.returncode != 0:
            raise BenchError("%s failed (%d): %s" % (" ".join(argv[:3]), proc.returncode,
                                                     (err or out).decode(errors="replace")[-800:]))
        return out

    def start(self, argv, **kwargs):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, **kwargs)
        self.live.add(proc)
        return proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.live.discard(proc)

    def stop_all(self):
        for proc in list(self.live):
            self.stop(proc)


def plain_environment():
    """The environment without proxy settings: everything here talks to 127.0.0.1 directly."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["LC_ALL"] = "C.UTF-8"
    env["LANGUAGE"] = "de"
    return env


def cpu_seconds(pid):
    """User plus system CPU time of a running process (all its threads) from /proc."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "python": platform.python_version(), "load_average_at_start": os.getloadavg()[0]}


def count_files(folder):
    total = 0
    for _, _, files in os.walk(folder):
        total += len(files)
    return total


# ---------------------------------------------------------------------------------------------
# Invoices


class InvoiceMaker:
    """Writes sets of mixed invoices with their PDF slips; every set gets identifiers and coding
    lines of its own, so that no invoice of a run is a duplicate of another."""

    def __init__(self, pdf_bytes):
        with open(LARGE_SAMPLE, "rb") as f:
            self.large = f.read()
        self.pdf_body = os.urandom(max(0, pdf_bytes - 64))
        self.sets = 0
        self.sizes = {}  # kind -> bytes of the last invoice of that kind written

    def make(self, folder, n, only=None):
        """Writes n invoices (and their slips) into folder; returns [(kind, path, [pdf paths])].
        With only, n files in all: invoices and slips alternate until n are written."""
        self.sets += 1
        nonce = (int(time.time()) * 100 + os.getpid() + self.sets) % 10 ** 8
        invoices = []
        written = 0
        for i in range(n):
            if only is not None and written >= only:
                break
            kind = KINDS[i % 3]
            reference = "%08d%019d" % (nonce, i)
            invoice_id = "%d-%d" % (nonce, i)
            name = "%s%06d.%s" % (PREFIX[kind], i, "gni" if kind == "gni" else "xml")
            if kind == "small":
                coding = "0100000125509>%s+ 010001628>" % reference
                data = SMALL_XML.format(id=invoice_id, index=i, amount="%d.50" % (100 + i % 900),
                                        coding=escape(coding)).encode("utf-8")
            elif kind == "large":
                coding = "0100000307805>%s+ 012000272>" % reference
                data = re.sub(rb'invoice_id="[^"]*"', b'invoice_id="%s"' % invoice_id.encode(),
                              self.large, count=1)
                data = re.sub(rb'coding_line="[^"]*"',
                              b'coding_line="%s"' % escape(coding).encode(), data, count=1)
            else:
                coding = "0100000125509>%s+ 010001628>" % reference
                data = GNI.format(id=invoice_id, cents=10000 + i % 90000,
                                  coding=coding).encode("cp1252")
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(data)
            self.sizes[kind] = len(data)
            written += 1
            pdfs = []
            if only is None or written < only:
                pdf = os.path.join(folder, "%s%06d.pdf" % (clean_reference(coding), i))
                with open(pdf, "wb") as f:
                    f.write(b"%%PDF-1.4\n%% payment slip %s\n" % invoice_id.encode())
                    f.write(self.pdf_body)
                pdfs.append(pdf)
                written += 1
            invoices.append((kind, path, pdfs))
        return invoices


def kind_of(name):
    for kind in KINDS:
        if name.startswith(PREFIX[kind]):
            return kind
    return None


def sealed_parts(document):
    """The types of the sealed parts of a transfer document, in order."""
    types = re.findall(rb'<qendix:data\b[^>]*\btype="([a-z_]+)"', document)
    return [t.decode() for t in types if t != b"anonymized"]


# ---------------------------------------------------------------------------------------------
# The benchmark


class Bench:
    def __init__(self, options):
        self.options = options
        self.build = os.path.abspath(options.build)
        self.children = Children()
        self.env = plain_environment()
        self.tmp = None
        self.server = None
        self.base_url = None
        self.parts = {}  # kind -> list of sealed part types the component makes
        self.results = {"machine": machine(), "options": {}, "pipeline": [], "notes": []}

    # Set-up ----------------------------------------------------------------------------------

    def program(self, *path, required=True):
        full = os.path.join(self.build, *path)
        if os.access(full, os.X_OK):
            return full
        if required:
            raise BenchError("%s is not built (cmake --build %s --target benchmarks qendix_cli "
                             "asas asasctl)" % (full, self.build))
        return None

    def setup(self):
        for tool in ("xsltproc", "openssl", "curl", "sed"):
            if not shutil.which(tool):
                raise BenchError("the %s command is missing" % tool)
        self.qendix_bin = self.program("bin", "qendix")
        self.asasctl = self.program("bin", "asasctl")
        self.children.launcher = self.program("bench", "peak_rss")
        self.asas_library = self.program("lib", "libasas.so.1", required=False) or \
            os.path.join(self.build, "lib", "libasas.so.1")
        self.floor = self.program("bench", "pipeline_floor")
        self.probe = self.program("bench", "register_probe")
        self.tmp = tempfile.mkdtemp(prefix="qendix-pipeline-")
        self.children.reports = self.tmp
        os.chmod(self.tmp, 0o700)
        for folder in ("asas", "tmp", "store", "tc"):
            os.mkdir(os.path.join(self.tmp, folder), 0o700)
        self.env.update({
            "ASAS_HOME": os.path.join(self.tmp, "asas"),
            "QENDIX_ASAS_LIBRARY": self.asas_library,
            "QENDIX_LOCK_FILE": os.path.join(self.tmp, "qendix.lock"),
            "TMPDIR": os.path.join(self.tmp, "tmp"),
        })
        # The security client: a practice login and the Trust Center's certificate.
        self.children.run([self.asasctl, "init"], env=self.env)
        self.children.run([self.asasctl, "login", "add", LOGIN, "--identity", "drmuster"],
                          env=self.env)
        self.tc_key = os.path.join(self.tmp, "tc", "tc.key")
        self.tc_cert = os.path.join(self.tmp, "tc", "tc.crt")
        self.children.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                           "2", "-subj", "/CN=" + RCPT, "-keyout", self.tc_key, "-out",
                           self.tc_cert], env=self.env)
        self.children.run([self.asasctl, "cert", "import", RCPT, self.tc_cert], env=self.env)
        self.start_server()
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(self.base_url + "/qendix.xml", timeout=30) as reply:
            self.centers = reply.read()
        with opener.open(self.null_url + "/qendix.xml", timeout=30) as reply:
            self.null_centers = reply.read()

    def start_server(self):
        self.server, self.base_url = self.start_listener("server", [
            sys.executable, TRUSTCENTER, "--port", "0", "--store",
            os.path.join(self.tmp, "store"), "--rcpt", RCPT, "--accept-without-opening", "--no-sync"])
        self.null_gate, self.null_url = self.start_listener("null-gate", [
            sys.executable, os.path.abspath(__file__), "--serve-null-gate"])

    def start_listener(self, name, argv):
        """Starts a server that prints "listening on 127.0.0.1:PORT" first: (process, base URL)."""
        out_path = os.path.join(self.tmp, name + ".out")
        err_path = os.path.join(self.tmp, name + ".err")
        with open(out_path, "w") as out, open(err_path, "w") as err:
            proc = self.children.start(argv, env=self.env, stdout=out, stderr=err)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with open(out_path) as f:
                match = re.search(r"^listening on (127\.0\.0\.1:\d+)$", f.read(), re.M)
            if match:
                return proc, "http://" + match.group(1)
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        with open(err_path) as f:
            raise BenchError("%s did not start: %s" % (name, f.read()[-800:]))

    def cleanup(self):
        self.children.stop_all()
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)

    # The server's side ---------------------------------------------------------------------

    def received(self):
        """(documents received, documents accepted) by the Trust Center so far."""
        try:
            with open(os.path.join(self.tmp, "store", "received.log")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return 0, 0
        return len(lines), sum(1 for line in lines if "\taccepted\t" in line)

    def server_cpu(self):
        return cpu_seconds(self.server.pid)

    # qendix -----------------------------------------------------------------------------------

    def tree(self, name):
        """A fresh module folder (centers document, empty register), invoice and work folder."""
        root = os.path.join(self.tmp, name)
        for folder in ("", "module", "in", "work"):
            os.mkdir(os.path.join(root, folder), 0o700)
        with open(os.path.join(root, "module", "qendix.xml"), "wb") as f:
            f.write(self.centers)
        return root

    def qendix(self, root, command, module="module", work="work"):
        argv = [self.qendix_bin, "--module-dir", os.path.join(root, module),
                "--set", "inputDirectory=" + os.path.join(root, "in"),
                "--set", "workDirectory=" + os.path.join(root, work),
                "--set", "asasLogin=" + LOGIN, "--set", "trustCenter=TC test",
                "--set", "withPDF=true", command]
        log = os.path.join(root, "%s-%s.out" % (command, work))
        with open(log, "wb") as out:
            result = self.children.measure(argv, self.env, out, cwd=root)
        if result.status != 0:
            with open(log, "rb") as f:
                tail = f.read()[-1500:].decode(errors="replace")
            raise BenchError("qendix %s ended with %d:\n%s" % (command, result.status, tail))
        return result

    def expect(self, what, found, wanted, root):
        if found != wanted:
            raise BenchError("%s: %d where %d were expected (see %s)" % (what, found, wanted, root))

    def step_record(self, command, result, n):
        progress("    %-16s %8.3f s  %7.3f ms/invoice  CPU %.3f s  peak RSS %.1f MB" % (
            command, result.wall, 1000 * result.wall / n, result.user + result.system,
            result.rss / MB))
        return {"seconds": result.wall, "ms_per_invoice": 1000 * result.wall / n,
                "cpu_seconds": result.user + result.system, "peak_rss_bytes": result.rss}

    def pipeline(self, maker, n):
        """The four steps as separate processes, then one auto job on a fresh set."""
        record = {"invoices": n, "files": 2 * n}
        root = self.tree("steps-%d" % n)
        maker.make(os.path.join(root, "in"), n)
        work = os.path.join(root, "work")
        steps = {}
        for command, folder in (("read", "input"), ("check", "valid"), ("anonymize", "output")):
            result = self.qendix(root, command)
            wanted = n if command == "anonymize" else 2 * n
            self.expect("files in work/" + folder + " after " + command,
                        len(os.listdir(os.path.join(work, folder))), wanted, root)
            steps[command] = self.step_record(command, result, n)
        if not self.parts:
            self.learn_parts(os.path.join(work, "output"))
        # The same documents for a second send to the gate that answers at once (hard links:
        # the first send moves its files away, these stay).
        os.makedirs(os.path.join(root, "work-null", "output"), 0o700)
        os.mkdir(os.path.join(root, "module-null"), 0o700)
        with open(os.path.join(root, "module-null", "qendix.xml"), "wb") as f:
            f.write(self.null_centers)
        for name in os.listdir(os.path.join(work, "output")):
            os.link(os.path.join(work, "output", name),
                    os.path.join(root, "work-null", "output", name))
        before, accepted_before = self.received()
        cpu_before = self.server_cpu()
        result = self.qendix(root, "send")
        server_cpu = self.server_cpu() - cpu_before
        after, accepted_after = self.received()
        self.expect("documents accepted by the Trust Center", accepted_after - accepted_before, n,
                    root)
        self.expect("documents received by the Trust Center", after - before, n, root)
        steps["send"] = self.step_record("send", result, n)
        steps["send"]["server_cpu_seconds"] = server_cpu
        result = self.qendix(root, "send", module="module-null", work="work-null")
        self.expect("documents left after the send to the null gate",
                    len(os.listdir(os.path.join(root, "work-null", "output"))), 0, root)
        steps["send_null_gate"] = self.step_record("send (null gate)", result, n)
        record["steps"] = steps
        shutil.rmtree(root)

        root = self.tree("auto-%d" % n)
        maker.make(os.path.join(root, "in"), n)
        before, accepted_before = self.received()
        cpu_before = self.server_cpu()
        result = self.qendix(root, "auto")
        server_cpu = self.server_cpu() - cpu_before
        after, accepted_after = self.received()
        self.expect("documents accepted by the Trust Center (auto)",
                    accepted_after - accepted_before, n, root)
        self.expect("documents archived (auto)", count_files(os.path.join(root, "work/archive")),
                    n, root)
        self.step_record("auto", result, n)
        record["auto"] = {"seconds": result.wall, "invoices_per_second": n / result.wall,
                          "cpu_seconds": result.user + result.system,
                          "peak_rss_bytes": result.rss, "server_cpu_seconds": server_cpu}
        shutil.rmtree(root)
        return record

    def learn_parts(self, output):
        """The sealed parts of each kind of invoice, from the component's own documents."""
        for name in sorted(os.listdir(output)):
            kind = kind_of(name)
            if kind and kind not in self.parts:
                with open(os.path.join(output, name), "rb") as f:
                    self.parts[kind] = sealed_parts(f.read())
        missing = [kind for kind in KINDS if kind not in self.parts]
        if missing:
            raise BenchError("no transfer document of kind %s to count its parts" % missing)

    def read_only(self, maker, files):
        root = self.tree("read-%d" % files)
        maker.make(os.path.join(root, "in"), files, only=files)
        result = self.qendix(root, "read")
        self.expect("files in work/input after read", len(os.listdir(
            os.path.join(root, "work", "input"))), files, root)
        shutil.rmtree(root)
        return {"files": files, "seconds": result.wall, "peak_rss_bytes": result.rss}

    # References -----------------------------------------------------------------------------

    def session(self):
        """A session at the gate, opened as the component opens one: (session, gate URL)."""
        body = ("<?xml version=\"1.0\"?><methodCall><methodName>qendix.session.new</methodName>"
                "<params><param><value><string>qendix</string></value></param>"
                "<param><value><string>kavint</string></value></param>"
                "<param><value><string>InputGate</string></value></param></params></methodCall>")
        request = urllib.request.Request(
            self.base_url + "/RPC2", data=body.encode(), headers={
                "Content-Type": "text/xml",
                "Authorization": "Basic " + base64.b64encode(b"qendix:kavint").decode()})
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(request, timeout=30) as reply:
            text = reply.read().decode()
        members = dict(re.findall(r"<name>(\w+)</name><value><string>([^<]*)</string>", text))
        if "session" not in members or "gate" not in members:
            raise BenchError("no session at the Trust Center: " + text[:300])
        return members["session"], members["gate"]

    def stock(self, maker, sample):
        """Per invoice: one xsltproc (a GNI file: one sed) for the masking, one openssl process
        per sealed part, one curl POST of the document; the glue between them is this script."""
        root = os.path.join(self.tmp, "stock")
        for folder in ("", "in", "out"):
            os.mkdir(os.path.join(root, folder), 0o700)
        invoices = maker.make(os.path.join(root, "in"), sample)
        session, gate = self.session()
        out = os.path.join(root, "out")
        der = os.path.join(out, "part.der")
        body_path = os.path.join(out, "body.xml")
        reply_path = os.path.join(out, "reply.xml")
        sed_script = "/^1[3-5][0-9]=/ { s/^\\(...=\\)\\(.*\\)$/\\1\\n\\2/; h; s/.*\\n//; " \
                     "y/%s/%s/; x; s/\\n.*//; G; s/\\n// }" % (MASK_FROM, MASK_TO)
        processes = accepted = 0
        cpu_before = self.server_cpu()
        received_before, _ = self.received()
        start = time.perf_counter()
        for kind, path, pdfs in invoices:
            name = os.path.basename(path)
            masked = os.path.join(out, name + ".masked")
            if kind == "gni":
                with open(masked, "wb") as f:
                    f.write(self.children.run(["sed", "-e", sed_script, path], env=self.env))
            else:
                self.children.run(["xsltproc", "--nonet", "--stringparam", "filename", name,
                                   "--stringparam", "rcpt", RCPT, "-o", masked, MASKING_XSL,
                                   path], env=self.env)
            processes += 1
            sealed = []
            text_parts = [t for t in self.parts[kind] if t != "pdf"]
            # The text parts sealed from the invoice file (a little more than the component
            # seals of it), each slip as it is.
            for part_type, source in [(t, path) for t in text_parts] + [("pdf", p) for p in pdfs]:
                self.children.run(["openssl", "cms", "-encrypt", "-aes256", "-binary", "-outform",
                                   "DER", "-in", source, "-out", der, self.tc_cert], env=self.env)
                processes += 1
                with open(der, "rb") as f:
                    sealed.append((part_type, os.path.basename(source) if part_type == "pdf"
                                   else "", base64.b64encode(f.read()).decode()))
            with open(masked, "rb") as f:
                document = self.stock_document(kind, name, f.read(), sealed)
            call = ("<?xml version=\"1.0\"?><methodCall><methodName>qendix.inputgate.write"
                    "</methodName><params><param><value><string>%s</string></value></param>"
                    "<param><value><string>%s</string></value></param></params></methodCall>"
                    % (session, escape(document)))
            with open(body_path, "wb") as f:
                f.write(call.encode("utf-8"))
            self.children.run(["curl", "-s", "-f", "--noproxy", "*", "-H",
                               "Content-Type: text/xml", "-H", "Expect:", "--data-binary",
                               "@" + body_path, "-o", reply_path, gate], env=self.env)
            processes += 1
            with open(reply_path, "rb") as f:
                accepted += b"<i4>1002</i4>" in f.read()
            os.unlink(masked)
        wall = time.perf_counter() - start
        server_cpu = self.server_cpu() - cpu_before
        received_after, _ = self.received()
        if accepted != sample or received_after - received_before != sample:
            raise BenchError("stock-tool way: %d of %d documents accepted" % (accepted, sample))
        shutil.rmtree(root)
        return {"invoices": sample, "seconds": wall, "invoices_per_second": sample / wall,
                "ms_per_invoice": 1000 * wall / sample, "processes_per_invoice": processes / sample,
                "server_cpu_seconds": server_cpu}

    @staticmethod
    def stock_document(kind, name, masked, sealed):
        parts = "".join('<qendix:data%s type="%s">%s</qendix:data>' % (
            ' name="%s"' % escape(part_name) if part_name else "", part_type, text)
            for part_type, part_name, text in sealed)
        if kind == "gni":
            return ('<?xml version="1.0" encoding="UTF-8"?>\n<qendix:datatransfer xmlns:qendix='
                    '"http://www.qendix.org/transfer/v1" rcpt="%s"><qendix:data name="%s" '
                    'type="anonymized">%s</qendix:data>%s</qendix:datatransfer>\n'
                    % (RCPT, escape(name), escape(masked.decode("cp1252")), parts))
        text = masked.decode("utf-8")
        end = text.rindex("</qendix:datatransfer>")
        return text[:end] + parts + text[end:]

    def floor_run(self, maker, sample, url, server):
        root = os.path.join(self.tmp, "floor")
        for folder in ("", "in", "out"):
            os.mkdir(os.path.join(root, folder), 0o700)
        invoices = maker.make(os.path.join(root, "in"), sample)
        manifest = os.path.join(root, "manifest")
        with open(manifest, "w") as f:
            for kind, path, pdfs in invoices:
                f.write("\t".join(["gni" if kind == "gni" else "xml", path] + pdfs) + "\n")
        report = os.path.join(root, "report")
        cpu_before = cpu_seconds(server.pid)
        received_before, _ = self.received()
        with open(report, "wb") as out:
            result = self.children.measure(
                [self.floor, "--url", url, "--cert", self.tc_cert, "--stylesheet",
                 MASKING_XSL, "--rcpt", RCPT, "--out", os.path.join(root, "out"),
                 "--manifest", manifest], self.env, out)
        server_cpu = cpu_seconds(server.pid) - cpu_before
        with open(report) as f:
            text = f.read()
        if result.status != 0:
            raise BenchError("pipeline_floor ended with %d: %s" % (result.status, text[-800:]))
        inner = json.loads(text.strip().splitlines()[-1])
        received_after, _ = self.received()
        if server is self.server:
            self.expect("documents the floor delivered", received_after - received_before,
                        sample, root)
        shutil.rmtree(root)
        # The floor finds its parts itself; the component makes these for the same invoices.
        component_parts = sum(len(self.parts[kind]) for kind, _, _ in invoices)
        if inner["parts"] != component_parts:
            self.results["notes"].append("the floor sealed %d parts where the component makes %d"
                                         % (inner["parts"], component_parts))
        return {"invoices": sample, "seconds": result.wall,
                "invoices_per_second": sample / result.wall,
                "ms_per_invoice": 1000 * result.wall / sample,
                "seconds_in_loop": inner["seconds"], "parts": inner["parts"],
                "peak_rss_bytes": result.rss, "server_cpu_seconds": server_cpu}

    def envelopes(self):
        program = self.program("bench", "bench_component_envelope", required=False)
        if not program:
            self.results["notes"].append("bench_component_envelope not built (Google Benchmark "
                                         "missing or not `make bench`): envelope rows left out")
            return None
        out = self.children.run([program, "--benchmark_format=json",
                                 "--benchmark_min_time=%g" % self.options.envelope_min_time],
                                env=self.env)
        rates = {}
        for bench in json.loads(out.decode())["benchmarks"]:
            if "error_message" in bench:
                raise BenchError("%s: %s" % (bench["name"], bench["error_message"]))
            for key, prefix in (("component_text", "ComponentEncryptText"),
                                ("component_pdf", "ComponentEncryptPdfs"),
                                ("openssl_text", "OpensslProcess/text_2k"),
                                ("openssl_pdf", "OpensslProcess/pdf_100k")):
                if bench["name"].startswith(prefix):
                    rates[key] = bench["items_per_second"]
        if len(rates) != 4:
            raise BenchError("bench_component_envelope gave %s" % sorted(rates))
        return rates

    def register(self, entries):
        folder = os.path.join(self.tmp, "register")
        os.mkdir(folder, 0o700)
        path = os.path.join(folder, "qendix.log")
        self.children.run([self.probe, "make", path, str(entries)], env=self.env)
        figures = {}
        for label, target in (("empty", os.path.join(folder, "absent.log")), ("full", path)):
            report = os.path.join(folder, label + ".json")
            with open(report, "wb") as out:
                result = self.children.measure([self.probe, "load", target], self.env, out)
            with open(report) as f:
                text = f.read()
            if result.status != 0:
                raise BenchError("register_probe load ended with %d: %s" % (result.status, text))
            figures[label] = json.loads(text)
            figures[label]["peak_rss_bytes"] = result.rss
        self.expect("register entries loaded", figures["full"]["entries"], entries, folder)
        full = figures["full"]
        file_bytes = os.path.getsize(path)
        shutil.rmtree(folder)
        return {"entries": entries, "file_bytes": file_bytes,
                "load_seconds": full["load_s"],
                "query_seconds": max(full["query_known_s"], full["query_unknown_s"]),
                "peak_rss_bytes": full["peak_rss_bytes"],
                "program_alone_rss_bytes": figures["empty"]["peak_rss_bytes"]}

    # The run ---------------------------------------------------------------------------------

    def run(self):
        options = self.options
        self.results["options"] = {
            "sizes": options.sizes, "read_files": options.read_files,
            "stock_sample": options.stock_sample, "floor_sample": options.floor_sample,
            "register_entries": options.register_entries, "pdf_bytes": options.pdf_kb * 1024,
            "quick": options.quick}
        self.results["machine"]["build_type"] = build_type(self.build)
        maker = InvoiceMaker(options.pdf_kb * 1024)
        for n in options.sizes:
            progress("qendix: %d invoices, steps then auto" % n)
            self.results["pipeline"].append(self.pipeline(maker, n))
        self.results["parts_per_invoice"] = self.parts
        self.results["invoice_bytes"] = maker.sizes
        progress("qendix read: %d files" % options.read_files)
        self.results["read_files"] = self.read_only(maker, options.read_files)
        progress("stock-tool way: %d invoices" % options.stock_sample)
        self.results["stock"] = self.stock(maker, options.stock_sample)
        progress("in-process floor: %d invoices" % options.floor_sample)
        self.results["floor"] = self.floor_run(maker, options.floor_sample, self.base_url,
                                               self.server)
        progress("in-process floor against the null gate: %d invoices" % options.floor_sample)
        self.results["floor_null_gate"] = self.floor_run(maker, options.floor_sample,
                                                         self.null_url, self.null_gate)
        progress("envelopes per second")
        self.results["envelopes"] = self.envelopes()
        progress("register: %d entries" % options.register_entries)
        self.results["register"] = self.register(options.register_entries)
        self.results["machine"]["load_average_at_end"] = os.getloadavg()[0]
        self.results["targets"] = targets(self.results)
        return self.results


def build_type(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            match = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", f.read(), re.M)
        return match.group(1) if match else ""
    except OSError:
        return ""


def progress(text):
    print("... " + text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Targets and the table


def targets(results):
    """Each target of the issue with the figure measured and whether it is met."""
    rows = []
    runs = results["pipeline"]
    largest = runs[-1]
    auto = largest["auto"]["invoices_per_second"]
    stock = results["stock"]["invoices_per_second"]
    floor = results["floor"]["invoices_per_second"]
    n = largest["invoices"]
    rows.append(("qendix auto, {:,} invoices, vs the stock-tool way".format(n), ">= 20x",
                 "%.1fx" % (auto / stock), auto / stock >= 20))
    rows.append(("qendix auto, {:,} invoices, vs the in-process floor".format(n), "<= 3x slower",
                 "%.1fx slower" % (floor / auto), floor / auto <= 3))
    envelopes = results.get("envelopes")
    if envelopes:
        for label, ours, theirs in (("2 KB text", "component_text", "openssl_text"),
                                    ("100 KB PDF", "component_pdf", "openssl_pdf")):
            ratio = envelopes[ours] / envelopes[theirs]
            rows.append(("Envelopes per second, %s, vs openssl per envelope" % label, ">= 50x",
                         "%.1fx" % ratio, ratio >= 50))
    # Flat: the largest peak within 4 MB or a tenth of the smallest.
    peaks = [run["auto"]["peak_rss_bytes"] for run in runs]
    flat = max(peaks) - min(peaks) <= max(4 * MB, 0.1 * min(peaks))
    rows.append(("Peak RSS of qendix auto (%s invoices)" % " / ".join(
        "{:,}".format(run["invoices"]) for run in runs), "<= 64 MB, flat",
        " / ".join("%.1f MB" % (p / MB) for p in peaks), max(peaks) <= 64 * MB and flat))
    read = results["read_files"]
    rows.append(("read of {:,} files".format(read["files"]), "< 1 s", "%.3f s" % read["seconds"],
                 read["seconds"] < 1))
    reg = results["register"]
    both = reg["load_seconds"] + reg["query_seconds"]
    rows.append(("Register of {:,} entries: load + duplicate query".format(reg["entries"]),
                 "< 0.5 s", "%.3f s" % both, both < 0.5))
    # The register's own memory: the probe's peak RSS less that of the same program with an
    # empty register (its libraries alone are some 25 MB).
    own = reg["peak_rss_bytes"] - reg["program_alone_rss_bytes"]
    rows.append(("Register of {:,} entries: its own memory".format(reg["entries"]), "< 64 MB",
                 "%.1f MB" % (own / MB), own < 64 * MB))
    return [{"measure": m, "target": t, "measured": v, "met": ok} for m, t, v, ok in rows]


def table(results):
    lines = []
    add = lines.append
    m = results["machine"]
    add("qendix pipeline benchmark: %s cores, %s, %s build, Linux %s, load average %.1f at the "
        "start and %.1f at the end" % (m["nproc"], m["cpu"] or "CPU unknown",
                                      m["build_type"] or "unknown", m["kernel"],
                                      m["load_average_at_start"], m["load_average_at_end"]))
    sizes = results.get("invoice_bytes", {})
    add("Invoices: a third each small XML (%.1f KB), large XML (%.1f KB), GNI (%.1f KB), each "
        "with its PDF slip (%d KB), withPDF on;" % (
            sizes.get("small", 0) / 1024, sizes.get("large", 0) / 1024, sizes.get("gni", 0) / 1024,
            results["options"]["pdf_bytes"] // 1024))
    add("Trust Center: tools/trustcenter/trustcenter.py on 127.0.0.1, --accept-without-opening --no-sync.")
    parts = results.get("parts_per_invoice", {})
    add("Sealed parts per invoice (component): " + ", ".join(
        "%s %d (%s)" % (kind, len(parts.get(kind, [])), " ".join(parts.get(kind, [])))
        for kind in KINDS))
    add("")
    add("%-9s %9s %9s %10s %9s %8s | %10s %9s %13s" % (
        "invoices", "read", "check", "anonymize", "send", "step RSS", "auto", "auto RSS",
        "server CPU"))
    add("%-9s %9s %9s %10s %9s %8s | %10s %9s %13s" % (
        "", "ms/inv", "ms/inv", "ms/inv", "ms/inv", "max MB", "inv/s", "MB", "ms/doc (auto)"))
    for run in results["pipeline"]:
        steps = run["steps"]
        auto = run["auto"]
        add("%-9s %9.3f %9.3f %10.3f %9.3f %8.1f | %10.1f %9.1f %13.3f" % (
            "{:,}".format(run["invoices"]), steps["read"]["ms_per_invoice"],
            steps["check"]["ms_per_invoice"], steps["anonymize"]["ms_per_invoice"],
            steps["send"]["ms_per_invoice"],
            max(s["peak_rss_bytes"] for s in steps.values()) / MB,
            auto["invoices_per_second"], auto["peak_rss_bytes"] / MB,
            1000 * auto["server_cpu_seconds"] / run["invoices"]))
    add("")
    read = results["read_files"]
    add("read of {:,} files: {:.3f} s, peak RSS {:.1f} MB".format(
        read["files"], read["seconds"], read["peak_rss_bytes"] / MB))
    largest = results["pipeline"][-1]
    auto = largest["auto"]
    stock, floor = results["stock"], results["floor"]
    add("")
    add("%-44s %10s %10s %16s" % ("Side by side (same run)", "inv/s", "ms/inv",
                                  "server CPU ms/doc"))
    add("%-44s %10.1f %10.3f %16.3f" % (
        "qendix auto, {:,} invoices".format(largest["invoices"]), auto["invoices_per_second"],
        1000 / auto["invoices_per_second"], 1000 * auto["server_cpu_seconds"]
        / largest["invoices"]))
    add("%-44s %10.1f %10.3f %16.3f" % (
        "stock-tool way, {:,} invoices ({:.1f} proc./inv)".format(
            stock["invoices"], stock["processes_per_invoice"]), stock["invoices_per_second"],
        stock["ms_per_invoice"], 1000 * stock["server_cpu_seconds"] / stock["invoices"]))
    add("%-44s %10.1f %10.3f %16.3f" % (
        "in-process floor, {:,} invoices".format(floor["invoices"]),
        floor["invoices_per_second"], floor["ms_per_invoice"],
        1000 * floor["server_cpu_seconds"] / floor["invoices"]))
    add("qendix vs stock-tool way: %.1fx faster; qendix vs floor: %.1fx slower" % (
        auto["invoices_per_second"] / stock["invoices_per_second"],
        floor["invoices_per_second"] / auto["invoices_per_second"]))
    add("")
    send = largest["steps"]["send"]
    null = largest["steps"]["send_null_gate"]
    floor_null = results["floor_null_gate"]
    add("The Trust Center's share: its CPU time is %.0f%% of the auto job's wall time and %.0f%% "
        "of the floor's." % (100 * auto["server_cpu_seconds"] / auto["seconds"],
                             100 * floor["server_cpu_seconds"] / floor["seconds"]))
    add("Against a gate that answers at once (no parsing, no storing): send %.3f ms/doc "
        "(reference Trust Center %.3f),"
        % (null["ms_per_invoice"], send["ms_per_invoice"]))
    add("floor %.3f ms/invoice (reference Trust Center %.3f); qendix auto vs that floor: "
        "%.1fx slower." % (floor_null["ms_per_invoice"], floor["ms_per_invoice"],
                           floor_null["invoices_per_second"] / auto["invoices_per_second"]))
    envelopes = results.get("envelopes")
    if envelopes:
        add("")
        add("Envelopes per second: component 2 KB text %.0f, 100 KB PDF %.0f; "
            "openssl cms -encrypt per envelope %.0f and %.0f" % (
                envelopes["component_text"], envelopes["component_pdf"],
                envelopes["openssl_text"], envelopes["openssl_pdf"]))
    reg = results["register"]
    add("Register of {:,} entries: load {:.3f} s, duplicate query {:.1f} us, peak RSS {:.1f} MB "
        "(the program alone {:.1f} MB)".format(
            reg["entries"], reg["load_seconds"], 1e6 * reg["query_seconds"],
            reg["peak_rss_bytes"] / MB, reg["program_alone_rss_bytes"] / MB))
    add("")
    add("%-62s %-14s %-22s %s" % ("Target", "wanted", "measured", ""))
    for row in results["targets"]:
        add("%-62s %-14s %-22s %s" % (row["measure"], row["target"], row["measured"],
                                       "PASS" if row["met"] else "MISS"))
    if results["options"]["quick"]:
        add("(--quick: tiny sizes, the figures only show that the benchmark runs)")
    for note in results["notes"]:
        add("note: " + note)
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------


NULL_GATE_EVENTS = (
    "<?xml version=\"1.0\"?><methodResponse><params><param><value><array><data>%s</data></array>"
    "</value></param></params></methodResponse>" % "".join(
        "<value><array><data><value><i4>1</i4></value><value><i4>2</i4></value><value><i4>%d</i4>"
        "</value><value><i4>%d</i4></value><value><string></string></value><value><string>%s"
        "</string></value></data></array></value>" % (origin, code, text)
        for origin, code, text in ((5, 1001, "empfangen"), (6, 1002, "angenommen"))))


def serve_null_gate():
    """A gate on 127.0.0.1 that answers every document "accepted" at once, reading it but neither
    parsing nor keeping it; session, version query and centers document as the reference Trust
    Center answers them. Shows how much of a send is the reference Trust Center's."""
    import http.server

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def log_message(self, fmt, *args):
            pass

        def answer(self, body, content_type="text/xml"):
            body = body.encode()
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            if self.path in ("/qendix.xml", "/centers/qendix.xml"):
                self.answer('<?xml version="1.0" encoding="UTF-8"?>\n<centers xmlns="http://www.'
                            'qendix.org/centers/v1" version="1"><update url="%s/centers"/><center '
                            'label="TC test" url="%s/RPC2" rcpt="%s" tel="+41 44 000 00 00"/>'
                            '</centers>\n' % (base, base, RCPT))
            else:
                self.answer("<html><body>qendix</body></html>", "text/html")

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            method = re.search(rb"<methodName>([^<]*)</methodName>", body[:400])
            method = method.group(1).decode() if method else ""
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            if method == "qendix.session.new":
                reply = ("<struct><member><name>session</name><value><string>%s</string></value>"
                         "</member><member><name>gate</name><value><string>%s/gate/%s</string>"
                         "</value></member></struct>" % ("0" * 32, base, "0" * 32))
            elif method == "qendix.querynewversion":
                reply = ("<struct><member><name>build</name><value><string>0</string></value>"
                         "</member><member><name>url</name><value><string>%s/setup/x</string>"
                         "</value></member><member><name>notes</name><value><string></string>"
                         "</value></member></struct>" % base)
            elif method == "qendix.inputgate.write":
                self.answer(NULL_GATE_EVENTS)
                return
            else:
                reply = "<boolean>1</boolean>"
            self.answer("<?xml version=\"1.0\"?><methodResponse><params><param><value>%s"
                        "</value></param></params></methodResponse>" % reply)

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

    server = Server(("127.0.0.1", 0), Handler)
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"),
                        help="the build folder (default: build/ of the source tree)")
    parser.add_argument("--sizes", default="1000,10000",
                        help="numbers of invoices, comma-separated (default 1000,10000)")
    parser.add_argument("--read-files", type=int, default=10000,
                        help="files for the read-only run (default 10000)")
    parser.add_argument("--stock-sample", type=int, default=500,
                        help="invoices the stock-tool way handles (default 500)")
    parser.add_argument("--floor-sample", type=int, default=2000,
                        help="invoices the in-process floor handles (default 2000)")
    parser.add_argument("--register-entries", type=int, default=1000000,
                        help="entries of the large register (default 1000000)")
    parser.add_argument("--pdf-kb", type=int, default=30, help="size of a PDF slip (default 30)")
    parser.add_argument("--envelope-min-time", type=float, default=0.5,
                        help="seconds per envelope benchmark (default 0.5)")
    parser.add_argument("--json", help="where the figures go (default BUILD/bench/pipeline.json)")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sizes, a few seconds: shows that the benchmark runs")
    options = parser.parse_args(argv)
    if options.quick:
        options.sizes = "6,9"
        options.read_files = 10
        options.stock_sample = 3
        options.floor_sample = 6
        options.register_entries = 2000
        options.pdf_kb = 2
        options.envelope_min_time = 0.01
    try:
        options.sizes = sorted({int(s) for s in options.sizes.split(",")})
    except ValueError:
        parser.error("--sizes takes numbers separated by commas")
    if not options.sizes or min(options.sizes) < 3:
        parser.error("every size must be at least 3 (one invoice of each kind)")
    if min(options.read_files, options.stock_sample, options.floor_sample) < 1 or \
            options.register_entries < 1 or options.pdf_kb < 1:
        parser.error("counts and sizes must be positive")
    if options.stock_sample < 3 or options.floor_sample < 3:
        parser.error("--stock-sample and --floor-sample must be at least 3")
    if not options.json:
        options.json = os.path.join(options.build, "bench", "pipeline.json")
    return options


def main(argv):
    if argv == ["--serve-null-gate"]:
        return serve_null_gate()
    options = parse_args(argv)

    def stop(signum, frame):
        raise SystemExit(128 + signum)

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    bench = Bench(options)
    try:
        bench.setup()
        results = bench.run()
    except BenchError as error:
        print("pipeline benchmark: %s" % error, file=sys.stderr)
        return 1
    finally:
        bench.cleanup()
    print(table(results))
    os.makedirs(os.path.dirname(os.path.abspath(options.json)), exist_ok=True)
    with open(options.json, "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")
    print("figures written to %s" % options.json)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
