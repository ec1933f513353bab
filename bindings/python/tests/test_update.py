"""The update question through set_prompt: a Send job against the reference Trust Center on
loopback, which names a newer build, with the security client of the build (a private
ASAS_HOME administered with asasctl, as the integration tests and scripts/demo set it up)."""

import os
import re
import subprocess
import sys
import time
import unittest

import support
import qendix


def setUpModule():
    global tc, store
    if not support.BUILD_DIR:
        raise unittest.SkipTest("QENDIX_BUILD_DIR is not set (run through ctest)")
    root = support.ROOT
    os.environ["ASAS_HOME"] = os.path.join(root, "asas")
    asasctl = os.path.join(support.BUILD_DIR, "bin", "asasctl")
    key, cert = os.path.join(root, "tc.key"), os.path.join(root, "tc.crt")
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run([asasctl, "init"], **quiet)
    subprocess.run([asasctl, "login", "add", "praxis", "--identity", "drmuster"], **quiet)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=tc-test", "-keyout", key, "-out", cert], **quiet)
    subprocess.run([asasctl, "cert", "import", "tc-test", cert], **quiet)
    store = os.path.join(root, "store")
    out = os.path.join(root, "tc.out")
    tc = subprocess.Popen([sys.executable,
                           os.path.join(support.SOURCE_DIR, "tools", "trustcenter",
                                        "trustcenter.py"),
                           "--port", "0", "--store", store, "--key", key, "--cert", cert,
                           "--newest-build", "999999999"],
                          stdout=open(out, "w"), stderr=subprocess.DEVNULL)
    port = None
    while port is None and tc.poll() is None:
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", open(out).read())
        port = match and match.group(1)
        time.sleep(0.02)
    if port is None:
        raise RuntimeError("the reference Trust Center did not start")
    base = "http://127.0.0.1:" + port
    with open(os.path.join(support.MODULE_DIR, "qendix.xml"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<centers xmlns="http://www.qendix.org/centers/v1" version="1">\n'
                '  <update url="%s/centers"/>\n'
                '  <center label="TC test" url="%s/RPC2" rcpt="tc-test"/>\n'
                '</centers>\n' % (base, base))


def tearDownModule():
    tc.terminate()
    tc.wait()


class UpdateQuestionTest(unittest.TestCase):
    def setUp(self):
        self.inbox, self.work = support.folders(self)
        self.q = support.component(self.inbox, self.work)
        self.addCleanup(self.q.close)
        self.q["asasLogin"] = "praxis"
        self.q["trustCenter"] = "TC test"
        self.assertEqual(self.q["trustCenter"], "TC test")

    def send(self):
        events = list(self.q.run("send"))
        self.assertTrue(events[-1].step_ended, events)
        self.assertNotIn(qendix.Level.ERROR, [e.level for e in events], events)
        return events

    def assert_nothing_started(self):
        self.assertFalse(os.path.exists(os.path.join(self.work, "qendix-setup")))

    def test_a_no_starts_nothing(self):
        asked = []
        self.q.set_prompt(lambda title, text: asked.append((title, text)) and False)
        self.send()
        self.assertEqual(asked, [("qendix-Praxis",
                                  "Eine neue Version der Software ist erhältlich. "
                                  "Jetzt upgraden?")])
        self.assert_nothing_started()

    def test_a_prompt_that_raises_answers_no(self):
        def broken(title, text):
            raise ValueError("no terminal")

        self.q.set_prompt(broken)
        with self.assertRaisesRegex(ValueError, "no terminal"):
            self.send()
        self.assert_nothing_started()

    def test_a_removed_prompt_is_not_asked(self):
        asked = []
        self.q.set_prompt(lambda title, text: asked.append(title))
        self.q.set_prompt(None)
        self.send()
        self.assertEqual(asked, [])
        self.assert_nothing_started()


if __name__ == "__main__":
    unittest.main()
