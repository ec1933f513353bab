#!/usr/bin/env python3
"""Crash campaign: `qendix auto` killed at random instants, again and again, and checked after
each kill.

Phase "kill": one `qendix auto` at a time on a mixed invoice folder (XML invoices of versions 4.0,
4.5 and 5.0 with their PDF payment slips, GNI invoices with theirs, withPDF on) against the
reference Trust Center, which now and then fails on purpose (--fail modes with --fail-after); each
run is killed with SIGKILL at a random instant. Phase "pair": two `qendix auto` started together
(the second a random moment later), with Cancel (SIGINT, which the command turns into Cancel) or
SIGKILL sent at random instants.

After every kill or round:
  - nothing lost: each invoice is in the invoice folder, a work folder (input, valid, output,
    archive, err) or was accepted by the Trust Center and is in the sent-invoice register; each
    slip likewise, or sealed inside its invoice's transfer document;
  - no invoice delivered more than once per kill;
  - no clear-text folder (TMPDIR/qendix-msg-*) of a dead process left once the next job started;
  - the register, settings and Trust Center directory files intact and parseable;
  - pair phase: every process ends within --deadline seconds (no deadlock) and the two never run
    a job at the same time.
At the end the Trust Center is made sound and `qendix auto` runs to completion: every invoice is
then delivered and registered or in the error folder, every slip delivered inside its invoice's
document (or in the error folder), nothing waits, and no hidden temporary file is left.

    tools/crash_campaign.py [--build build] [--kills 200] [--pairs 50] [--seed N]

Prints one line per figure and exits 1 when an invariant was broken. Needs build/bin/qendix,
build/bin/asasctl, build/lib/libasas.so.1, python3 and openssl; talks only to 127.0.0.1.
"""

import argparse
import configparser
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
SAMPLES = os.path.join(SOURCE, "tests", "formats", "data")
STEM = re.compile(r"inv\d{5}")
REGISTER_LINE = re.compile(r"[^|\r\n]+\|[^|\r\n]+\|\d+\|[^|\r\n]*")
WRITE = "qendix.inputgate.write"
# Failure modes of the Trust Center, each for a stretch of runs (none = sound). A refusal sets
# every document aside for good, so it is left to the Sender's own tests.
TC_MODES = [[], [], [], ["--fail", "http500"], ["--fail", "fault"], ["--fail", "drop"],
            ["--fail", "truncated"], ["--fail", "malformed"], ["--slow", "0.3"]]


def clean_reference(text):
    """The file-name key of a coding line or reference, as the component makes it."""
    text = text.replace(" ", "")
    for c in "+-<>":
        text = text.replace(c, "_")
    return text


