// Usage: wintext.exe
// Prints, in UTF-8, what Windows itself says of the foreground window: its
// title, the class of the control that has the keyboard focus (empty while
// none has it yet) and the text of each child control. Under Wine the X focus
// can reach a window before its thread has made it the foreground and given
// a control the focus: keys sent in between are lost. And a message box's
// text is drawn, not exposed to X.
#include <windows.h>

#include <cstdio>
#include <string>

#include "src/utils/utf.h"

namespace {

// One "name=line" for each line of the text.
void print(const char* name, const wchar_t* text) {
    const std::string utf8 = toUtf8(std::wstring_view(text));
    size_t start = 0;
    do {
        size_t end = utf8.find_first_of("\r\n", start);
        printf("%s=%s\n", name, utf8.substr(start, end - start).c_str());
        start = end == std::string::npos ? end : utf8.find_first_not_of("\r\n", end);
    } while (start != std::string::npos);
}

// GetWindowTextW gives no control text of another process; WM_GETTEXT does.
BOOL CALLBACK printChild(HWND child, LPARAM) {
    wchar_t text[4096] = L"";
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(child, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    if (IsWindowVisible(child) && copied)
        print("text", text);
    return TRUE;
}

} // namespace

int main() {
    HWND window = GetForegroundWindow();
    if (!window)
        return 1;
    wchar_t text[4096] = L"";
    GetWindowTextW(window, text, ARRAYSIZE(text));
    print("title", text);
    GUITHREADINFO info = {sizeof info};
    wchar_t focus[256] = L"";
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus)
        GetClassNameW(info.hwndFocus, focus, ARRAYSIZE(focus));
    print("focus", focus);
    EnumChildWindows(window, printChild, 0);
    return 0;
}
