#!/usr/bin/python3
"""End-to-end cases of the Uninstall program.

The real program runs on a display with openbox and is driven with the keyboard
through xdotool, as a person would: Tab, Space, Return, Alt+F4. Its folders
are real temporary folders. Two back ends run the same cases:

- native: a private Xvfb per case; the settings live in the registry stand-in
  of a temporary folder, seeded and read back with the reg command;
- Wine: Uninstall.exe copied into an installation folder inside the test
  prefix, started through envrun.exe (Wine takes APPDATA from the prefix, not
  from the host) on the runner's display; the settings live in Wine's registry,
  seeded and read back with Wine's reg.exe; the folders lie inside the prefix.

Usage: e2e_uninstall.py --program Uninstall --icon app.ico --reg reg CASE
       e2e_uninstall.py --program Uninstall.exe --icon app.ico --wine BUILD_DIR
                        --envrun envrun.exe --wintext wintext.exe --runner wine-run.sh
                        [--repeat N] CASE
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from e2e_support import (KEY, TIMEOUT, Failure, Wine, cancel_keys, check,  # noqa: E402
                         clipboard_text, count_entries, make_tree, reg_query, same_icons,
                         window_icons, write_ico)
from e2e_uninstall_case import Case, DeleteWatch, Display, WineCase  # noqa: E402

SWITCH = "/VELTAAIUNINSTALL"


# The cases.

def skip(case, argv):
    # With no usable platform, creating the application would end the process
    # with a start-failure line, so silence shows that none was made. Natively
    # the registry folder does not exist, and any registry read would create it;
    # under Wine its registry trace shows that the settings key was not opened
    # (while it shows the keys Wine itself opens for every program).
    if not case.registry:
        case.env["VELTA_WINEDEBUG"] = "trace+reg"
    process = case.start(*argv, "-platform", "nonexistent")
    code, out = case.finish(process)
    print("ended after %.3f s" % (time.monotonic() - case.started))
    check(code == 0, "exit code %r, expected 0" % code)
    check(out == "", "unexpected output %r" % out)
    if case.registry:
        check(not os.path.exists(case.registry), "the registry was accessed")
    else:
        with open(os.path.join(case.tmp, "stderr.log"), errors="replace") as f:
            trace = f.read().lower()
        check("trace:reg:" in trace, "no registry trace from the program")
        check("windowsettings" not in trace, "the settings key was opened")
    case.folders_untouched()


def case_skip_upper(case):
    skip(case, [SWITCH])


def case_skip_lower(case):
    skip(case, ["/SILENT", SWITCH.lower()])


def case_skip_mixed(case):
    skip(case, ["/VeltaAIUnInstall"])


def case_near_miss(case):
    for argument in (SWITCH + "X", SWITCH[1:], " " + SWITCH):
        if case.registry:
            shutil.rmtree(case.registry, ignore_errors=True)
        process = case.start(argument)
        case.window(process)
        check(not case.registry or os.path.exists(case.registry),
              "the window opened without reading the sizes")
        case.keys("alt+F4")
        code, _ = case.finish(process)
        check(code == 66, "%r: exit code %r, expected 66" % (argument, code))


def case_cancel(case):
    case.seed()
    process = case.start()
    case.window(process)
    case.keys(*cancel_keys())
    code, out = case.finish(process)
    check(code == 66, "exit code %r, expected 66" % code)
    check(out == "取消\n", "output %r, expected the cancel line" % out)
    case.untouched()


def case_alt_f4(case):
    case.seed()
    process = case.start()
    case.window(process)
    case.keys("space", "Tab", "space", "alt+F4")
    code, out = case.finish(process)
    check(code == 66, "exit code %r, expected 66" % code)
    check(out == "", "unexpected output %r" % out)
    case.untouched()


def case_nothing_ticked(case):
    case.seed()
    process = case.start()
    case.window(process)
    case.confirm()
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(out == "", "unexpected output %r" % out)
    case.untouched()


def case_token_only(case):
    case.seed()
    process = case.start()
    case.window(process)
    case.confirm(token=True)
    code, _ = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    case.untouched(token=False)
    check(case.value("servicepath") == case.path(case.model), "servicepath changed")


def case_settings_only(case):
    case.seed()
    process = case.start()
    case.window(process)
    case.confirm(settings=True)
    code, _ = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(not case.key_exists(), "the settings key is still there")
    check(reg_query(case.reg, r"HKCU\Software\VeltaTech") is not None,
          "the organisation key went too")
    case.folders_untouched()


def case_all_four(case):
    case.seed()
    for folder in (case.draft, case.model):
        os.chmod(os.path.join(folder, "top1.bin"), 0o444)  # read-only goes too
    watch = DeleteWatch([case.draft, case.model])
    process = case.start()
    case.window(process)
    case.confirm(token=True, settings=True, draft=True, model=True)
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(out == "", "unexpected output %r" % out)
    check(not case.key_exists(), "the settings key is still there")
    check(not os.path.exists(case.draft), "the draft folder is still there")
    check(not os.path.exists(case.model), "the model folder is still there")
    check(os.path.isdir(case.appdata), "APPDATA itself went")
    order = watch.order()
    print("deletions began in:", order)
    check(order == [case.draft, case.model], "the draft folder did not go first")


def case_servicepath_missing(case):
    case.seed(servicepath=False)
    process = case.start()
    case.window(process)
    case.confirm(draft=True, model=True)
    code, _ = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    case.untouched()


def case_close_during_removal(case):
    # A big model folder, on tmpfs when there is one: quick to make however
    # busy the disk is.
    if case.registry:
        shutil.rmtree(case.model)
        base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else case.tmp
        case.model = tempfile.mkdtemp(prefix="uninstall-e2e-models-", dir=base)
        make_tree(case.model, 150000)
    else:
        make_tree(case.model, 8000)  # Wine removes some thousand entries a second
    case.seed()
    total = count_entries(case.draft) + count_entries(case.model)
    watch = DeleteWatch([case.draft])
    process = case.start()
    case.window(process)
    case.confirm(draft=True, model=True)
    deadline = time.monotonic() + TIMEOUT
    while not watch.poll():
        check(process.poll() is None, "the program ended before the removal began")
        check(time.monotonic() < deadline, "the removal did not begin")
        time.sleep(0.005)
    asked = time.monotonic()
    case.keys("alt+F4")
    code, _ = case.finish(process)
    case.exit_seconds = time.monotonic() - asked
    left = count_entries(case.model) if os.path.exists(case.model) else 0
    print("ended %.3f s after the close request" % case.exit_seconds)
    check(code == 66, "exit code %r, expected 66" % code)
    # Generous for a loaded machine; a removal left to finish takes far longer.
    check(case.exit_seconds < 5, "the program ended %.1f s after the close request"
          % case.exit_seconds)
    print("%d of %d entries left" % (left, total))
    check(left > 0, "the removal was not cut off")
    time.sleep(2)  # nothing goes on removing after the end
    check(count_entries(case.model) == left, "entries still vanish after the exit")


def case_confirm_error(case):
    # A settings key with a sub-key cannot be deleted: the confirmation stops,
    # the user is told, and the uninstall goes on (it was not cancelled).
    case.seed()
    done = case.reg("add", KEY + r"\Layout", "/v", "x", "/t", "REG_SZ", "/d", "y", "/f")
    check(done.returncode == 0, "reg add of a sub-key failed")
    process = case.start()
    case.window(process)
    case.confirm(token=True, settings=True, draft=True, model=True)
    case.message_box(process)
    case.keys("Return")
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(out.startswith("发生错误 ") and out.endswith("\n"), "output %r" % out)
    check(case.value("token") is None, "the token was not deleted before the failure")
    check(case.value("draftdirsize") == "12MB", "the key was cleared after all")
    case.folders_untouched()


def case_appdata_empty(case):
    # An empty APPDATA would give the relative path VeltaAI, in the working folder.
    case.seed()
    make_tree(os.path.join(case.install, "VeltaAI"), 3)
    process = case.start(appdata="")
    case.window(process)
    case.confirm(draft=True, model=True)
    case.message_box(process)
    case.keys("Return")
    code, _ = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(count_entries(os.path.join(case.install, "VeltaAI")) == 3,
          "a relative VeltaAI folder was touched")
    check(count_entries(case.draft) == case.entries, "the real draft folder changed")
    check(not os.path.exists(case.model), "the model folder is still there")


def case_start_failure(case):
    # A hive that does not parse fails every registry call: reading the sizes
    # fails while the window is built. No window; the uninstall goes on.
    os.makedirs(case.registry)
    with open(os.path.join(case.registry, "HKCU.hive"), "wb") as hive:
        hive.write(b"not a hive")
    process = case.start()
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(out.startswith("发生错误 ") and out.endswith("\n"), "output %r" % out)
    case.folders_untouched()


def case_platform_missing(case):
    # Qt cannot start without a platform: the start-failure line and 0, no abort.
    case.seed()
    process = case.start("-platform", "nonexistent")
    if not case.registry:  # on Windows Qt first tells the user in a message box
        case.message_box(process)
        case.keys("Return")
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(out.startswith("发生错误 ") and out.endswith("\n"), "output %r" % out)
    case.untouched()


def left_behind_box(case, process, seen=()):
    """Waits for the box that lists what stayed: the program still runs. Under
    Wine its text through the clipboard (Qt copies a box with Ctrl+C on
    Windows only); natively None."""
    box = case.message_box(process, seen)
    text = None
    if not case.registry:
        case.keys("ctrl+c")
        deadline = time.monotonic() + TIMEOUT
        while not (text and "没有删除" in text):
            check(time.monotonic() < deadline, "the box's text never reached the clipboard")
            time.sleep(0.1)
            text = clipboard_text(case.display_env)
        text = text.replace("\r\n", "\n")
    check(process.poll() is None, "the program ended before the box was answered")
    return box, text


def read_log(case):
    """The log's lines after its heading."""
    check(os.path.exists(case.log), "no log at " + case.log)
    with open(case.log, encoding="utf-8-sig") as f:
        lines = f.read().splitlines()
    check(lines and lines[0].startswith("VeltaAI卸载程序 ") and
          lines[0].endswith("：以下文件或文件夹没有删除"), "log heading %r" % lines[:1])
    return lines[1:]


