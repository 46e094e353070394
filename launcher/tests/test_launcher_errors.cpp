// End-to-end tests of VeltaAI.exe: every failure on the way to the start ends in
// one error message box, exit code 0 and nothing started.
#include "test_support.h"

#include <doctest/doctest.h>

using namespace velta_test;

namespace {

const wchar_t kMissingExe[] = L"在运行目录中找不到VeltaApp.exe，请检查是否被杀毒误报拦截。";
const wchar_t kStartFailed[] = L"启动 VeltaApp.exe 失败。";
const wchar_t kPathTooLong[] =
    L"安装路径过长，无法启动 VeltaApp.exe。\n请将程序安装到路径较短的文件夹中。";

// Expects the launcher to show exactly one error box with `text`, hide its splash,
// end with 0 once the box is closed, and start nothing.
void ExpectErrorBox(const TempInstall& inst, const std::wstring& args, const std::wstring& text) {
    std::wstring rec = inst.file(L"record.txt");
    SetStandIn(rec, 0);
    Process launcher = Start(inst.launcher(), args);
    REQUIRE(launcher);
    HWND box = FindMessageBox(launcher.pid, L"Error", kWait);
    REQUIRE(box);
    CHECK(WideToUtf8(MessageText(box)) == WideToUtf8(text));
    HWND splash = FindWindowOf(launcher.pid, L"TransparentWindow", nullptr, 0);
    CHECK((splash == nullptr || !IsWindowVisible(splash)));
    CHECK(launcher.Running()); // it waits for the box
    CloseBox(box);
    CHECK(launcher.WaitExit(kWait) == 0);
    CHECK_FALSE(FileExists(rec));
}

} // namespace

TEST_SUITE("errors") {
    TEST_CASE("a missing VeltaApp.exe is reported and nothing starts") {
        TempInstall inst(L"noexe");
        REQUIRE(inst.ok());
        REQUIRE(DeleteFileW(LongPath(inst.bin() + L"\\VeltaApp.exe").c_str()));
        ExpectErrorBox(inst, L"", kMissingExe);
    }

    TEST_CASE("a missing bin folder is reported with its path and the error code") {
        TempInstall inst(L"nobin");
        REQUIRE(inst.ok());
        REQUIRE(RemoveTree(inst.bin()));
        // The code is what entering that folder fails with here.
        wchar_t here[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, here);
        REQUIRE_FALSE(SetCurrentDirectoryW(inst.bin().c_str()));
        DWORD code = GetLastError();
        ExpectErrorBox(inst, L"",
                       L"无法切换目录到:\n" + inst.bin() + L"\n错误代码: " + std::to_wstring(code));
    }

    TEST_CASE("a VeltaApp.exe that cannot start is reported") {
        TempInstall inst(L"badexe");
        REQUIRE(inst.ok());
        HANDLE f = CreateFileW(LongPath(inst.bin() + L"\\VeltaApp.exe").c_str(), GENERIC_WRITE, 0,
                               nullptr, CREATE_ALWAYS, 0, nullptr);
        REQUIRE(f != INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(f, "not a program", 13, &written, nullptr);
        CloseHandle(f);

        // Ours is the only box: the shell is asked to show none of its own.
        ExpectErrorBox(inst, L"", kStartFailed);
    }
}

TEST_SUITE("mends") {
    TEST_CASE("a longer installation path is refused with a message") {
        TempInstall inst(L"toolong", 238);
        REQUIRE(inst.ok());
        REQUIRE(inst.path().size() == 238);
        ExpectErrorBox(inst, L"", kPathTooLong);
    }
}
