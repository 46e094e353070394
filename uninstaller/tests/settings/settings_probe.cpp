// A store client for scripts; the same commands and output on Linux and Windows:
//   settings_probe get DOMAIN NAME [decode]
//   settings_probe set DOMAIN NAME text|decode|int|bool|bytes|list|null [DATA]
//   settings_probe list DOMAIN | remove DOMAIN NAME | clear DOMAIN
// A value prints as "<kind> <text form>"; lists print their items joined by '|'
// and bytes as hex. Output is UTF-8. Exit code 1 with "error <code>" on a RegError.
#include "src/utils/reg_settings.h"
#include "src/utils/utf.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string describe(const SettingValue& value) {
    if (std::holds_alternative<std::monostate>(value))
        return "null";
    if (std::holds_alternative<bool>(value) || std::holds_alternative<std::int64_t>(value))
        return "int " + toUtf8(settingText(value));
    if (std::holds_alternative<std::uint64_t>(value))
        return "uint " + toUtf8(settingText(value));
    if (const auto* text = std::get_if<std::u16string>(&value))
        return "text " + toUtf8(*text);
    if (const auto* list = std::get_if<TextList>(&value)) {
        std::string out = "list ";
        for (std::size_t i = 0; i < list->size(); ++i)
            out += (i ? "|" : "") + toUtf8((*list)[i]);
        return out;
    }
    const ByteArray& bytes = std::get<ByteArray>(value);
    return "bytes " + toHex(bytes.data(), bytes.size());
}

SettingValue parse(const std::string& kind, const std::string& data) {
    if (kind == "int")
        return std::int64_t(std::stoll(data));
    if (kind == "bool")
        return data == "true";
    if (kind == "bytes") {
        ByteArray bytes;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            bytes.push_back(std::uint8_t(std::stoul(data.substr(i, 2), nullptr, 16)));
        return bytes;
    }
    if (kind == "list") {
        TextList list;
        for (std::size_t start = 0;;) {
            std::size_t bar = data.find('|', start);
            list.push_back(fromUtf8(data.substr(start, bar - start)));
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        return list;
    }
    if (kind == "null")
        return std::monostate{};
    return fromUtf8(data);
}

int run(const std::vector<std::string>& a) {
    if (a.size() < 2)
        return 2;
    toolRegSetting store(nullptr, fromUtf8(a[1]));
    const std::string& cmd = a[0];
    if (cmd == "get" && a.size() >= 3) {
        std::u16string name = fromUtf8(a[2]);
        bool decode = a.size() > 3 && a[3] == "decode";
        writeLine(stdout, describe(decode ? store.getValueDecode(name) : store.getValue(name)));
    } else if (cmd == "set" && a.size() >= 4) {
        std::string data = a.size() > 4 ? a[4] : std::string();
        if (a[3] == "decode")
            store.setValueDecode(fromUtf8(a[2]), fromUtf8(data));
        else
            store.setValue(fromUtf8(a[2]), parse(a[3], data));
    } else if (cmd == "list") {
        for (const auto& [name, value] : store.get_all_settings())
            writeLine(stdout, toUtf8(name) + "=" + describe(value));
    } else if (cmd == "remove" && a.size() >= 3) {
        store.removeValue(fromUtf8(a[2]));
    } else if (cmd == "clear") {
        store.clearSettings();
    } else {
        return 2;
    }
    return 0;
}

int guarded(const std::vector<std::string>& args) {
    try {
        int code = run(args);
        if (code == 2)
            writeLine(
                stdout,
                "usage: settings_probe get|set|list|remove|clear DOMAIN [NAME [KIND [DATA]]]");
        return code;
    } catch (const RegError& e) {
        writeLine(stdout, "error " + std::to_string(e.code()));
        return 1;
    }
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(toUtf8(argv[i]));
    return guarded(args);
}
#else
int main(int argc, char** argv) {
    return guarded(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
