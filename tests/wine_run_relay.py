#!/usr/bin/python3
"""The Wine runner hands on all of a program's standard error, however long the
program stays quiet first: here a program that waits 600 ms (the launcher's
stand-in) and then writes more than a pipe holds."""
import os
import shutil
import subprocess
import sys

from e2e_support import Wine

runner, build, standin = sys.argv[1:]
wine = Wine(runner, build)
folder = os.path.join(wine.drive_c, "wine-run-relay")
os.makedirs(folder, exist_ok=True)
shutil.copy(standin, os.path.join(folder, "quiet.exe"))
burst = b"".join(b"%06d%s\r\n" % (n, b"x" * 92) for n in range(1500))
with open(os.path.join(folder, "burst.txt"), "wb") as f:
    f.write(burst)
quiet = wine.path(os.path.join(folder, "quiet.exe"))
text = wine.path(os.path.join(folder, "burst.txt"))
try:
    done = subprocess.run(wine.command("cmd", "/c", "%s & type %s 1>&2" % (quiet, text)),
                          env=dict(wine.env, VELTA_STANDIN_DELAY_MS="600"),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
except subprocess.TimeoutExpired:
    sys.exit("FAIL: the program did not end: its standard error was no longer read")
finally:
    shutil.rmtree(folder)
# Wine may add lines of its own (Wine 10's fontconfig complains of its config).
if done.returncode != 0 or burst not in done.stderr:
    sys.exit("FAIL: exit code %d, %d bytes of standard error for the %d written"
             % (done.returncode, len(done.stderr), len(burst)))
print("%d bytes of standard error after a quiet start, all handed on" % len(burst))
