"""Python binding of the qendix component (libqendix.so), through ctypes on its C interface.

    import qendix
    with qendix.Component() as q:
        q["workDirectory"] = "/srv/praxis/work"
        for event in q.run("auto"):
            print(event.level.name, event.file or "", event.message)

See README.md ("Python") for the whole surface.
"""

from ._library import (BusyError, QendixError, OK, S_FALSE, E_BUSY, E_CLASSNOTAVAILABLE, E_FAIL,
                       E_INVALIDARG, E_NOCONNECTION, E_NOTIMPL, E_OUTOFMEMORY, E_POINTER,
                       E_UNEXPECTED, library)
from .component import (BOOL_PROPERTIES, JOBS, STRING_PROPERTIES, Component, Event, Job, Level,
                        MsgClass, Origin)

__all__ = ["BusyError", "QendixError", "OK", "S_FALSE", "E_BUSY", "E_CLASSNOTAVAILABLE", "E_FAIL",
           "E_INVALIDARG", "E_NOCONNECTION", "E_NOTIMPL", "E_OUTOFMEMORY", "E_POINTER",
           "E_UNEXPECTED", "library", "BOOL_PROPERTIES", "JOBS", "STRING_PROPERTIES",
           "Component", "Event", "Job", "Level", "MsgClass", "Origin"]
