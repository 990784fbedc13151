"""A small process tree with something to see, for the watch tool's tests and
its picture: one child keeps a processor busy, one grows its memory, one
writes to storage; the parent waits for them and exits with status 3.

    python3 busy_tree.py [SECONDS]
"""

import os
import subprocess
import sys
import tempfile

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 4.0

SPIN = f"""
import time
end = time.monotonic() + {SECONDS}
while time.monotonic() < end:
    pass
"""

GROW = f"""
import time
blocks = []
for _ in range(40):
    blocks.append(bytearray(2 << 20))  # touched, so resident
    time.sleep({SECONDS} / 40)
"""

WRITE = f"""
import os, sys, time
with open(sys.argv[1], "wb") as out:
    for _ in range(20):
        out.write(os.urandom(1 << 20))
        out.flush()
        os.fsync(out.fileno())
        time.sleep({SECONDS} / 20)
os.unlink(sys.argv[1])
"""

with tempfile.TemporaryDirectory() as scratch:
    children = [
        subprocess.Popen([sys.executable, "-c", SPIN]),
        subprocess.Popen([sys.executable, "-c", GROW]),
        subprocess.Popen([sys.executable, "-c", WRITE, os.path.join(scratch, "out")]),
    ]
    print("busy tree:", os.getpid(), [c.pid for c in children], flush=True)
    for child in children:
        child.wait()
print("busy tree done", flush=True)
sys.exit(3)