def case_locked_file(case):
    # A file that cannot be deleted (under Wine held open without delete
    # sharing, natively a mount point) stays; so do the folders above it. Each
    # is reported in one UTF-8 line, the rest goes; after the removal one box
    # lists them and names the log, and only once it is answered does the
    # uninstall go on.
    case.seed()
    locked = os.path.join(case.model, "part0", "f5")
    process = case.start(hold=locked)
    case.window(process)
    case.confirm(draft=True, model=True)
    _, text = left_behind_box(case, process)
    case.keys("Return")
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    lines = out.splitlines()
    check([line.split(" (")[0] for line in lines] == [
        "删除失败文件: " + case.path(locked),
        "删除失败目录: " + case.path(os.path.dirname(locked)),
        "删除主目录失败: " + case.path(case.model)], "output %r" % out)
    check(read_log(case) == lines, "the log does not hold the output lines")
    if text is not None:
        print("the box:\n" + text)
        check("以下文件或文件夹没有删除：\n" + "\n".join(lines) + "\n\n完整列表已写入：" +
              case.path(case.log) + "\n" in text, "box text %r" % text)
    check(not os.path.exists(case.draft), "the draft folder is still there")
    check(count_entries(case.model) == 2, "more than the locked file and its folder stayed")


def case_links(case):
    # Links in the model folder, to a folder and to a file outside it, each
    # with a canary behind it. Natively they go as links. Under Wine they are
    # Linux links, which Wine opens as their targets, so they stay, told.
    outside = os.path.join(case.tmp, "outside")
    make_tree(outside, 3)
    with open(os.path.join(case.tmp, "outside.txt"), "w") as f:
        f.write("keep")
    links = [os.path.join(case.model, name) for name in ("lnk-file", "lnk-dir")]
    os.symlink("../outside.txt", links[0])
    os.symlink("../outside", links[1])
    case.seed()
    process = case.start()
    case.window(process)
    case.confirm(model=True)
    if not case.registry:
        left_behind_box(case, process)
        case.keys("Return")
    code, out = case.finish(process)
    check(code == 0, "exit code %r, expected 0" % code)
    check(count_entries(outside) == 3, "the folder a link points to lost entries")
    with open(os.path.join(case.tmp, "outside.txt")) as f:
        check(f.read() == "keep", "the file a link points to changed")
    if case.registry:
        check(out == "" and not os.path.lexists(case.model), "output %r" % out)
        return
    check([line.split(" (")[0] for line in out.splitlines()] == [
        "删除失败文件: " + case.path(links[0]), "删除失败目录: " + case.path(links[1]),
        "删除主目录失败: " + case.path(case.model)], "output %r" % out)
    check(all(os.path.islink(link) for link in links), "a link went")


