"""Shared by the end-to-end drivers of the uninstaller and the setup.

Failures, folder trees, reading the settings through a reg command, the Wine
prefix of the Windows build (its display, reg.exe and C: drive), keyboard
input with xdotool on a display with openbox, window icons and the clipboard.
"""
import ctypes
import os
import struct
import subprocess
import time

KEY = r"HKCU\Software\VeltaTech\WindowSettings"
TIMEOUT = 30


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def make_tree(root, files, per_dir=500):
    """root with a few files of its own and the rest in subfolders."""
    os.makedirs(root, exist_ok=True)
    for i in range(min(files, 5)):
        with open(os.path.join(root, "top%d.bin" % i), "wb") as f:
            f.write(b"x" * 64)
    for i in range(5, files):
        sub = os.path.join(root, "part%d" % (i // per_dir))
        if i % per_dir == 0 or i == 5:
            os.makedirs(sub, exist_ok=True)
        open(os.path.join(sub, "f%d" % i), "wb").close()


def count_entries(root):
    return sum(len(dirs) + len(files) for _, dirs, files in os.walk(root))


def reg_query(reg, key, name=None):
    """reg's output for a key, or for its value name; None when that is missing.
    reg(*arguments) runs the reg command. Any other failure of reg raises: read
    as missing, it would pass every check that something is gone."""
    for _ in range(3):
        done = reg("query", key, *(("/v", name) if name else ()))
        # A key deleted between reg's open and its read (the uninstaller at
        # work) fails the read with ERROR_KEY_DELETED, which Wine's reg
        # answers with 0 and a blank line: the next query sees it gone.
        if done.returncode != 0 or done.stdout.strip():
            break
    if done.returncode == 0:
        return done.stdout
    if done.returncode == 1 and "unable to find" in (done.stdout + done.stderr).lower():
        return None
    raise Failure("reg query %s%s ended with %d: %r %r" % (
        key, " /v " + name if name else "", done.returncode, done.stdout[-300:],
        done.stderr[-300:]))


def reg_set(reg, key, name, data):
    """Sets a string value through the reg command."""
    done = reg("add", key, "/v", name, "/t", "REG_SZ", "/d", data, "/f")
    check(done.returncode == 0, "reg add %s /v %s ended with %d: %r %r" % (
        key, name, done.returncode, done.stdout[-300:], done.stderr[-300:]))


def reg_value(reg, key, name):
    """A value's data as `reg query` prints it, or None when it is missing."""
    output = reg_query(reg, key, name)
    if output is None:
        return None
    for line in output.splitlines():
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
            return parts[2] if len(parts) == 3 else ""
    raise Failure("reg query %s printed no value %s: %r" % (key, name, output[-300:]))


class Wine:
    """The Windows build's prefix, reached through the Wine runner, and the
    runner's shared display (it starts one when there is none)."""

    def __init__(self, runner, build):
        self.runner = runner
        self.build = build
        prefix = subprocess.run([runner, build, "--prefix"], check=True, capture_output=True,
                                text=True).stdout.strip()
        self.drive_c = os.path.join(prefix, "drive_c")
        display = subprocess.run([runner, build, "--init"], check=True, capture_output=True,
                                 text=True).stdout.strip()
        self.env = dict(os.environ, DISPLAY=display)

    def close(self):
        pass

    def command(self, *arguments):
        """A Windows program and its arguments, as a host command line."""
        return [self.runner, self.build, *arguments]

    def path(self, local):
        """A host path inside the prefix as Windows programs name it."""
        relative = os.path.relpath(local, self.drive_c)
        return "C:\\" + relative.replace("/", "\\")

    def short_name(self, folder, name):
        """The 8.3 name Wine gave `name` inside `folder` (Windows paths), from dir /x."""
        listing = subprocess.run(self.command("cmd", "/c", "dir", "/x", folder), env=self.env,
                                 capture_output=True)
        for line in listing.stdout.decode("utf-8", "replace").splitlines():
            parts = line.split(None, 5)  # date, time, AM/PM, <DIR>, short name, name
            if len(parts) == 6 and parts[5].strip() == name:
                return parts[4]
        raise Failure("no short name for %s in %s: %r" % (name, folder, listing.stdout[-600:]))

    def foreground(self, wintext):
        """wintext.exe's report of the foreground window: its title, the class
        of the control with the focus ("" while none has it) and, in "text",
        the texts of its controls."""
        done = subprocess.run(self.command(wintext), env=self.env, capture_output=True)
        report = {"title": None, "focus": "", "text": []}
        for line in done.stdout.decode("utf-8", "replace").splitlines():
            name, _, value = line.rstrip("\r").partition("=")
            if name == "text":
                report["text"].append(value)
            else:
                report[name] = value
        return report

    def reg(self, *arguments):
        """Wine's reg.exe; its output decoded, without CR."""
        done = subprocess.run(self.command("reg", *arguments), env=self.env, capture_output=True)
        done.stdout = done.stdout.decode("utf-8", "replace").replace("\r", "")
        done.stderr = done.stderr.decode("utf-8", "replace")
        return done


class Keyboard:
    """Windows on one display, found and given keys as a person would."""

    def __init__(self, env):
        self.display_env = env

    def xdotool(self, *arguments, timeout=TIMEOUT):
        return subprocess.run(["xdotool", *arguments], env=self.display_env,
                              capture_output=True, text=True, timeout=timeout)

    def visible(self, classname):
        """The visible windows of a Windows program (Wine names the X window
        class after the program's file). As in scripts/window-wait.sh: xdotool
        stops a search at the first X error, which any window that closes
        meanwhile causes (BadWindow), so such a search is repeated; and a
        window counts only while it is still shown."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            found = self.xdotool("search", "--onlyvisible", "--classname", classname)
            if "X Error" not in found.stderr:
                break
            check(time.monotonic() < deadline, "every search for %s ended in an X error" % classname)
            time.sleep(0.05)
        return [window for window in found.stdout.split()
                if "IsViewable" in subprocess.run(["xwininfo", "-id", window], env=self.display_env,
                                                  capture_output=True, text=True).stdout]

    # Under Wine, a callable that gives wintext.exe's report of the foreground.
    foreground = None

    def activate(self, window):
        """Gives the window the keyboard; keys sent before that would be lost.
        Under Wine the X focus comes first: the keys wait until Windows has
        made the window the foreground and given a control of it the focus."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            self.xdotool("windowactivate", "--sync", window)
            if self.xdotool("getactivewindow").stdout.strip() == window:
                break
            check(time.monotonic() < deadline, "the window never got the keyboard")
            time.sleep(0.05)
        if not self.foreground:
            return
        title = self.xdotool("getwindowname", window).stdout.rstrip("\n")
        while True:
            report = self.foreground()
            if report["title"] == title and report["focus"]:
                return
            check(time.monotonic() < deadline, "no control of %r got the focus: %r" % (title, report))
            time.sleep(0.05)

    def keys(self, *keys):
        self.xdotool("key", "--delay", "60", *keys)


def confirm_keys(token=False, settings=False, draft=False, model=False):
    """The keys that tick the uninstaller's boxes down the focus chain and then
    press its confirm button."""
    sequence = []
    for ticked in (token, settings, draft, model):  # checkBox, _3, _2, _4
        sequence += ["space", "Tab"] if ticked else ["Tab"]
    return sequence + ["Tab", "space"]  # past cancel, onto confirm


def cancel_keys():
    """The keys that tick all four boxes and then press the cancel button."""
    return ["space", "Tab"] * 4 + ["space"]


# Icons: what an .ico file holds, and what a window shows.

def write_ico(path, size, rgba):
    """An .ico file of one 32-bit image of `size` pixels in one colour."""
    red, green, blue, alpha = rgba
    pixels = bytes((blue, green, red, alpha)) * (size * size)
    mask = bytes(((size + 31) // 32) * 4 * size)
    dib = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels), 0, 0, 0, 0)
    image = dib + pixels + mask
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1))
        f.write(struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22))
        f.write(image)


