"""Tests of native code run in a forked worker: a crash fails its own test.

A fault in a native loop can end the process that runs it; a segfault
mid-suite would otherwise take the whole run with it and name no test.  The
tests marked `forked` run, setup to teardown, in a worker process forked
from the test process, one after the other, each sending its reports back.
When the worker dies instead, the test it was running is reported as failed,
with the signal or exit status that ended it, and the next marked test
starts a new worker.  The test process itself never runs them.

`forked(address_space=BYTES, seconds=S)` runs the test under limits: its
address space may grow by BYTES beyond what the worker has mapped (where
the kernel keeps that limit), so an unbounded allocation fails the test
instead of taking the machine; after S seconds the worker is ended, so a
hang fails it too.

Where there is no fork (Windows), marked tests run in the test process.
"""

import os
import pickle
import signal
import struct
import traceback
import warnings
from contextlib import contextmanager

try:
    import resource
except ImportError:  # Windows: no limits
    resource = None

import pytest
from _pytest.reports import TestReport
from _pytest.runner import runtestprotocol

_LENGTH = struct.Struct("<q")


def _send(fd, payload):
    data = _LENGTH.pack(len(payload)) + payload
    while data:
        data = data[os.write(fd, data):]


def _read_exactly(fd, size):
    """`size` bytes from the pipe, or None if it ends first."""
    chunks = []
    while size:
        chunk = os.read(fd, min(size, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def _receive(fd):
    """The next message on the pipe, or None at its end."""
    header = _read_exactly(fd, _LENGTH.size)
    return None if header is None else _read_exactly(fd, _LENGTH.unpack(header)[0])


class Worker:
    """A forked copy of the test process that runs the tests it is sent."""

    def __init__(self, session):
        self.index = {id(item): position for position, item in enumerate(session.items)}
        command_read, self.commands = os.pipe()
        self.reports, report_write = os.pipe()
        # numpy's and scipy's BLAS start idle worker threads at import; they
        # survive a fork by their own fork handlers, and the worker runs on
        # one thread, so the interpreter's warning about forking them is moot.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
            self.pid = os.fork()
        if self.pid == 0:
            os.close(self.commands)
            os.close(self.reports)
            self._serve(session, command_read, report_write)
        os.close(command_read)
        os.close(report_write)

    @staticmethod
    def _serve(session, commands, reports):
        """The worker's life: run each test it is sent, until told to stop."""
        status = 1
        try:
            while (command := _receive(commands)) is not None:
                position, next_position = pickle.loads(command)
                item = session.items[position]
                nextitem = session.items[next_position] if next_position is not None else None
                hook = item.config.hook
                # What the worker set up for its last test and this one does not share ends first.
                item.session._setupstate.teardown_exact(item)
                with _limited(item):
                    results = runtestprotocol(item, log=False, nextitem=nextitem)
                serialised = [hook.pytest_report_to_serializable(config=item.config, report=r) for r in results]
                _send(reports, pickle.dumps(serialised))
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)

    def run(self, item, nextitem):
        """The test's reports, or None if the worker died running it."""
        next_position = self.index.get(id(nextitem)) if nextitem is not None else None
        try:
            _send(self.commands, pickle.dumps((self.index[id(item)], next_position)))
        except BrokenPipeError:
            return None
        reply = _receive(self.reports)
        if reply is None:
            return None
        hook = item.config.hook
        return [hook.pytest_report_from_serializable(config=item.config, data=data) for data in pickle.loads(reply)]

    def end(self):
        """How the worker ended, once it has: its pipes closed, its status read."""
        os.close(self.commands)
        os.close(self.reports)
        _, status = os.waitpid(self.pid, 0)
        if os.WIFSIGNALED(status):
            number = os.WTERMSIG(status)
            return f"signal {number} ({signal.Signals(number).name})"
        return f"exit status {os.WEXITSTATUS(status)}"


@contextmanager
def _limited(item):
    """The limits the test's marker asks for, held while it runs."""
    limits = item.get_closest_marker("forked").kwargs
    previous = resource.getrlimit(resource.RLIMIT_AS) if resource is not None else None
    if limits.get("address_space") and previous is not None and os.path.exists("/proc/self/statm"):
        with open("/proc/self/statm") as statm:  # the address space mapped, in pages
            mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + limits["address_space"], previous[1]))
    signal.alarm(limits.get("seconds", 0))
    try:
        yield
    finally:
        signal.alarm(0)
        if previous is not None:
            resource.setrlimit(resource.RLIMIT_AS, previous)


_WORKER = pytest.StashKey()  # the live worker, if any


def pytest_configure(config):
    config.addinivalue_line("markers", "forked(address_space=BYTES, seconds=S): run the test in a forked worker, so"
                            " that a crash fails it alone; optionally with its memory and time bounded")
    config.stash[_WORKER] = None


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if item.get_closest_marker("forked") is None or not hasattr(os, "fork"):
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    worker = item.config.stash[_WORKER] or Worker(item.session)
    reports = worker.run(item, nextitem)
    if reports is None:
        ended = worker.end()
        worker = None
        reports = [
            TestReport(
                nodeid=item.nodeid,
                location=item.location,
                keywords=dict.fromkeys(item.keywords, 1),
                outcome="failed",
                longrepr=f"{item.nodeid}: the test worker crashed, ended by {ended}",
                when="call",
            )
        ]
    item.config.stash[_WORKER] = worker
    # What this process set up for earlier tests (a module's fixtures) and the
    # next test does not share ends here, as it would after a test run here.
    item.session._setupstate.teardown_exact(nextitem)
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_sessionfinish(session):
    worker = session.config.stash.get(_WORKER, None)
    if worker is not None:
        session.config.stash[_WORKER] = None
        worker.end()
