"""The window waits of the demo scripts (scripts/window-wait.sh) and of the
end-to-end drivers (e2e_support.Keyboard.visible), on a private display with
openbox where windows of another program keep opening and closing: there
xdotool's one-shot search dies with BadWindow, and the waits still find the
window that stays, and only while it is there.

Usage: e2e_window_wait.py          the test
       e2e_window_wait.py --flap   (on $DISPLAY) windows that open and close in bursts
"""
import ctypes
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "uninstaller", "tests"))
from e2e_support import Keyboard, check, xlib  # noqa: E402
from e2e_uninstall_case import run_on_display  # noqa: E402

HELPER = os.path.join(HERE, "..", "scripts", "window-wait.sh")


class X:
    """Just enough Xlib to open, show and close windows of a given class."""

    class ClassHint(ctypes.Structure):
        _fields_ = [("res_name", ctypes.c_char_p), ("res_class", ctypes.c_char_p)]

    def __init__(self, name=None):
        lib = xlib()
        lib.XSetClassHint.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(X.ClassHint)]
        for function in ("XMapWindow", "XDestroyWindow"):
            getattr(lib, function).argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.display = lib.XOpenDisplay(name.encode() if name else None)
        check(self.display, "cannot open the display")
        self.root = lib.XDefaultRootWindow(self.display)

    def open(self, classname):
        window = self.lib.XCreateSimpleWindow(self.display, self.root, 20, 20, 80, 60, 0, 0, 0)
        name = classname.encode()
        self.lib.XSetClassHint(self.display, window, ctypes.byref(X.ClassHint(name, name)))
        self.lib.XMapWindow(self.display, window)
        self.lib.XFlush(self.display)
        return window

    def close(self, window):
        self.lib.XDestroyWindow(self.display, window)
        self.lib.XFlush(self.display)


def flap():
    """Bursts of windows opening and closing, and pauses with none, each of a
    random length (a fixed period could keep in step with xdotool's own
    polling): searches during a burst meet windows that vanish, the others
    run clean."""
    x = X()
    while True:
        live = []
        end = time.monotonic() + random.uniform(0.1, 0.4)
        while time.monotonic() < end:
            live.append(x.open("other.exe"))
            if len(live) > 8:
                x.close(live.pop(0))
            time.sleep(0.002)
        for window in live:
            x.close(window)
        time.sleep(random.uniform(0.1, 0.4))


def helper(env, *lines):
    """Runs shell lines with scripts/window-wait.sh sourced, under set -eu as the demos do."""
    script = "set -eu\nsource '%s'\n%s\n" % (HELPER, "\n".join(lines))
    return subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True,
                          timeout=120)


def test(display):
    env = display.env
    flapper = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--flap"], env=env)
    try:
        time.sleep(0.5)
        # What the scripts did: one search that waits. It dies on the first
        # window that closes under it, long before its timeout.
        old = subprocess.run(["timeout", "20", "xdotool", "search", "--sync", "--onlyvisible",
                              "--classname", "stays.exe"], env=env, capture_output=True, text=True)
        check(old.returncode != 124 and "BadWindow" in old.stderr,
              "the one-shot search did not die of BadWindow (exit %d, %r): the closing windows "
              "do not reach xdotool, so nothing below is tested" % (old.returncode, old.stderr))

        x = X(display.name)
        stays = str(x.open("stays.exe"))
        runs = 20
        done = helper(env, "for _ in $(seq %d); do" % runs,
                      "  search_shown stays.exe >/dev/null || echo cut",
                      "  wait_window stays.exe 20",
                      "done")
        check(done.returncode == 0, "wait_window failed: %s" % done.stderr)
        found = done.stdout.split()
        check(found.count("cut") > 0,
              "no search was cut short by an X error, so the retry was never needed")
        check([w for w in found if w != "cut"] == [stays] * runs,
              "wait_window gave %s, not %d times the window %s" % (found, runs, stays))

        keyboard = Keyboard(env)
        for _ in range(runs):
            got = keyboard.visible("stays.exe")
            check(got == [stays], "Keyboard.visible gave %s, not [%s]" % (got, stays))

        # A timeout names the windows that were there.
        done = helper(env, "wait_window absent.exe 1")
        check(done.returncode != 0, "wait_window found a window of a class nobody shows")
        check("no window of absent.exe" in done.stderr and stays in done.stderr
              and '"stays.exe"' in done.stderr,
              "the timeout does not list the shown window %s: %s" % (stays, done.stderr))

        # A closed window is never given.
        x.close(int(stays))
        done = helper(env, "wait_window stays.exe 1")
        check(done.returncode != 0 and done.stdout == "",
              "wait_window gave the closed window %s" % done.stdout.strip())
        check(keyboard.visible("stays.exe") == [], "Keyboard.visible gave the closed window")
    finally:
        flapper.kill()
        flapper.wait()


def main():
    if sys.argv[1:] == ["--flap"]:
        flap()
        return 0
    return run_on_display(test)


if __name__ == "__main__":
    sys.exit(main())