def window_icons(env, window):
    """The window's icons from _NET_WM_ICON: {(width, height): (red, green,
    blue, alpha) pixels}."""
    out = subprocess.run(["xprop", "-id", window, "-notype", "-f", "_NET_WM_ICON", "32c",
                          "_NET_WM_ICON"], env=env, capture_output=True, text=True).stdout
    numbers = [int(n) for n in out.partition("=")[2].replace(",", " ").split()]
    icons = {}
    while len(numbers) > 2:
        width, height = numbers[:2]
        icons[(width, height)] = [(p >> 16 & 255, p >> 8 & 255, p & 255, p >> 24 & 255)
                                  for p in numbers[2:2 + width * height]]
        numbers = numbers[2 + width * height:]
    return icons


def same_icons(shown, expected):
    """The same sizes, their pixels equal within rounding; colour means nothing
    where alpha is 0."""
    near = lambda x, y: abs(x - y) <= 2  # noqa: E731
    return bool(shown) and shown.keys() == expected.keys() and all(
        len(shown[size]) == len(expected[size]) and all(
            near(s[3], e[3]) and (e[3] == 0 or all(map(near, s[:3], e[:3])))
            for s, e in zip(shown[size], expected[size]))
        for size in expected)


# The clipboard of a display, read as any X client would: libX11 through ctypes.

