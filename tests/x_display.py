"""The virtual display of the tests and demos (scripts/x-display.sh): once it
is handed out, openbox holds its key bindings, and typing announces no new
keyboard, so openbox never takes its bindings away while a test types.

Each check looks at the cause, not at a key that happened to get through:
openbox holding Alt+F4 shows as a grab of our own being refused; a new
keyboard shows as an XKB event, which the server sends before the state
change of the key that caused it.

Usage: x_display.py
"""
import ctypes
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "uninstaller", "tests"))
from e2e_support import check, xlib  # noqa: E402
from e2e_uninstall_case import run_on_display  # noqa: E402

BAD_ACCESS = 10
MOD1_MASK = 1 << 3
USE_CORE_KEYBOARD = 0x100
NEW_KEYBOARD_NOTIFY, STATE_NOTIFY = 0, 2  # XKB event kinds, and 1 << kind their masks

ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class XkbAnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("time", ctypes.c_ulong), ("xkb_type", ctypes.c_int), ("device", ctypes.c_uint)]


class XErrorEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("display", ctypes.c_void_p),
                ("resourceid", ctypes.c_ulong), ("serial", ctypes.c_ulong),
                ("error_code", ctypes.c_ubyte), ("request_code", ctypes.c_ubyte),
                ("minor_code", ctypes.c_ubyte)]


def open_display(x, name):
    display = x.XOpenDisplay(name.encode())
    check(display, "cannot open display " + name)
    return display


def alt_f4_refused(x, name):
    """Whether a grab of Alt+F4 on the root window is refused: someone holds it."""
    errors = []

    def handler(_display, event):
        errors.append(ctypes.cast(event, ctypes.POINTER(XErrorEvent)).contents.error_code)
        return 0

    callback = ERROR_HANDLER(handler)
    x.XSetErrorHandler.argtypes = [ERROR_HANDLER]
    x.XSetErrorHandler(callback)
    x.XStringToKeysym.restype = ctypes.c_ulong
    x.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong,
                           ctypes.c_int, ctypes.c_int, ctypes.c_int]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = open_display(x, name)
    try:
        f4 = x.XKeysymToKeycode(display, x.XStringToKeysym(b"F4"))
        check(f4, "no key code for F4")
        x.XGrabKey(display, f4, MOD1_MASK, x.XDefaultRootWindow(display), 0, 1, 1)
        x.XSync(display, 0)
    finally:
        x.XCloseDisplay(display)
        x.XSetErrorHandler(ctypes.cast(None, ERROR_HANDLER))
    return errors == [BAD_ACCESS]


def xkb_events_of_a_key(x, env):
    """The XKB events (new keyboard, state) that one key typed with xdotool
    causes, up to the state change of its press."""
    x.XkbQueryExtension.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_int)] * 5
    x.XkbSelectEvents.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_ulong,
                                  ctypes.c_ulong]
    x.XPending.argtypes = [ctypes.c_void_p]
    x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    display = open_display(x, env["DISPLAY"])
    try:
        numbers = [ctypes.c_int() for _ in range(5)]
        check(x.XkbQueryExtension(display, *map(ctypes.byref, numbers)), "no XKB on the display")
        base = numbers[1].value
        mask = 1 << NEW_KEYBOARD_NOTIFY | 1 << STATE_NOTIFY
        x.XkbSelectEvents(display, USE_CORE_KEYBOARD, mask, mask)
        x.XSync(display, 0)
        done = subprocess.run(["xdotool", "key", "shift"], env=env, capture_output=True,
                              text=True)
        check(done.returncode == 0, "xdotool failed: " + done.stderr)
        kinds = []
        event = (ctypes.c_long * 24)()
        deadline = time.monotonic() + 10
        while STATE_NOTIFY not in kinds:
            check(time.monotonic() < deadline, "the key changed no keyboard state: %s" % kinds)
            if not x.XPending(display):
                time.sleep(0.01)
                continue
            x.XNextEvent(display, event)
            any_event = ctypes.cast(event, ctypes.POINTER(XkbAnyEvent)).contents
            if any_event.type == base:
                kinds.append(any_event.xkb_type)
        return kinds
    finally:
        x.XCloseDisplay(display)


def test(display):
    x = xlib()
    # At once: the display is handed out only once openbox has its bindings.
    check(alt_f4_refused(x, display.name),
          "openbox did not hold Alt+F4 when the display was handed out")
    kinds = xkb_events_of_a_key(x, display.env)
    check(NEW_KEYBOARD_NOTIFY not in kinds,
          "the first key typed announced a new keyboard (XKB events %s): openbox "
          "takes its bindings away and grabs them again while keys arrive" % kinds)
    check(alt_f4_refused(x, display.name), "openbox no longer holds Alt+F4")


def main():
    return run_on_display(test)

if __name__ == "__main__":
    sys.exit(main())
