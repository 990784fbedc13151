"""A small process tree with something to see, for the watch tool's tests and
its picture: one child keeps a processor busy, one grows its memory, one
writes to storage; the parent waits for them and exits with status 3.

    python3 busy_tree.py [SECONDS [STOP_FILE]]

Each child does its work over SECONDS. Given STOP_FILE, every child then
keeps running (the first still spinning) until that file exists, so a test
decides when the tree ends instead of racing a clock on a loaded machine.
"""

import os
import subprocess
import sys
import tempfile

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 4.0
STOP = sys.argv[2] if len(sys.argv) > 2 else ""

# Until STOP exists, or at once when there is none; polled every 50 ms.
UNTIL_STOPPED = f"""
import os, time
def stopped():
    return not {STOP!r} or os.path.exists({STOP!r})
def idle():
    while not stopped():
        time.sleep(0.05)
"""

SPIN = UNTIL_STOPPED + f"""
end = time.monotonic() + {SECONDS}
while time.monotonic() < end or not stopped():
    pass
"""

GROW = UNTIL_STOPPED + f"""
blocks = []
for _ in range(40):
    blocks.append(bytearray(2 << 20))  # touched, so resident
    time.sleep({SECONDS} / 40)
idle()
"""

WRITE = UNTIL_STOPPED + f"""
import sys
with open(sys.argv[1], "wb") as out:
    for _ in range(20):
        out.write(os.urandom(1 << 20))
        out.flush()
        os.fsync(out.fileno())
        time.sleep({SECONDS} / 20)
os.unlink(sys.argv[1])
idle()
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
