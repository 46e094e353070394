#!/usr/bin/python3
"""End-to-end cases of the setup program under Wine.

The real VeltaAI-setup.exe installs the real programs into folders inside the
test prefix; its uninstaller runs the real Uninstall.exe, driven with the
keyboard through xdotool on the runner's display. The settings live in Wine's
registry; the draft folder is the prefix user's %APPDATA%\\VeltaAI, the model
folder lies in the case's temporary folder.

The uninstaller is started as a user starts it, without _?=: it copies itself
to a temporary folder, starts that copy and ends at once, so a case waits for
the copy, the process whose command line names the installation after _?=.

Usage: e2e_setup.py --setup VeltaAI-setup.exe --stage STAGE_DIR --wine BUILD_DIR
                    --runner wine-run.sh --envrun envrun.exe CASE
"""
import argparse
import filecmp
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from e2e_support import (KEY, TIMEOUT, Failure, Keyboard, Wine, cancel_keys, check,  # noqa: E402
                         confirm_keys, count_entries, make_tree, reg_query,
                         reg_set, reg_value)

ENTRY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltaAI"
UNINSTALLER = "uninst.exe"


class Case(Keyboard):
    """One case's folders inside the prefix, and what it leaves to clean up."""

    def __init__(self, args, wine):
        super().__init__(wine.env)
        self.foreground = lambda: wine.foreground(args.wintext)
        self.args = args
        self.wine = wine
        base = os.path.join(wine.drive_c, "e2e")
        os.makedirs(base, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="setup-e2e-", dir=base)
        self.setup = os.path.join(self.tmp, "VeltaAI-setup.exe")
        shutil.copy(args.setup, self.setup)
        profile = os.path.join(wine.drive_c, "users", pwd.getpwuid(os.getuid()).pw_name)
        self.default_folder = os.path.join(profile, "AppData", "Local", "Programs", "VeltaAI")
        roaming = os.path.join(profile, "AppData", "Roaming")
        self.appdata = roaming
        self.draft = os.path.join(roaming, "VeltaAI")
        self.model = os.path.join(self.tmp, "models")
        self.shortcut = os.path.join(roaming, "Microsoft", "Windows", "Start Menu", "Programs",
                                     "VeltaAI.lnk")
        self.staged = sorted(os.path.relpath(os.path.join(d, f), args.stage)
                             for d, _, files in os.walk(args.stage) for f in files)
        self.cleanup()  # what an earlier, failed run may have left

    def cleanup(self):
        # A failed case can leave programs running; their windows would stand
        # in the next case's way.
        # The running case starts the app through the drive letter V:.
        for pid in (self.processes(self.wine.path(self.tmp)) +
                    self.processes(self.wine.path(self.default_folder)) +
                    self.processes("V:\\VeltaAI")):
            subprocess.run(["kill", "-9", str(pid)])
        for name in (ENTRY, KEY):
            self.wine.reg("delete", name, "/f")
        for folder in (self.draft, self.default_folder):
            shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(self.shortcut):
            os.remove(self.shortcut)

    def close(self):
        self.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def processes(self, text):
        """Host pids of this prefix's Windows programs whose command line holds text."""
        needle = text.encode()
        prefix = b"WINEPREFIX=" + os.path.dirname(self.wine.drive_c).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmdline = f.read()
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if needle in cmdline and prefix in environ:
                found.append(int(pid))
        return found

    # The setup and its uninstaller.
    def install(self, folder=None):
        """A silent installation, into folder or the default one."""
        command = [self.wine.path(self.setup), "/S"]
        if folder:
            command.append("/D=" + self.wine.path(folder))
        done = subprocess.run(self.wine.command(*command), env=self.display_env,
                              capture_output=True, timeout=TIMEOUT * 2)
        check(done.returncode == 0, "the setup ended with %d" % done.returncode)

    def uninstall(self, folder, *arguments):
        """Starts the uninstaller of the installation in folder, as a user does."""
        # It ends once its copy runs, and the copy keeps what it inherited:
        # no pipes, or reading them would wait for the copy.
        program = self.wine.path(os.path.join(folder, UNINSTALLER))
        done = subprocess.run(self.wine.command(program, *arguments), env=self.display_env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=TIMEOUT)
        check(done.returncode == 0, "the uninstaller did not start: %d" % done.returncode)
        # Its copy runs now, so that a wait for its end waits for something:
        # seen running, or so quick that it has removed the entry already.
        deadline = time.monotonic() + TIMEOUT
        while not self.uninstalling(folder) and self.entry("DisplayName") is not None:
            check(time.monotonic() < deadline, "the uninstaller's copy never ran")
            time.sleep(0.05)

    def uninstalling(self, folder):
        return bool(self.processes("_?=%s\\" % self.wine.path(folder)))

    def wait_uninstalled(self, folder, close=False):
        """Waits for the uninstaller's copy to end. close: its window is closed
        with Return once the entry is gone. Returns whether Uninstall.exe
        showed a window meanwhile."""
        deadline = time.monotonic() + TIMEOUT * 2
        window_seen = False
        while self.uninstalling(folder):
            check(time.monotonic() < deadline, "the uninstaller did not end")
            window_seen = window_seen or bool(self.visible("uninstall.exe"))
            if close and self.entry("DisplayName") is None:
                for window in self.visible("un.exe"):
                    self.activate(window)
                    self.keys("Return")
            time.sleep(0.2)
        return window_seen

    def window(self, classname, other_than=None):
        """Waits for a window of a program and gives it the keyboard."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            found = [w for w in self.visible(classname) if w != other_than]
            if found:
                break
            check(time.monotonic() < deadline, "no window of " + classname)
            time.sleep(0.1)
        self.activate(found[0])
        return found[0]

    def shows_app_icon(self, window):
        """Whether the window's 32 px icon is the app icon's 32 px image."""
        out = subprocess.run(["xprop", "-id", window, "-notype", "-f", "_NET_WM_ICON", "32c",
                              "_NET_WM_ICON"], env=self.display_env, capture_output=True,
                             text=True).stdout
        numbers = [int(n) for n in out.partition("=")[2].replace(",", " ").split()]
        icons = {}  # (width, height): ARGB pixels
        while len(numbers) > 2:
            width, height = numbers[:2]
            icons[(width, height)] = numbers[2:2 + width * height]
            numbers = numbers[2 + width * height:]
        ico = Image.open(os.path.join(self.args.stage, "assets", "app.ico"))
        ico.size = (32, 32)
        expected = list(ico.convert("RGBA").getdata())
        shown = [(p >> 16 & 255, p >> 8 & 255, p & 255, p >> 24 & 255)
                 for p in icons.get((32, 32), [])]
        near = lambda x, y: abs(x - y) <= 2  # noqa: E731
        return len(shown) == len(expected) and all(
            near(s[3], e[3]) and (e[3] == 0 or all(map(near, s[:3], e[:3])))
            for s, e in zip(shown, expected))

    # The installation.
    def entry(self, name):
        return reg_value(self.wine.reg, ENTRY, name)

    def installed(self, folder):
        for name in self.staged:
            installed = os.path.join(folder, name)
            check(os.path.isfile(installed), name + " is missing")
            check(filecmp.cmp(os.path.join(self.args.stage, name), installed, shallow=False),
                  name + " differs from the staged file")
        check(os.path.isfile(os.path.join(folder, UNINSTALLER)), "the uninstaller is missing")
        check(os.path.isfile(self.shortcut), "the shortcut is missing")
        location = self.entry("InstallLocation")
        check(location == self.wine.path(folder), "the entry names %r" % location)

    def removed(self, folder):
        for name in self.staged + [UNINSTALLER]:
            check(not os.path.exists(os.path.join(folder, name)), name + " is still there")
        check(not os.path.exists(self.shortcut), "the shortcut is still there")
        check(self.entry("DisplayName") is None, "the uninstall entry is still there")

    # The user's data.
    def seed(self):
        for name, data in (("draftdirsize", "12MB"), ("modelsize", "3GB"), ("token", "secret"),
                           ("servicepath", self.wine.path(self.model))):
            reg_set(self.wine.reg, KEY, name, data)
        make_tree(self.draft, 20)
        make_tree(self.model, 20)
        self.entries = count_entries(self.draft)  # the same in both

    def data_kept(self):
        check(reg_value(self.wine.reg, KEY, "token") == "secret", "the token is gone")
        check(reg_value(self.wine.reg, KEY, "draftdirsize") == "12MB", "the settings changed")
        check(count_entries(self.draft) == self.entries, "the draft folder changed")
        check(count_entries(self.model) == self.entries, "the model folder changed")


# The cases.

def case_install(case):
    # Into the default folder; then the shortcut starts the launcher, which
    # starts the stand-in main application in bin.
    case.install()
    folder = case.default_folder
    case.installed(folder)
    exe = case.wine.path(os.path.join(folder, "VeltaAI.exe"))
    for name, data in (("DisplayName", "VeltaAI"), ("DisplayVersion", "1.0.0.0"),
                       ("Publisher", "VeltaTech"), ("DisplayIcon", exe + ",0"),
                       ("UninstallString", '"%s\\%s"' % (case.wine.path(folder), UNINSTALLER)),
                       ("QuietUninstallString",
                        '"%s\\%s" /S' % (case.wine.path(folder), UNINSTALLER))):
        value = case.entry(name)
        check(value == data, "%s is %r, expected %r" % (name, value, data))
    staged_kb = sum(os.path.getsize(os.path.join(folder, n)) for n in case.staged) / 1024
    size = int(case.entry("EstimatedSize"), 16)
    check(abs(size - staged_kb) <= len(case.staged), "EstimatedSize %d KB, files %d KB"
          % (size, staged_kb))
    with open(case.shortcut, "rb") as f:
        check(exe.encode("utf-16-le") in f.read(), "the shortcut does not name " + exe)

    record = os.path.join(case.tmp, "record.txt")
    env = dict(case.display_env, VELTA_STANDIN_RECORD=case.wine.path(record),
               VELTA_STANDIN_DELAY_MS="500")
    subprocess.run(case.wine.command("start", case.wine.path(case.shortcut)), env=env,
                   check=True, timeout=TIMEOUT)
    deadline = time.monotonic() + TIMEOUT
    while not os.path.exists(record + ".end"):
        check(time.monotonic() < deadline, "the stand-in did not start and end")
        time.sleep(0.1)
    with open(record, encoding="utf-8") as f:
        lines = dict(line.split("=", 1) for line in f.read().splitlines())
    check(lines["argc"] == "1" and lines["cwd"] == case.wine.path(os.path.join(folder, "bin")),
          "the stand-in was started with %r" % lines)


def case_uninstall_window(case):
    # Cancel in Uninstall.exe, with every box ticked, stops the uninstall; the
    # four options confirmed remove everything of the program and the user's
    # data, and nothing else.
    folder = os.path.join(case.tmp, "VeltaAI")
    case.install(folder)
    case.seed()
    beside = os.path.join(case.tmp, "beside.txt")
    open(beside, "w").close()

    case.uninstall(folder)
    window = case.window("uninstall.exe")
    # It opens assets\app.ico relative to its working folder.
    check(case.shows_app_icon(window), "Uninstall.exe does not run in the installation folder")
    case.keys(*cancel_keys())
    case.wait_uninstalled(folder)
    case.installed(folder)
    case.data_kept()

    case.uninstall(folder)
    case.window("uninstall.exe")
    case.keys(*confirm_keys(token=True, settings=True, draft=True, model=True))
    case.wait_uninstalled(folder, close=True)
    case.removed(folder)
    check(not os.path.exists(folder), "the installation folder is still there")
    check(reg_query(case.wine.reg, KEY) is None, "the settings key is still there")
    check(not os.path.exists(case.draft), "the draft folder is still there")
    check(not os.path.exists(case.model), "the model folder is still there")
    check(os.path.isdir(case.appdata) and os.path.exists(beside), "more went than asked for")
    check(reg_query(case.wine.reg, r"HKCU\Software\VeltaTech") is not None,
          "the organisation key went too")


def case_uninstall_silent(case):
    # /S: Uninstall.exe gets the skip switch; no window, the data stays, and
    # so does a file of the user's in the installation folder.
    folder = os.path.join(case.tmp, "VeltaAI")
    case.install(folder)
    case.seed()
    notes = os.path.join(folder, "notes.txt")
    open(notes, "w").close()
    case.uninstall(folder, "/S")
    check(not case.wait_uninstalled(folder), "Uninstall.exe showed a window")
    case.removed(folder)
    check(os.path.exists(notes), "the user's file went too")
    case.data_kept()


def case_reinstall(case):
    # Over the same folder, then into another one: the earlier copy goes
    # silently and the user's data stays.
    first = os.path.join(case.tmp, "VeltaAI")
    case.install(first)
    case.seed()
    case.install(first)
    case.installed(first)
    case.data_kept()

    second = os.path.join(case.tmp, "VeltaAI-2")
    case.install(second)
    case.installed(second)
    check(not os.path.exists(first), "the earlier installation is still there")
    case.data_kept()


def case_running(case):
    # A running main application, started through another drive letter for
    # the installation's folder, as subst makes one (Wine reports a program
    # started through an 8.3 spelling by its long path, so that proves
    # nothing here): the user is told; Cancel leaves everything, Retry asks
    # again while it runs and goes on once it has ended.
    folder = os.path.join(case.tmp, "VeltaAI")
    case.install(folder)
    drive = os.path.join(case.wine.drive_c, "..", "dosdevices", "v:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(case.tmp, drive)
    spelled = "V:\\VeltaAI\\VeltaAI.exe"
    record = os.path.join(case.tmp, "record.txt")
    env = dict(case.display_env, VELTA_STANDIN_RECORD=case.wine.path(record),
               VELTA_STANDIN_DELAY_MS=str(TIMEOUT * 10 * 1000))
    launcher = subprocess.Popen(case.wine.command(spelled), env=env)
    deadline = time.monotonic() + TIMEOUT
    while not os.path.exists(record):
        check(time.monotonic() < deadline, "the stand-in did not start")
        time.sleep(0.1)

    case.uninstall(folder)
    case.window("un.exe")
    texts = "\n".join(case.foreground()["text"])
    check("VeltaAI 正在运行" in texts and spelled in texts and "重试" in texts,
          "the box does not name the running program: %r" % texts)
    case.keys("Escape")
    case.wait_uninstalled(folder)
    case.installed(folder)

    case.uninstall(folder)
    box = case.window("un.exe")
    case.keys("Return")
    box = case.window("un.exe", other_than=box)
    check(not case.visible("uninstall.exe"), "Uninstall.exe started while the app runs")
    case.installed(folder)
    with open(record, encoding="utf-8") as f:
        pid = dict(line.split("=", 1) for line in f.read().splitlines())["pid"]
    subprocess.run(case.wine.command("taskkill", "/F", "/PID", pid), capture_output=True)
    launcher.wait(timeout=TIMEOUT)  # the launcher ends with its main application
    case.activate(box)
    case.keys("Return")
    case.window("uninstall.exe")
    case.keys(*confirm_keys())
    case.wait_uninstalled(folder, close=True)
    case.removed(folder)
    os.remove(drive)


def case_fallback(case):
    # Uninstall.exe missing, or answering neither 0 nor 66 (envrun.exe without
    # arguments ends with 2): the uninstall goes on and the data stays.
    folder = os.path.join(case.tmp, "VeltaAI")
    case.seed()
    for replacement in (None, case.args.envrun):
        case.install(folder)
        os.remove(os.path.join(folder, "Uninstall.exe"))
        if replacement:
            shutil.copy(replacement, os.path.join(folder, "Uninstall.exe"))
        case.uninstall(folder)
        case.wait_uninstalled(folder, close=True)
        case.removed(folder)
        case.data_kept()


def main():
    parser = argparse.ArgumentParser()
    for name in ("setup", "stage", "wine", "runner", "envrun", "wintext"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("case")
    args = parser.parse_args()
    run = globals().get("case_" + args.case.replace("-", "_"))
    if run is None:
        parser.error("unknown case")
    for name in ("setup", "stage", "wine", "runner", "envrun", "wintext"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    wine = Wine(args.runner, args.wine)
    case = Case(args, wine)
    try:
        run(case)
    except Failure as failure:
        print("FAIL %s: %s" % (args.case, failure))
        return 1
    finally:
        case.close()
    print("PASS", args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