def case_icon_elsewhere(case):
    # Started from a working folder without assets/app.ico the window carries
    # the same icon as with it: the program's own. Another icon beside the
    # working folder wins.
    elsewhere = os.path.join(case.tmp, "elsewhere")
    os.makedirs(elsewhere)

    def shown(cwd, expected=None):
        process = case.start(cwd=cwd)
        window = case.window(process)
        deadline = time.monotonic() + 5
        while True:  # the icon may follow the window's mapping
            icons = window_icons(case.display_env, window)
            if icons and (expected is None or same_icons(icons, expected)):
                break
            check(time.monotonic() < deadline, "%s: no icon or not the expected one" % cwd)
            time.sleep(0.1)
        if case.registry:  # natively the process is the program: ended exactly
            process.kill()
            process.communicate()
        else:  # under Wine the runner's child; closed as a person would
            case.keys("alt+F4")
            code, _ = case.finish(process)
            check(code == 66, "%s: exit code %r, expected 66" % (cwd, code))
        return icons

    beside = shown(case.install)
    print("icon sizes shown:", sorted(beside))
    shown(elsewhere, beside)
    other = (200, 30, 90, 255)
    write_ico(os.path.join(case.install, "assets", "app.ico"), 32, other)
    icons = shown(case.install)
    check(same_icons(icons, {size: [other] * (size[0] * size[1]) for size in icons}),
          "not the icon beside the working folder")


