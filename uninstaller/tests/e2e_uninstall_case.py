"""The fixtures of the uninstaller's end-to-end cases (e2e_uninstall.py): a
private display, a watch on deletions, and one case's folders, settings and
program, natively over the registry stand-in or inside the Wine prefix."""
import ctypes
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from e2e_support import (KEY, TIMEOUT, Failure, Keyboard, check,  # noqa: E402
                         confirm_keys, count_entries, make_tree, reg_query,
                         reg_set, reg_value)


X_DISPLAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                         "x-display.sh")


class Display:
    """A private X server with a window manager, so close requests work
    (scripts/x-display.sh)."""

    def __init__(self):
        made = subprocess.run(["bash", X_DISPLAY, "1024x768"], capture_output=True, text=True)
        check(made.returncode == 0, "no display: " + made.stderr)
        self.name, *pids = made.stdout.split()
        self.pids = [int(pid) for pid in pids]
        self.env = dict(os.environ, DISPLAY=self.name)

    def close(self):
        for pid in self.pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + TIMEOUT
        while any(os.path.exists("/proc/%d" % pid) for pid in self.pids):
            if time.monotonic() > deadline:
                break
            time.sleep(0.02)


def run_on_display(test):
    """A driver's main: test(display) on a display of its own; PASS or FAIL
    printed, and the exit code returned."""
    display = None
    try:
        display = Display()
        test(display)
    except Failure as failure:
        print("FAIL:", failure)
        return 1
    finally:
        if display:
            display.close()
    print("PASS")
    return 0


class DeleteWatch:
    """Records, in order, which watched folder lost an entry or itself (inotify)."""

    IN_DELETE, IN_DELETE_SELF = 0x200, 0x400

    def __init__(self, folders):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        check(self.fd >= 0, "inotify_init1 failed")
        self.folders = {}
        for folder in folders:
            wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder),
                                             self.IN_DELETE | self.IN_DELETE_SELF)
            check(wd >= 0, "inotify_add_watch failed for " + folder)
            self.folders[wd] = folder
        self.events = []

    def poll(self):
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return self.events
            offset = 0
            while offset < len(data):
                wd, mask, _, length = struct.unpack_from("iIII", data, offset)
                offset += 16 + length
                if mask & (self.IN_DELETE | self.IN_DELETE_SELF) and wd in self.folders:
                    self.events.append(self.folders[wd])

    def order(self):
        """The watched folders in the order their deletions began."""
        order = []
        for folder in self.poll():
            if not order or order[-1] != folder:
                order.append(folder)
        return order


