"""pytest plugin of scripts/gpu_check.sh: one line per event in the file named by --results-file,
written as it happens, so that a process killed mid-test still leaves what it did. Each line
starts with the --results-phase name and a tab:

    COLLECTED <tab> nodeid          every test the process will run, before the first starts
    START <tab> nodeid              a test begins
    PASSED|FAILED|ERROR|SKIPPED <tab> nodeid <tab> seconds
    CONTEXT-LOST <tab> nodeid       the CUDA context was unusable after this test failed
    COLLECT-ERROR <tab> nodeid      a file (or class) could not be collected: an import error

A test with START and no outcome died with its process (a crash or --test-timeout). After a
failed test the plugin probes the CUDA context; once a kernel fault has poisoned it, every later
test of the process would fail for that reason alone, so the process stops (exit 1, as for a
failed test; an interrupted run would end 2) and the caller runs the tests that are left in a
fresh one.

--test-timeout S arms faulthandler's watchdog for each test: it runs on its own thread, so it
fires even while the main thread waits inside the CUDA driver (a hung barrier wait), prints
every thread's stack and ends the process.
"""
import faulthandler
import os
import sys
import time

import pytest

# The process's own stderr, taken when -p loads this plugin, before pytest captures fd 2: a
# traceback written to the capture file would vanish with the process that the watchdog ends.
STDERR = os.fdopen(os.dup(2), "w")


def pytest_addoption(parser):
    group = parser.getgroup("kestrovane check")
    group.addoption("--results-file", default=None, help="append one line per test event to this file")
    group.addoption("--results-phase", default="tests", help="the first field of every line")
    group.addoption("--test-timeout", type=float, default=0, help="end the process when one test runs longer")


class Recorder:
    def __init__(self, path, phase, timeout):
        self.file = open(path, "a", buffering=1)
        self.phase = phase
        self.timeout = timeout
        self.reports = {}
        self.started = {}

    def write(self, *fields):
        self.file.write("\t".join(str(f) for f in (self.phase, *fields)) + "\n")
        self.file.flush()

    @pytest.hookimpl(trylast=True)
    def pytest_collection_finish(self, session):
        self.session = session
        for item in session.items:
            self.write("COLLECTED", item.nodeid)

    def pytest_collectreport(self, report):
        if report.failed:
            self.write("COLLECT-ERROR", report.nodeid or "(the collection)")

    def pytest_runtest_logstart(self, nodeid, location):
        self.write("START", nodeid)
        self.started[nodeid] = time.monotonic()
        if self.timeout > 0:
            faulthandler.dump_traceback_later(self.timeout, exit=True, file=STDERR)

    def pytest_runtest_logreport(self, report):
        self.reports.setdefault(report.nodeid, []).append(report)

    def pytest_runtest_logfinish(self, nodeid, location):
        if self.timeout > 0:
            faulthandler.cancel_dump_traceback_later()
        outcome = self.outcome(self.reports.pop(nodeid, []))
        self.write(outcome, nodeid, f"{time.monotonic() - self.started.pop(nodeid):.1f}")
        if outcome in ("FAILED", "ERROR") and not cuda_context_usable():
            self.write("CONTEXT-LOST", nodeid)
            self.session.shouldfail = "the CUDA context is no longer usable"

    @staticmethod
    def outcome(reports):
        result = "PASSED"
        for report in reports:
            if report.failed:
                return "FAILED" if report.when == "call" else "ERROR"
            if report.skipped and result == "PASSED":
                result = "SKIPPED"
        return result


def cuda_context_usable():
    """False when a CUDA call fails in a process whose CUDA context was already in use."""
    torch = sys.modules.get("torch")
    if torch is None or not torch.cuda.is_initialized():
        return True
    try:
        torch.ones(1, device="cuda").add_(1)
        torch.cuda.synchronize()
        return True
    except Exception:  # a sticky error reads back from any call
        return False


def pytest_configure(config):
    path = config.getoption("--results-file")
    if path:
        recorder = Recorder(path, config.getoption("--results-phase"), config.getoption("--test-timeout"))
        config.pluginmanager.register(recorder, "kestrovane-results")
