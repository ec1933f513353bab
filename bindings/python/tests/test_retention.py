"""Retention seen by a host: with "keepDays" in the settings, a job starts by removing the
expired day folders and day logs of the work directory and names each in an event."""

import datetime
import os
import unittest

import support
import qendix
from qendix import Level, MsgClass, Origin

REMOVED = 30


def setUpModule():
    with open(os.path.join(support.MODULE_DIR, "qendix.ini"), "w") as f:
        f.write("[globals]\nkeepDays=2\n")


class RetentionTest(unittest.TestCase):
    def test_the_first_step_of_a_job_removes_expired_days(self):
        inbox, work = support.folders(self)
        today = datetime.date.today()
        old = [today - datetime.timedelta(days=n) for n in (3, 400)]
        kept = today - datetime.timedelta(days=2)
        for day in old + [kept, today]:
            for folder in ("err", "archive"):
                os.makedirs(os.path.join(work, folder, day.isoformat()))
                support.write(os.path.join(work, folder, day.isoformat()), "a.xml",
                              support.XML_INVOICE)
        os.makedirs(os.path.join(work, "logs"))
        for day in old + [kept]:
            support.write(os.path.join(work, "logs"), day.isoformat() + ".log", b"1|1|2|0|0|x|y\n")

        with support.component(inbox, work) as q:
            events = list(q.run("auto"))
            removals = [e for e in events if e.code == REMOVED and e.mclass == MsgClass.MODULE]
            self.assertEqual(sorted(e.file for e in removals),
                             sorted(["%s/%s" % (f, d.isoformat()) for f in ("err", "archive")
                                     for d in old] +
                                    ["logs/%s.log" % d.isoformat() for d in old]))
            self.assertEqual({(e.level, e.origin) for e in removals}, {(Level.INFO, Origin.READER)})
            self.assertLess(events.index(removals[0]), events.index(
                next(e for e in events if e.mclass == MsgClass.COUNT)))
            self.assertEqual(removals[0].message, "Aufbewahrungsfrist abgelaufen: 1 Dateien entfernt")
            # Once per job: the next job finds nothing to remove.
            self.assertEqual([e for e in q.run("check") if e.code == REMOVED
                              and e.mclass == MsgClass.MODULE], [])

        for folder in ("err", "archive"):
            self.assertEqual(sorted(os.listdir(os.path.join(work, folder))),
                             sorted([kept.isoformat(), today.isoformat()]))
        self.assertEqual(sorted(os.listdir(os.path.join(work, "logs"))),
                         sorted([kept.isoformat() + ".log", today.isoformat() + ".log"]))
        # The day's log names what was removed.
        with open(os.path.join(work, "logs", today.isoformat() + ".log"), encoding="utf-8") as f:
            self.assertIn("|1|2|0|30|err/%s|" % old[0].isoformat(), f.read())


if __name__ == "__main__":
    unittest.main()