class _SelectionEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("requestor", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("target", ctypes.c_ulong),
                ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


def xlib():
    """libX11, with the prototypes that the tests' own small X clients share:
    opening a display and making a window on it."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XCreateSimpleWindow.restype = ctypes.c_ulong
    x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + \
        [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
    return x


def clipboard_text(env, timeout=5):
    """The CLIPBOARD selection of env's display as UTF-8 text; None when no
    owner answers."""
    x = xlib()
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XConvertSelection.argtypes = [ctypes.c_void_p] + [ctypes.c_ulong] * 5
    x.XPending.argtypes = [ctypes.c_void_p]
    x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    x.XGetWindowProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                     ctypes.c_long, ctypes.c_long, ctypes.c_int, ctypes.c_ulong,
                                     ctypes.POINTER(ctypes.c_ulong),
                                     ctypes.POINTER(ctypes.c_int),
                                     ctypes.POINTER(ctypes.c_ulong),
                                     ctypes.POINTER(ctypes.c_ulong),
                                     ctypes.POINTER(ctypes.c_void_p)]
    x.XFree.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x.XOpenDisplay(env["DISPLAY"].encode())
    check(display, "cannot open display " + env["DISPLAY"])
    try:
        window = x.XCreateSimpleWindow(display, x.XDefaultRootWindow(display), 0, 0, 1, 1, 0,
                                       0, 0)
        atom = lambda name: x.XInternAtom(display, name, 0)  # noqa: E731
        prop = atom(b"VELTA_E2E_CLIPBOARD")
        x.XConvertSelection(display, atom(b"CLIPBOARD"), atom(b"UTF8_STRING"), prop, window, 0)
        event = (ctypes.c_long * 24)()
        deadline = time.monotonic() + timeout
        while True:
            if x.XPending(display):
                x.XNextEvent(display, event)
                selection = ctypes.cast(event, ctypes.POINTER(_SelectionEvent)).contents
                if selection.type == 31:  # SelectionNotify
                    if not selection.property:
                        return None
                    break
            elif time.monotonic() > deadline:
                return None
            else:
                time.sleep(0.02)
        kind, form = ctypes.c_ulong(), ctypes.c_int()
        items, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        x.XGetWindowProperty(display, window, prop, 0, 1 << 20, 1, 0, ctypes.byref(kind),
                             ctypes.byref(form), ctypes.byref(items), ctypes.byref(after),
                             ctypes.byref(data))
        if not data:
            return None
        text = ctypes.string_at(data, items.value).decode("utf-8", "replace")
        x.XFree(data)
        return text
    finally:
        x.XCloseDisplay(display)
