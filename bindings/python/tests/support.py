"""What every test process of the binding shares: a private folder for the module folder and the
job lock, set in the environment before the library is loaded (the module reads them once per
process), and small helpers for invoice files.

The environment comes from ctest (tests/python/CMakeLists.txt): QENDIX_LIBRARY (the library
under test), QENDIX_BUILD_DIR (asasctl, libasas.so.1) and QENDIX_SOURCE_DIR (the reference
Trust Center)."""

import atexit
import os
import shutil
import sys
import tempfile

ROOT = tempfile.mkdtemp(prefix="qendix-python-")
atexit.register(shutil.rmtree, ROOT, True)
MODULE_DIR = os.path.join(ROOT, "module")
os.makedirs(MODULE_DIR, mode=0o700)
os.environ["QENDIX_MODULE_DIR"] = MODULE_DIR
os.environ["QENDIX_LOCK_FILE"] = os.path.join(ROOT, "job.lock")
os.environ["TMPDIR"] = ROOT
os.environ["LANGUAGE"] = "de"
BUILD_DIR = os.environ.get("QENDIX_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("QENDIX_SOURCE_DIR",
                            os.path.join(os.path.dirname(__file__), "..", "..", ".."))
if BUILD_DIR:
    os.environ.setdefault("QENDIX_ASAS_LIBRARY", os.path.join(BUILD_DIR, "lib", "libasas.so.1"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import qendix  # noqa: E402  (after the environment is set)

XML_INVOICE = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
               b'<request xmlns="http://www.xmlData.ch/xmlInvoice/XSD"/>\n')
PDF = b"%PDF-1.4\n% slip\n"


def folders(test):
    """A fresh invoice folder and work directory for one test: (inbox, work)."""
    base = tempfile.mkdtemp(dir=ROOT)
    inbox, work = os.path.join(base, "in"), os.path.join(base, "work")
    os.mkdir(inbox, 0o700)
    os.mkdir(work, 0o700)
    return inbox, work


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def component(inbox, work):
    """A Component set to the given folders; closed at the end of the calling test's cleanup."""
    q = qendix.Component()
    q["inputDirectory"] = inbox
    q["workDirectory"] = work
    return q