def case_protected(case):
    # Protected folders stay, whatever their spelling; each refusal prints its
    # line, and the user is told once, in the box after the removal. Under Wine
    # the per-user programs folder is not a known folder: its documented place
    # is protected all the same.
    if case.registry:
        home = os.path.join(case.tmp, "home")
        make_tree(home, 3)
        case.env["HOME"] = home
        runs = [(home, home, "/usr/lib")]  # the draft folder by spelling: it does not exist
    else:
        drive_c = case.display.drive_c
        user = next(d for d in os.listdir(os.path.join(drive_c, "users")) if d != "Public")
        programs = "users/%s/AppData/Local/Programs/OtherApp" % user
        make_tree(os.path.join(drive_c, programs), 3)
        runs = [(r"C:\Program Files\Common Files", "Program Files/Common Files", r"C:\ProgramData"),
                ("C:\\%s\\Common Files" % case.short_name("C:\\", "Program Files"),
                 "Program Files/Common Files", None),
                (r"c:\WINDOWS\FONTS", "windows/Fonts", None),
                (r"C:\users\%s\Documents" % user, "users/%s/Documents" % user, None),
                ("C:\\" + programs.replace("/", "\\"), programs, None)]
    for model, host, appdata in runs:
        host = host if case.registry else os.path.join(drive_c, host)
        before = count_entries(host)
        case.seed()
        case.set("servicepath", model)
        process = case.start(**({"appdata": appdata} if appdata else {}))
        case.window(process)
        case.confirm(draft=True, model=True)
        _, text = left_behind_box(case, process)
        case.keys("Return")
        code, out = case.finish(process)
        check(code == 0, "%s: exit code %r, expected 0" % (model, code))
        check(text is None or "\n拒绝删除: %s (" % model in text, "%s: box %r" % (model, text))
        check("拒绝删除: %s (" % model in out, "%s: output %r" % (model, out))
        if appdata:
            check("拒绝删除: %s" % appdata in out, "%s: output %r" % (appdata, out))
        check(count_entries(host) == before, "%s was touched" % model)