class Case(Keyboard):
    """One case's installation folder, data folders and settings (native back end)."""

    def __init__(self, args, display, base=None):
        super().__init__(display.env)
        self.args = args
        self.display = display
        self.tmp = tempfile.mkdtemp(prefix="uninstall-e2e-", dir=base)
        self.appdata = os.path.join(self.tmp, "appdata")
        self.draft = os.path.join(self.appdata, "VeltaAI")
        self.model = os.path.join(self.tmp, "models")
        self.install = os.path.join(self.tmp, "install")
        os.makedirs(os.path.join(self.install, "assets"))
        shutil.copy(args.icon, os.path.join(self.install, "assets", "app.ico"))
        make_tree(self.draft, 20)
        make_tree(self.model, 20)
        self.entries = count_entries(self.draft)  # the same in both
        self.main = None  # the program's window, once shown
        # A temporary folder of the case's own, where the program writes its log.
        self.temp = os.path.join(self.tmp, "temp")
        os.makedirs(self.temp)
        self.log = os.path.join(self.temp, "VeltaAI-uninstall.log")
        self.registry = os.path.join(self.tmp, "registry")
        self.env = dict(display.env, QT_QPA_PLATFORM="xcb", VELTA_REGISTRY_DIR=self.registry,
                        LANG="C.UTF-8", TMPDIR=self.temp)

    def close(self):
        shutil.rmtree(self.model, ignore_errors=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, local):
        """A folder as the program names it."""
        return local

    # The settings, through a reg command.
    def reg(self, *arguments):
        return subprocess.run([self.args.reg, *arguments], env=self.env, capture_output=True,
                              text=True)

    def set(self, name, data):
        reg_set(self.reg, KEY, name, data)

    def seed(self, servicepath=True):
        self.reg("delete", KEY, "/f")
        self.set("draftdirsize", "12MB")
        self.set("modelsize", "3GB")
        self.set("token", "secret")
        if servicepath:
            self.set("servicepath", self.path(self.model))

    def value(self, name):
        return reg_value(self.reg, KEY, name)

    def key_exists(self):
        return reg_query(self.reg, KEY) is not None

    # The program.
    def command(self, arguments, appdata, hold, extra):
        env = dict(self.env, **extra)
        if appdata is None:
            env.pop("APPDATA", None)
        else:
            env["APPDATA"] = appdata
        command = [self.args.program, *arguments]
        if hold:
            # A file that is a mount point cannot be deleted, even by root:
            # another file bound over it, in a mount namespace of the
            # program's own, so that nothing outside it sees the mount.
            source = os.path.join(self.tmp, "bound")
            open(source, "wb").close()
            command = ["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
                       'mount --bind "$0" "$1" && shift && exec "$@"', source, hold, *command]
        return command, env

    def start(self, *arguments, appdata="default", hold=None, cwd=None, env=None):
        """Starts the program, in the installation folder unless cwd says
        otherwise; appdata None unsets APPDATA, `env` sets further variables."""
        if appdata == "default":
            appdata = self.path(self.appdata)
        command, env = self.command(arguments, appdata, hold, env or {})
        self.started = time.monotonic()
        # Qt's own warnings land in a log that a failure prints.
        with open(os.path.join(self.tmp, "stderr.log"), "ab") as log:
            return subprocess.Popen(command, cwd=cwd or self.install, env=env,
                                    stdout=subprocess.PIPE, stderr=log)

    def windows(self, process):
        found = self.xdotool("search", "--onlyvisible", "--pid", str(process.pid))
        return found.stdout.split()

    def window(self, process, timeout=TIMEOUT):
        """Waits until the program's window is mapped and has the keyboard."""
        deadline = time.monotonic() + timeout
        while True:
            check(process.poll() is None, "the program ended before showing a window")
            found = self.windows(process)
            if found:
                window = found[0]
                break
            check(time.monotonic() < deadline, "no window appeared")
            time.sleep(0.05)
        self.activate(window)
        self.main = window
        return window

    def message_box(self, process, seen=()):
        """Waits for a second window of the program, its message box, other
        than the boxes `seen`; gives it the keyboard and returns it."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            boxes = [w for w in self.windows(process) if w != self.main and w not in seen]
            if boxes:
                break
            check(process.poll() is None, "the program ended without a message box")
            check(time.monotonic() < deadline, "no message box")
            time.sleep(0.05)
        self.activate(boxes[0])
        return boxes[0]

    def confirm(self, token=False, settings=False, draft=False, model=False):
        self.keys(*confirm_keys(token, settings, draft, model))

    def finish(self, process, timeout=TIMEOUT):
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise Failure("the program did not end")
        return process.returncode, out.decode("utf-8")

    def untouched(self, token=True):
        check(self.key_exists(), "the settings key is gone")
        check(self.value("draftdirsize") == "12MB", "draftdirsize changed")
        check((self.value("token") == "secret") == token, "token state is wrong")
        self.folders_untouched()

    def folders_untouched(self):
        check(count_entries(self.draft) == self.entries, "the draft folder changed")
        check(count_entries(self.model) == self.entries, "the model folder changed")


class WineCase(Case):
    """The same case inside the Wine prefix, with Wine's registry and reg.exe."""

    def __init__(self, args, display):
        base = os.path.join(display.drive_c, "e2e")
        os.makedirs(base, exist_ok=True)
        super().__init__(args, display, base)
        shutil.copy(args.program, os.path.join(self.install, "Uninstall.exe"))
        self.env = dict(display.env)
        self.registry = None  # Wine's own
        self.foreground = lambda: display.foreground(args.wintext)

    def close(self):
        # A failed case can leave the program running, and its window would
        # stand in the next case's way; nor may a sub-key it made outlive it.
        subprocess.run(["pkill", "-f", re.escape(self.path(self.install))])
        self.reg("delete", KEY + r"\Layout", "/f")
        super().close()

    def path(self, local):
        return self.display.path(local)

    def reg(self, *arguments):
        return self.display.reg(*arguments)

    def command(self, arguments, appdata, hold, extra):
        changes = ["-APPDATA" if appdata is None else "APPDATA=" + appdata,
                   "TEMP=" + self.path(self.temp)]
        changes += ["%s=%s" % item for item in extra.items()]
        if hold:
            changes.append("+" + self.path(hold))
        return (self.display.command(self.args.envrun, *changes, "--",
                                     self.path(os.path.join(self.install, "Uninstall.exe")),
                                     *arguments), self.env)

    def finish(self, process, timeout=TIMEOUT):
        # The C runtime ends lines with CR LF on Windows: every one of them.
        code, out = super().finish(process, timeout)
        check(out.count("\n") == out.count("\r\n"), "a line without CR LF in %r" % out)
        return code, out.replace("\r\n", "\n")

    def short_name(self, folder, name):
        return self.display.short_name(folder, name)

    def windows(self, process):
        # Wine names its X windows' class after the program, not the host pid.
        return self.visible("uninstall.exe")
