"""What the benchmark scripts share: the repository root, the clock of the
event log, the machine-wide aria2 lock, waiting, and a display."""
import fcntl
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOCK_PATH = "/tmp/korvath-aria2-6800.lock"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def monotonic_ms():
    # The event log's t_ms comes from the same clock (CLOCK_MONOTONIC).
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0


class MachineLock:
    """The lock every test and benchmark that starts aria2 on 6800 takes."""

    def __enter__(self):
        self.fd = os.open(LOCK_PATH, os.O_RDWR | os.O_CREAT, 0o666)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        os.close(self.fd)


def wait_for(predicate, timeout, step=0.01):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def run_with_display():
    """Without $DISPLAY, runs this script again under tools/with-display."""
    if not os.environ.get("DISPLAY"):
        tool = os.path.join(ROOT, "tools/with-display")
        os.execv(tool, [tool, sys.executable, *sys.argv])