class Campaign:
    def __init__(self, options):
        self.o = options
        self.rng = random.Random(options.seed)
        self.root = options.work or tempfile.mkdtemp(prefix="qendix-campaign-")
        self.build = os.path.abspath(options.build)
        self.dirs = {}
        for name in ("module", "in", "work", "tmp", "store", "asas", "keys", "runs"):
            self.dirs[name] = os.path.join(self.root, name)
            os.makedirs(self.dirs[name], mode=0o700, exist_ok=True)
        self.invoices = {}  # stem -> {"id", "slip"}
        self.counter = 0
        self.tc = None
        self.tc_port = 0
        self.tc_mode = []
        self.failures = []
        self.kills = 0
        self.cancels = 0
        self.started_runs = 0
        self.max_extra = 0
        self.busy = 0
        self.deadlocks = 0
        self.overlaps = 0
        self.stale_seen = 0
        self.may_remain = set()

    # Setup -----------------------------------------------------------------------------------

    def env(self):
        return {"PATH": "/usr/bin:/bin", "ASAS_HOME": self.dirs["asas"],
                "QENDIX_ASAS_LIBRARY": os.path.join(self.build, "lib", "libasas.so.1"),
                "QENDIX_LOCK_FILE": os.path.join(self.root, "lock"),
                "TMPDIR": self.dirs["tmp"], "LANGUAGE": "de"}

    def setup(self):
        asasctl = os.path.join(self.build, "bin", "asasctl")
        key, cert = (os.path.join(self.dirs["keys"], n) for n in ("tc-test.key", "tc-test.crt"))
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                     env=self.env())
        subprocess.run([asasctl, "init"], **quiet)
        subprocess.run([asasctl, "login", "add", "praxis", "--identity", "drmuster"], **quiet)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=tc-test", "-keyout", key, "-out", cert], **quiet)
        subprocess.run([asasctl, "cert", "import", "tc-test", cert], **quiet)
        self.key, self.cert = key, cert
        self.start_tc([])
        base = "http://127.0.0.1:%d" % self.tc_port
        with open(os.path.join(self.dirs["module"], "qendix.xml"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                    '<centers xmlns="http://www.qendix.org/centers/v1" version="1">\n'
                    '  <update url="%s/centers"/>\n'
                    '  <center label="TC test" url="%s/RPC2" rcpt="tc-test"/>\n'
                    '</centers>\n' % (base, base))
        self.argv = [os.path.join(self.build, "bin", "qendix"), "--json",
                     "--module-dir", self.dirs["module"],
                     "--set", "inputDirectory=" + self.dirs["in"],
                     "--set", "workDirectory=" + self.dirs["work"],
                     "--set", "asasLogin=praxis", "--set", "trustCenter=TC test",
                     "--set", "withPDF=true", "auto"]

    def start_tc(self, mode):
        """(Re)starts the reference Trust Center on the same port with failure flags `mode`."""
        self.stop_tc()
        flags = list(mode)
        if mode:
            flags += ["--fail-only", WRITE, "--fail-after", str(self.rng.randint(0, 3))]
        out = os.path.join(self.root, "tc.out")
        for _ in range(50):
            self.tc = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "trustcenter", "trustcenter.py"),
                 "--port", str(self.tc_port), "--store", self.dirs["store"],
                 "--key", self.key, "--cert", self.cert] + flags,
                stdout=open(out, "w"), stderr=subprocess.DEVNULL)
            for _ in range(100):
                text = open(out).read()
                if "listening on" in text or self.tc.poll() is not None:
                    break
                time.sleep(0.05)
            match = re.search(r"listening on 127\.0\.0\.1:(\d+)", open(out).read())
            if match:
                self.tc_port = int(match.group(1))
                self.tc_mode = flags
                return
            self.tc.wait()
            time.sleep(0.2)  # the port is still held by the server just stopped
        raise SystemExit("the reference Trust Center does not start")

    def stop_tc(self):
        if self.tc and self.tc.poll() is None:
            self.tc.terminate()
            self.tc.wait()
        self.tc = None

    # Invoices --------------------------------------------------------------------------------

    def new_batch(self):
        """Four invoices with their slips: XML 4.0, 4.5 and 5.0 (samples with new identifiers and
        references) and GNI."""
        kinds = [("xmlinvoice/400_tg_kvg_de.xml", "40"),
                 ("xmlinvoice-current/4.5/elexis_450_tp_kvg_esr9_tarpoint.xml", "45"),
                 ("xmlinvoice-current/5.0/elexis_500_tg_vvg_esrqr_partners.xml", "50"),
                 (None, "gni")]
        for sample, kind in kinds:
            self.counter += 1
            n = self.counter
            stem = "inv%05d" % n
            ref = "%027d" % (990000000 + n)
            if sample is None:
                ident = "G-%05d" % n
                line = "01%08d>%s+ 010001628>" % (n, ref[-15:])
                text = ("[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=M\xfcller\r\n133=Hans\r\n"
                        "136=8001\r\n155=1965\r\n157=1203\r\n[INFC1]\r\n115=%s\r\n119=12550\r\n"
                        "[BVR1]\r\n200=%s\r\n" % (ident, line)).encode("latin-1")
                name = stem + ".gni"
            else:
                with open(os.path.join(SAMPLES, sample), "rb") as f:
                    text = f.read().decode("utf-8")
                if kind == "40":
                    ident = "CC%05d" % n
                    text = text.replace('invoice_id="003294000012"', 'invoice_id="%s"' % ident)
                    text = text.replace("123456200001888888888888885", ref)
                    line = "0100002514506>%s+ 010001628>" % ref
                elif kind == "45":
                    ident = "45%05d" % n
                    text = text.replace('request_id="123"', 'request_id="%s"' % ident)
                    text = text.replace("000000000000000000000001236", ref)
                    line = "0100000111555>%s+ 010004325>" % ref
                else:
                    ident = "50%05d" % n
                    text = text.replace('request_id="000001000001"',
                                        'request_id="%s"' % ident)
                    text = text.replace("154530000000000000010000018", ref)
                    line = ref
                text = text.encode("utf-8")
                name = stem + ".xml"
            slip = clean_reference(line) + stem + ".pdf"
            self.write_in(slip, b"%PDF-1.4\n% slip " + stem.encode() + b"\n" + b"x" * 3000)
            self.write_in(name, text)
            self.invoices[stem] = {"id": ident, "slip": slip}

    def write_in(self, name, data):
        path = os.path.join(self.dirs["in"], name)
        tmp = os.path.join(self.dirs["in"], "." + name + ".writing")
        with open(tmp, "wb") as f:
            f.write(data)
        os.rename(tmp, path)  # the practice software's file appears whole

    # Runs ------------------------------------------------------------------------------------

    def spawn(self, tag):
        self.started_runs += 1
        out = open(os.path.join(self.dirs["runs"], tag + ".out"), "wb")
        return subprocess.Popen(self.argv, env=self.env(), cwd=self.dirs["tmp"],
                                stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT), out.name

    def run_to_end(self, tag, timeout=600):
        proc, out = self.spawn(tag)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            self.fail("%s: qendix auto did not end within %d s" % (tag, timeout))
        return proc.returncode, out

    @staticmethod
    def events(out):
        events = []
        with open(out, "rb") as f:
            for line in f.read().decode("utf-8", "replace").splitlines():
                if line.startswith("{"):
                    try:
                        events.append(json.loads(line))
                    except ValueError:
                        pass  # the line the kill cut
        return events

    # Checks ----------------------------------------------------------------------------------

    def fail(self, text):
        self.failures.append(text)
        print("FAULT: " + text, flush=True)

    def files_below(self, folder):
        """(relative folder, name) of every file below `folder`, hidden ones included."""
        found = []
        for parent, _, names in os.walk(folder):
            for name in names:
                found.append((os.path.relpath(parent, folder), name))
        return found

    def accepted(self):
        """Trust Center: stem -> times accepted, and the slip names opened inside each."""
        counts, slips = {}, set()
        try:
            log = open(os.path.join(self.dirs["store"], "received.log")).read()
        except FileNotFoundError:
            log = ""
        for line in log.splitlines():
            fields = line.split("\t")
            if len(fields) >= 4 and fields[2] == "accepted":
                match = STEM.search(fields[3])
                if match:
                    counts[match.group(0)] = counts.get(match.group(0), 0) + 1
        accepted_dir = os.path.join(self.dirs["store"], "accepted")
        for entry in os.listdir(accepted_dir):
            if entry.endswith(".parts"):
                for part in os.listdir(os.path.join(accepted_dir, entry)):
                    slips.add(part)
        return counts, slips

    def register(self, when):
        """The register's identifiers; a fault when the file is not an intact register."""
        path = os.path.join(self.dirs["module"], "qendix.log")
        try:
            data = open(path, "rb").read()
        except FileNotFoundError:
            return set()
        text = data.decode("latin-1")
        lines = text.split("\r\n")
        if lines[0].lstrip("\ufeff") != "qxdl-1.0":
            self.fail("%s: the register does not start with its header" % when)
        ids = set()
        for i, line in enumerate(lines[1:], 1):
            if not line:
                continue
            if not REGISTER_LINE.fullmatch(line):
                # The last line may be cut by a kill during its append; anything else is damage.
                if i != len(lines) - 1:
                    self.fail("%s: register line %d is damaged: %r" % (when, i, line[:80]))
                continue
            ids.add(line.split("|")[0])
        return ids

    def check_files_parse(self, when):
        settings = os.path.join(self.dirs["module"], "qendix.ini")
        if os.path.exists(settings):
            parser = configparser.ConfigParser(strict=False, interpolation=None)
            try:
                parser.read_string(open(settings, "rb").read().decode("latin-1"))
                text = open(settings, "rb").read().decode("latin-1")
                if self.dirs["work"] not in text:
                    self.fail("%s: the settings lost the work directory" % when)
            except (configparser.Error, UnicodeDecodeError) as error:
                self.fail("%s: the settings file does not parse: %s" % (when, error))
        try:
            root = ET.parse(os.path.join(self.dirs["module"], "qendix.xml")).getroot()
            if not any(c.get("label") == "TC test" for c in root.iter()
                       if c.tag.endswith("center")):
                self.fail("%s: the Trust Center directory lost its center" % when)
        except (ET.ParseError, OSError) as error:
            self.fail("%s: the Trust Center directory does not parse: %s" % (when, error))

    def where(self):
        """stem -> set of places where the invoice file is; slip name -> places."""
        places, slip_places = {}, {}
        for key, folder in (("in", self.dirs["in"]), ("work", self.dirs["work"])):
            for rel, name in self.files_below(folder):
                place = key if rel == "." else rel.split(os.sep)[0]
                if name.startswith("."):
                    continue
                if name.endswith(".pdf"):
                    slip_places.setdefault(name, set()).add(place)
                    continue
                match = STEM.search(name)
                if match:
                    places.setdefault(match.group(0), set()).add(place)
                    if place in ("output", "archive", "err"):
                        # A transfer document carries its slip sealed, under the slip's name.
                        stem = match.group(0)
                        slip = self.invoices.get(stem, {}).get("slip")
                        if slip:
                            path = os.path.join(folder, rel, name)
                            try:
                                if slip.encode() in open(path, "rb").read():
                                    slip_places.setdefault(slip, set()).add(place + "-document")
                            except OSError:
                                pass
        return places, slip_places

    def check_nothing_lost(self, when):
        places, slip_places = self.where()
        counts, opened = self.accepted()
        registered = self.register(when)
        extra = 0
        for stem, info in self.invoices.items():
            delivered = counts.get(stem, 0)
            extra += max(0, delivered - 1)
            if not places.get(stem) and not (delivered and info["id"] in registered):
                self.fail("%s: %s lost (delivered %d, registered %s)"
                          % (when, stem, delivered, info["id"] in registered))
            slip = info["slip"]
            if not slip_places.get(slip) and not any(p.endswith(slip) for p in opened):
                self.fail("%s: slip of %s lost" % (when, stem))
        if extra > self.kills:
            self.fail("%s: %d extra deliveries after %d kills" % (when, extra, self.kills))
        self.max_extra = max(self.max_extra, extra)
        self.check_files_parse(when)
        return extra

    def check_stale_clear_text(self, when, started, killed):
        """No clear-text folder (TMPDIR/qendix-msg-<pid>-*) of a dead process may be left once a
        later job started: a job removes those of processes killed before it started. `started`:
        a job of this run or round started; `killed`: the processes it killed."""
        self.may_remain = set(killed) if started else self.may_remain | set(killed)
        for name in os.listdir(self.dirs["tmp"]):
            match = re.fullmatch(r"qendix-msg-(\d+)-\w{6}", name)
            if not match:
                self.fail("%s: unexpected file in TMPDIR: %s" % (when, name))
            elif int(match.group(1)) in self.may_remain:
                self.stale_seen += 1
            else:
                self.fail("%s: clear-text folder %s of a dead process left after a job started"
                          % (when, name))

    # Phases ----------------------------------------------------------------------------------

    def measure(self):
        self.new_batch()
        begin = time.monotonic()
        status, out = self.run_to_end("measure")
        seconds = time.monotonic() - begin
        counts, _ = self.accepted()
        if status != 0 or len(counts) != 4:
            raise SystemExit("the first run did not deliver its batch (status %d); see %s"
                             % (status, out))
        return seconds

    def pending(self):
        """How many invoices wait in the invoice folder or a folder before the archive."""
        places, _ = self.where()
        return sum(1 for p in places.values() if p & {"in", "input", "valid", "output"})

    def kill_phase(self, estimate):
        """Runs until --kills runs were killed; a run that ends before its instant counts as a
        completed run and tunes the estimate of a run's length the instants are drawn from."""
        run = 0
        while self.kills < self.o.kills and run < 5 * self.o.kills:
            if run % 10 == 0:
                self.start_tc(self.rng.choice(TC_MODES))
            if self.pending() < 4 or (run % 5 == 0):
                self.new_batch()
            proc, out = self.spawn("kill-%04d" % run)
            begin = time.monotonic()
            delay = self.rng.uniform(0, estimate * 1.5)
            try:
                proc.wait(delay)
                estimate = 0.7 * estimate + 0.3 * (time.monotonic() - begin)
                what = "completed run %d" % run
            except subprocess.TimeoutExpired:
                proc.send_signal(signal.SIGKILL)
                proc.wait()
                self.kills += 1
                what = "kill %d (run %d, at %.2f s)" % (self.kills, run, delay)
            run += 1
            when = "after %s (%s)" % (what, " ".join(self.tc_mode) or "sound")
            self.check_stale_clear_text(when, bool(self.events(out)), [proc.pid])
            self.check_nothing_lost(when)
            if run % 20 == 0:
                print("kill phase: %d runs, %d kills, %d invoices, %d fault(s)"
                      % (run, self.kills, len(self.invoices), len(self.failures)), flush=True)

    def pair_phase(self, run_seconds):
        for r in range(self.o.pairs):
            if r % 10 == 0:
                self.start_tc(self.rng.choice(TC_MODES))
            if self.pending() < 4:
                self.new_batch()
            procs, stamps, killed = [], [], []
            begin = time.monotonic()
            instant = self.rng.uniform(0, run_seconds * 0.8)
            for i in range(2):
                if i == 1:
                    time.sleep(self.rng.uniform(0, run_seconds / 2))
                proc, out = self.spawn("pair-%03d-%d" % (r, i))
                procs.append((proc, out))
                stamps.append(self.watch(out, proc))
            action = self.rng.choice(["none", "cancel0", "cancel1", "cancelboth", "cancelboth",
                                      "kill0", "kill1"])
            time.sleep(max(0, begin + instant - time.monotonic()))
            for i, (proc, _) in enumerate(procs):
                if proc.poll() is not None:
                    continue
                if action in ("cancel%d" % i, "cancelboth"):
                    proc.send_signal(signal.SIGINT)  # the command calls Cancel
                    self.cancels += 1
                elif action == "kill%d" % i:
                    proc.send_signal(signal.SIGKILL)
                    self.kills += 1
                    killed.append(proc.pid)
            for i, (proc, _) in enumerate(procs):
                try:
                    proc.wait(self.o.deadline)
                except subprocess.TimeoutExpired:
                    self.deadlocks += 1
                    self.fail("round %d: process %d still runs %d s after the round (deadlock)"
                              % (r, i, self.o.deadline))
                    proc.kill()
                    proc.wait()
                if proc.returncode == 3:
                    self.busy += 1
                elif proc.returncode not in (0, 1, 130, -signal.SIGKILL, -signal.SIGINT):
                    self.fail("round %d: process %d ended with status %d"
                              % (r, i, proc.returncode))
            for thread, _ in stamps:
                thread.join()
            self.check_one_job_at_a_time(r, [s for _, s in stamps])
            when = "after round %d (%s, %s)" % (r, action, " ".join(self.tc_mode) or "sound")
            started = any(events for _, events in stamps)
            self.check_stale_clear_text(when, started, killed)
            self.check_nothing_lost(when)
            if (r + 1) % 10 == 0:
                print("pair phase: %d rounds, %d cancels, %d busy, %d fault(s)"
                      % (r + 1, self.cancels, self.busy, len(self.failures)), flush=True)

    def watch(self, out, proc):
        """Stamps each event line of a process's output with the time it appeared."""
        stamps = []

        def follow():
            seen = 0
            while True:
                done = proc.poll() is not None
                events = self.events(out)
                now = time.monotonic()
                for event in events[seen:]:
                    stamps.append((now, event))
                seen = len(events)
                if done:
                    return
                time.sleep(0.005)

        thread = threading.Thread(target=follow)
        thread.start()
        return thread, stamps

    def check_one_job_at_a_time(self, r, stamps):
        """The span of each process's job: first event to the last one raised while it held the
        job lock (the Sender's end event comes after the lock went back). Another process's
        events inside that span, beyond the polling's slack, mean two jobs at once."""
        spans = []
        for events in stamps:
            if not events:
                spans.append(None)
                continue
            last = len(events) - 1
            e = events[last][1]
            if last > 0 and e.get("origin") == 4 and e.get("code") == 1 and e.get("class") == 2:
                last -= 1
            spans.append((events[0][0], events[last][0]))
        slack = 0.05
        for i in (0, 1):
            if spans[i] is None:
                continue
            begin, end = spans[i]
            inside = [t for t, _ in stamps[1 - i] if begin + slack < t < end - slack]
            if len(inside) >= 2:
                self.overlaps += 1
                self.fail("round %d: %d events of process %d while process %d ran its job"
                          % (r, len(inside), 1 - i, i))

    def settle(self):
        """A sound Trust Center and runs to the end: everything is delivered or set aside."""
        self.start_tc([])
        for i in range(3):
            self.run_to_end("settle-%d" % i)
        when = "at the end"
        self.check_nothing_lost(when)
        self.check_stale_clear_text(when, True, [])
        places, slip_places = self.where()
        counts, opened = self.accepted()
        registered = self.register(when)
        delivered, in_err, separated = 0, 0, 0
        for stem, info in sorted(self.invoices.items()):
            waiting = places.get(stem, set()) - {"archive", "err"}
            if waiting:
                self.fail("%s: %s still waits in %s" % (when, stem, ", ".join(sorted(waiting))))
            if counts.get(stem) and "err" in places.get(stem, set()) and \
                    info["id"] not in registered:
                # Accepted by a run killed before it registered the invoice, then refused by
                # the Trust Center when it went again: set aside, as a refusal is.
                in_err += 1
            elif counts.get(stem):
                delivered += 1
                if info["id"] not in registered:
                    self.fail("%s: %s delivered but not registered" % (when, stem))
                if not any(p.endswith(info["slip"]) for p in opened):
                    separated += 1
                    self.fail("%s: %s delivered without its slip (slip in %s)"
                              % (when, stem, ", ".join(sorted(slip_places.get(info["slip"], {"-"})))))
            elif "err" in places.get(stem, set()):
                in_err += 1
            else:
                self.fail("%s: %s neither delivered nor in the error folder" % (when, stem))
        for folder in (self.dirs["work"], self.dirs["module"], self.dirs["in"]):
            for rel, name in self.files_below(folder):
                if name.startswith("."):
                    self.fail("%s: hidden temporary file left: %s" % (when, os.path.join(rel, name)))
        extra = sum(max(0, n - 1) for n in counts.values())
        return {"delivered": delivered, "in_err": in_err, "extra": extra,
                "most": max(counts.values(), default=0), "separated": separated}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"),
                        help="build folder with bin/qendix, bin/asasctl, lib/libasas.so.1")
    parser.add_argument("--kills", type=int, default=200, help="SIGKILLs of the kill phase")
    parser.add_argument("--pairs", type=int, default=50, help="rounds of the pair phase")
    parser.add_argument("--seed", type=int, default=12, help="seed of the random instants")
    parser.add_argument("--deadline", type=int, default=180,
                        help="seconds a process may take after its round (deadlock check)")
    parser.add_argument("--work", help="folder for the campaign (default: a new temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the folder afterwards")
    options = parser.parse_args(argv)
    begin = time.monotonic()
    campaign = Campaign(options)
    try:
        campaign.setup()
        run_seconds = campaign.measure()
        print("a run of one batch takes %.2f s" % run_seconds, flush=True)
        campaign.kill_phase(run_seconds)
        campaign.pair_phase(run_seconds)
        result = campaign.settle()
    finally:
        campaign.stop_tc()
    elapsed = time.monotonic() - begin
    print("runs started: %d, SIGKILLs survived: %d, Cancels: %d, busy answers: %d"
          % (campaign.started_runs, campaign.kills, campaign.cancels, campaign.busy))
    print("invoices: %d, delivered and registered: %d, refused by the Trust Center (error "
          "folder): %d, lost: %d" % (len(campaign.invoices), result["delivered"], result["in_err"],
                                     sum(" lost" in f for f in campaign.failures)))
    print("extra deliveries: %d (%.3f per kill, at most %d deliveries of one invoice), slips "
          "separated from their invoice: %d" % (result["extra"], result["extra"] /
                                                max(1, campaign.kills), result["most"],
                                                result["separated"]))
    print("clear-text folders of a killed run seen before the next job removed them: %d"
          % campaign.stale_seen)
    print("deadlocks: %d, two jobs at once: %d, faults: %d, time: %.0f s"
          % (campaign.deadlocks, campaign.overlaps, len(campaign.failures), elapsed))
    if options.keep or campaign.failures:
        print("campaign folder: " + campaign.root)
    else:
        shutil.rmtree(campaign.root, ignore_errors=True)
    return 1 if campaign.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
