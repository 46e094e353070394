#!/usr/bin/python3
"""The Wine runner hands on all of a program's standard error, however long the
program stays quiet first: here a program that waits 600 ms (the launcher's
stand-in) and then writes more than a pipe holds."""
import os
import shutil
import subprocess
import sys

runner, build, standin = sys.argv[1:]
prefix = subprocess.run([runner, build, "--prefix"], check=True, capture_output=True,
                        text=True).stdout.strip()
subprocess.run([runner, build, "--init"], check=True, capture_output=True)
folder = os.path.join(prefix, "drive_c", "wine-run-relay")
os.makedirs(folder, exist_ok=True)
shutil.copy(standin, os.path.join(folder, "quiet.exe"))
burst = b"".join(b"%06d%s\r\n" % (n, b"x" * 92) for n in range(1500))
with open(os.path.join(folder, "burst.txt"), "wb") as f:
    f.write(burst)
try:
    done = subprocess.run(
        [runner, build, "cmd", "/c",
         r"C:\wine-run-relay\quiet.exe & type C:\wine-run-relay\burst.txt 1>&2"],
        env=dict(os.environ, VELTA_STANDIN_DELAY_MS="600"), stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE, timeout=60)
except subprocess.TimeoutExpired:
    sys.exit("FAIL: the program did not end: its standard error was no longer read")
finally:
    shutil.rmtree(folder)
# Wine may add lines of its own (Wine 10's fontconfig complains of its config).
if done.returncode != 0 or burst not in done.stderr:
    sys.exit("FAIL: exit code %d, %d bytes of standard error for the %d written"
             % (done.returncode, len(done.stderr), len(burst)))
print("%d bytes of standard error after a quiet start, all handed on" % len(burst))
