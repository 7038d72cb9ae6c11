"""Hostile but ordinary use: the module survives fork and pickle."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

molvane = pytest.importorskip("molvane")


# --- module lifecycle -----------------------------------------------------------------------

FORK_WHILE_BUSY = """
import os, sys, threading, time, warnings
import numpy as np, molvane
warnings.simplefilter("ignore", DeprecationWarning)   # fork() with threads running
frame = np.random.default_rng(0).integers(0, 255, (1080, 1920, 3), np.uint8)
tracker = molvane.MultiTracker()
tracker.lock(frame, [(100 + 60 * i, 100, 12, 12) for i in range(8)])
threading.Thread(target=lambda: [tracker.update(frame, dt=0.04) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
for _ in range(3):
    pid = os.fork()
    if pid == 0:
        sys.exit(0)            # an ordinary exit: the module's exit hook runs in the child
    deadline = time.time() + 10
    while not os.waitpid(pid, os.WNOHANG)[0]:
        if time.time() > deadline:
            os.kill(pid, 9)
            sys.exit("a forked child hung at exit")
        time.sleep(0.02)
"""


def test_a_child_forked_while_another_thread_tracks_exits():
    proc = subprocess.run([sys.executable, "-c", FORK_WHILE_BUSY], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_no_object_can_be_pickled_by_any_protocol():
    frame = np.zeros((40, 40), np.uint8)
    tracker = molvane.Tracker()
    tracker.lock(frame, (10, 10, 8, 8))
    for obj in (molvane.TrackerConfig(), tracker, molvane.MultiTracker(), tracker.update(frame, dt=0.04)):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError, match="cannot pickle"):
                pickle.dumps(obj, protocol=protocol)


def test_module_version_is_the_package_version():
    from importlib import metadata
    assert molvane.__version__ == metadata.version("molvane")