def case_planted(case):
    # Qt plugins of every kind the program uses, each with real metadata, in
    # every folder Qt could be pointed at: beside the program (also its working
    # folder), where a planted qt.conf points, and where the variables point;
    # and a qt.conf beside it that would change the platform's options. The
    # window shows, icon included, no planted DLL is loaded, and Wine's file
    # trace shows that no qt.conf was even looked for (while it shows the icon).
    planted = os.path.join(case.args.wine, "planted")
    elsewhere = os.path.join(case.tmp, "elsewhere")
    for base in (case.install, os.path.join(case.install, "plugins"), elsewhere):
        shutil.copytree(planted, base, dirs_exist_ok=True)
    with open(os.path.join(case.install, "qt.conf"), "w") as conf:
        conf.write("[Paths]\nPrefix = %s\nPlugins = .\n[Platforms]\nWindowsArguments = "
                   "fontengine=freetype\n" % case.path(elsewhere).replace("\\", "/"))
    case.seed()
    case.env["VELTA_WINEDEBUG"] = "trace+file"
    process = case.start(env={"QT_PLUGIN_PATH": case.path(elsewhere),
                              "QT_QPA_PLATFORM_PLUGIN_PATH":
                                  case.path(os.path.join(elsewhere, "platforms"))})
    case.window(process, timeout=TIMEOUT * 3)  # the trace slows the start
    case.keys("alt+F4")
    code, out = case.finish(process)
    check(code == 66, "exit code %r, expected 66; output %r" % (code, out))
    loaded = [os.path.join(root, name) for root, _, names in os.walk(case.tmp)
              for name in names if name.endswith(".loaded")]
    check(not loaded, "planted DLLs were loaded: %s" % loaded)
    with open(os.path.join(case.tmp, "stderr.log"), errors="replace") as f:
        trace = f.read().lower()
    check("app.ico" in trace, "no file trace from the program")
    check("qt.conf" not in trace and "qt6.conf" not in trace, "a qt.conf was looked for")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--icon", required=True)
    parser.add_argument("--reg", help="the stand-in's reg command (native)")
    parser.add_argument("--wine", help="the Windows build folder (Wine)")
    parser.add_argument("--envrun")
    parser.add_argument("--wintext")
    parser.add_argument("--runner")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("case")
    args = parser.parse_args()
    run = globals().get("case_" + args.case.replace("-", "_"))
    if run is None or not (args.reg or (args.wine and args.envrun and args.wintext and args.runner)):
        parser.error("unknown case or back end")

    for name in ("program", "reg", "envrun", "wintext", "runner", "wine"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    seconds = []
    for attempt in range(args.repeat):
        display = Wine(args.runner, args.wine) if args.wine else Display()
        case = WineCase(args, display) if args.wine else Case(args, display)
        try:
            run(case)
        except Failure as failure:
            print("FAIL %s (run %d): %s" % (args.case, attempt + 1, failure))
            log = os.path.join(case.tmp, "stderr.log")
            if os.path.exists(log):
                with open(log, errors="replace") as f:
                    print("program's standard error:\n" + f.read()[-4000:])
            return 1
        finally:
            case.close()
            display.close()
        seconds.append(getattr(case, "exit_seconds", 0.0))
    if args.repeat > 1:
        print("%d runs; exit after the close request: median %.3f s, longest %.3f s"
              % (args.repeat, sorted(seconds)[len(seconds) // 2], max(seconds)))
    print("PASS", args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
