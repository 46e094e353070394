"""Shared by the end-to-end drivers of the uninstaller and the setup.

Failures, folder trees, reading the settings through a reg command, the Wine
prefix of the Windows build (its display, reg.exe and C: drive), and keyboard
input with xdotool on a display with openbox.
"""
import os
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


def reg_value(reg, key, name):
    """A value's data as `reg query` prints it: None when missing, "" when the
    line does not parse. reg(*arguments) runs the reg command."""
    done = reg("query", key, "/v", name)
    if done.returncode != 0:
        return None
    for line in done.stdout.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0].lower() == name.lower():
            return parts[2]
    return ""


class Wine:
    """The Windows build's prefix, reached through the Wine runner, and the
    runner's shared display (it starts one when there is none)."""

    def __init__(self, runner, build):
        self.runner = runner
        self.build = build
        self.drive_c = os.path.join(build, "wineprefix", "drive_c")
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

    def activate(self, window):
        """Gives the window the keyboard; keys sent before that would be lost."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            self.xdotool("windowactivate", "--sync", window)
            if self.xdotool("getactivewindow").stdout.strip() == window:
                return
            check(time.monotonic() < deadline, "the window never got the keyboard")
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
