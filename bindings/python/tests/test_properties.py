"""Properties by name, the results and texts of failures, and a closed component."""

import unittest

import support  # noqa: F401  (sets the environment first)
import qendix


class PropertiesTest(unittest.TestCase):
    def setUp(self):
        self.q = qendix.Component()
        self.addCleanup(self.q.close)

    def test_texts_and_options_round_trip(self):
        cases = [("inputDirectory", "/srv/Praxis Zürich/Rechnungen"),
                 ("workDirectory", "/srv/travail/éà"),
                 ("asasLogin", "praxis"),
                 ("workDirectory", ""),
                 ("asasLogin", None),
                 ("withPDF", True), ("withPDF", False),
                 ("withArchive", False), ("withArchive", True),
                 ("debug", True), ("debug", False)]
        for name, value in cases:
            with self.subTest(name=name, value=value):
                self.q[name] = value
                self.assertEqual(self.q[name], value)
                self.assertIs(type(self.q.get(name)), type(value))

    def test_read_only_values(self):
        props = self.q.properties()
        self.assertEqual(set(props), set(qendix.STRING_PROPERTIES + qendix.BOOL_PROPERTIES))
        self.assertIn("V2.1.14", props["qendixVersion"])
        self.assertIsInstance(props["withArchive"], bool)

    def test_failures_carry_code_and_text(self):
        cases = [(lambda: self.q.set("nonsense", "x"), qendix.E_INVALIDARG, "unknown property"),
                 (lambda: self.q.get("nonsense"), qendix.E_INVALIDARG, "unknown property"),
                 (lambda: self.q.set("ean", "7601000000017"), qendix.E_INVALIDARG,
                  "unknown property"),
                 (lambda: self.q.set("debug", "yes"), qendix.E_INVALIDARG, "boolean"),
                 (lambda: self.q.get("activateGUI"), qendix.E_NOTIMPL, "qendix_get"),
                 (lambda: self.q.start("dance"), qendix.E_INVALIDARG, "unknown job"),
                 (lambda: self.q.unadvise(4711), qendix.E_NOCONNECTION, "qendix_unadvise")]
        for call, code, text in cases:
            with self.subTest(text=text, code=code):
                with self.assertRaises(qendix.QendixError) as caught:
                    call()
                self.assertEqual(caught.exception.code, code)
                self.assertIn(text, caught.exception.text)
                self.assertIn("0x%08X" % (code & 0xFFFFFFFF), str(caught.exception))
                self.assertNotIsInstance(caught.exception, qendix.BusyError)

    def test_a_closed_component_refuses_every_call(self):
        self.q.close()
        self.q.close()
        for call in (lambda: self.q.get("debug"), lambda: self.q.start("read"),
                     lambda: self.q.wait(0), lambda: self.q.advise(print)):
            with self.assertRaises(qendix.QendixError) as caught:
                call()
            self.assertEqual(caught.exception.code, qendix.E_POINTER)


if __name__ == "__main__":
    unittest.main()
