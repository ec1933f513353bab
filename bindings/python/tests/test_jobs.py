"""Jobs from Python: events as they come (generator and callback), wait, cancel, busy, and what
happens to an exception in a callback. Read jobs only; they need no security client."""

import os
import threading
import unittest

import support
import qendix
from qendix import Level, MsgClass, Origin

# The limit of a safety wait: reached only when the binding is broken, never part of a verdict.
STUCK = 60


class JobsTest(unittest.TestCase):
    def setUp(self):
        self.inbox, self.work = support.folders(self)
        self.q = support.component(self.inbox, self.work)
        self.addCleanup(self.q.close)

    def invoices(self, *names):
        for name in names:
            support.write(self.inbox, name,
                          support.PDF if name.endswith(".pdf") else support.XML_INVOICE)

    def test_generator_yields_the_read_job_in_order(self):
        self.invoices("a.xml", "b.pdf")
        support.write(self.inbox, "notes.txt", b"no invoice\n")
        events = list(self.q.run("read"))
        shape = [(e.level, e.mclass, e.origin, e.code) for e in events]
        self.assertEqual(shape[0], (Level.INFO, MsgClass.MODULE, Origin.READER, 0))
        self.assertEqual(shape[1], (Level.INFO, MsgClass.COUNT, Origin.READER, 2))
        self.assertEqual(sorted(e.file for e in events if e.code == 2 and e.mclass == 2),
                         ["a.xml", "b.pdf"])
        self.assertTrue(events[-1].step_ended)
        self.assertEqual(events[-1].message, "Einlesen abgeschlossen: 2 kopiert, "
                                             "0 fehlerhafte Rechnungsdateien")
        self.assertEqual(sorted(os.listdir(os.path.join(self.work, "input"))), ["a.xml", "b.pdf"])
        self.assertEqual(os.listdir(self.inbox), ["notes.txt"])

    def test_generator_yields_an_event_while_the_job_still_runs(self):
        # A callback connected before the job's own gathering holds the job at its count event
        # until the generator has handed out the start event.
        self.invoices("a.xml")
        seen_start = threading.Event()
        held = []

        def hold(event):
            if event.mclass == MsgClass.COUNT:
                held.append(seen_start.wait(STUCK))

        self.q.advise(hold)
        events = self.q.run("read")
        first = next(events)
        self.assertEqual((first.code, first.mclass), (0, MsgClass.MODULE))
        seen_start.set()
        rest = list(events)
        self.assertEqual(held, [True])
        self.assertTrue(rest[-1].step_ended)

    def test_callback_and_wait(self):
        self.invoices("a.xml")
        got = []
        cookie = self.q.advise(got.append)
        job = self.q.start("read")
        self.assertTrue(job.wait())
        self.assertTrue(job.ended)
        self.assertEqual([e.code for e in got if e.mclass == MsgClass.MODULE], [0, 2, 1])
        self.q.unadvise(cookie)
        before = len(got)
        self.assertTrue(self.q.start("read").wait())
        self.assertEqual(len(got), before)

    def test_wait_with_a_timeout_while_the_job_is_held(self):
        release = threading.Event()
        self.q.advise(lambda e: e.code == 0 and e.mclass == 2 and release.wait(STUCK))
        job = self.q.start("read")
        self.assertFalse(job.wait(0))
        self.assertFalse(self.q.wait(0.01))
        self.assertFalse(job.ended)
        release.set()
        self.assertTrue(job.wait())
        self.assertTrue(self.q.wait(0))

    def test_busy_and_self_wait_from_inside_the_job(self):
        other = qendix.Component()
        self.addCleanup(other.close)
        caught = {}

        def on_event(event):
            if event.code != 0 or event.mclass != MsgClass.MODULE:
                return
            for key, call in (("start", lambda: other.start("read")),
                              ("wait", lambda: self.q.wait())):
                try:
                    call()
                except qendix.QendixError as e:
                    caught[key] = e

        self.q.advise(on_event)
        self.q.start("read").wait()
        self.assertIsInstance(caught["start"], qendix.BusyError)
        self.assertEqual(caught["start"].code, qendix.E_BUSY)
        self.assertEqual(caught["wait"].code, qendix.E_UNEXPECTED)
        self.assertIn("own thread", caught["wait"].text)

    def test_cancel_stops_before_the_next_file(self):
        self.invoices("a.xml", "b.xml", "c.pdf")
        job = None
        ready = threading.Event()

        def cancel_at_start(event):
            if event.code == 0 and event.mclass == MsgClass.MODULE and ready.wait(STUCK):
                job.cancel()

        self.q.advise(cancel_at_start)
        job = self.q.start("auto")
        ready.set()
        events = list(job.events())
        self.assertIn((Level.WARNING, 5), [(e.level, e.code) for e in events])
        self.assertEqual(events[-1].message, "Einlesen abgeschlossen: 0 kopiert, "
                                             "0 fehlerhafte Rechnungsdateien")
        # The later steps of the cancelled auto job do nothing and raise nothing.
        self.assertEqual({e.origin for e in events}, {Origin.READER})
        self.assertEqual(sorted(os.listdir(self.inbox)), ["a.xml", "b.xml", "c.pdf"])
        # The next job starts without the request.
        self.assertTrue(self.q.start("read").wait())
        self.assertEqual(os.listdir(self.inbox), [])

    def test_an_exception_in_a_callback_is_raised_by_wait(self):
        def broken(event):
            raise RuntimeError("host fault")

        self.q.advise(broken)
        job = self.q.start("read")
        with self.assertRaisesRegex(RuntimeError, "host fault"):
            job.wait()
        self.assertTrue(job.ended)
        self.assertTrue(self.q.wait())  # raised once

    def test_closing_during_a_job_lets_it_finish(self):
        self.invoices("a.xml")
        release = threading.Event()
        self.q.advise(lambda e: e.code == 0 and e.mclass == 2 and release.wait(STUCK))
        self.q.start("read")
        closer = threading.Thread(target=self.q.close)
        closer.start()
        release.set()
        closer.join()
        later = support.component(self.inbox, self.work)
        self.addCleanup(later.close)
        while True:  # the job lock is free once the closed component's job has ended
            try:
                later.start("read").wait()
                break
            except qendix.BusyError:
                threading.Event().wait(0.01)
        self.assertEqual(os.listdir(os.path.join(self.work, "input")), ["a.xml"])


if __name__ == "__main__":
    unittest.main()
