// The Linux stand-in's own promises: where the hive lives, that writes are
// whole, that two processes lose nothing, and that damage is reported.
#include "src/utils/reg_settings.h"
#include "tests/settings/test_support.h"

#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string hiveFile() {
    return std::string(std::getenv("VELTA_REGISTRY_DIR")) + "/HKCU.hive";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Runs body in a child process with the same hive; returns its exit status.
template <typename F> pid_t spawn(F body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid;
}

} // namespace

TEST_SUITE("standin") {
    TEST_CASE("the hive is one text file named by VELTA_REGISTRY_DIR, replaced whole") {
        toolRegSetting store(nullptr, u"StandinTest.File");
        store.setValue(u"a b%c\n", std::u16string(u"值"));
        store.setValue(u"", std::int64_t(3)); // the default value has the empty name
        std::string text = readFile(hiveFile());
        CHECK(text.rfind("velta-registry 1\n", 0) == 0);
        CHECK(text.find("key \\Software\\VeltaTech\\StandinTest.File\n") != std::string::npos);
        CHECK(text.find("value 1 =a%0020b%0025c%000a :3c500000\n") != std::string::npos);
        CHECK(text.find("value 4 = :03000000\n") != std::string::npos);
        CHECK(text.substr(text.size() - 4) != "end\n");
        CHECK_FALSE(exists(hiveFile() + ".new"));
        CHECK(store.getValue(u"A B%C\n") == SettingValue(std::u16string(u"值")));
        CHECK(store.getValue(u"") == SettingValue(std::uint64_t(3)));
    }

    TEST_CASE("without VELTA_REGISTRY_DIR the hive lives in the user's config folder") {
        std::string saved = std::getenv("VELTA_REGISTRY_DIR");
        std::string config = saved + "/config";
        unsetenv("VELTA_REGISTRY_DIR");
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        toolRegSetting(nullptr, u"StandinTest.Xdg").setValue(u"v", std::int64_t(1));
        CHECK(exists(config + "/velta-registry/HKCU.hive"));
        unsetenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        std::string savedHome = home ? home : "";
        setenv("HOME", (saved + "/home").c_str(), 1);
        toolRegSetting(nullptr, u"StandinTest.Home").setValue(u"v", std::int64_t(1));
        CHECK(exists(saved + "/home/.config/velta-registry/HKCU.hive"));
        setenv("HOME", savedHome.c_str(), 1);
        setenv("VELTA_REGISTRY_DIR", saved.c_str(), 1);
        CHECK_FALSE(keyExists(u"Software\\VeltaTech\\StandinTest.Xdg"));
    }

    TEST_CASE("a damaged hive is reported and left as it is") {
        toolRegSetting store(nullptr, u"StandinTest.Damage");
        store.setValue(u"keep", std::u16string(u"me"));
        const std::string good = readFile(hiveFile());
        const std::string damaged[] = {
            good.substr(0, good.size() - 6), // cut short
            good.substr(0, good.find("value")) + "value 1 =x :0\n" + good.substr(good.find("end")),
            "garbage\n",
            std::string(), // empty file
        };
        for (const std::string& text : damaged) {
            CAPTURE(text);
            writeFile(hiveFile(), text);
            HKEY key = nullptr;
            CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key) == ERROR_BADDB);
            try {
                store.getValue(u"keep");
                FAIL("no error raised");
            } catch (const RegError& e) {
                CHECK(e.code() == ERROR_BADDB);
            }
            store.setValue(u"keep", std::u16string(u"overwritten")); // silently nothing
            CHECK_THROWS_AS(store.clearSettings(), RegError);
            CHECK(readFile(hiveFile()) == text);
        }
        writeFile(hiveFile(), good);
        CHECK(store.getValue(u"keep") == SettingValue(std::u16string(u"me")));
    }

    TEST_CASE("writers in several processes lose nothing") {
        deleteTree(u"Software\\VeltaTech\\StandinTest.Race");
        const int processes = 4, values = 40;
        pid_t pids[processes];
        for (int p = 0; p < processes; ++p)
            pids[p] = spawn([p] {
                toolRegSetting store(nullptr, u"StandinTest.Race");
                for (int i = 0; i < values; ++i) {
                    std::u16string name = u"p" + std::u16string(1, char16_t(u'0' + p)) + u"_" +
                                          std::u16string(1, char16_t(u'0' + i / 10)) +
                                          std::u16string(1, char16_t(u'0' + i % 10));
                    store.setValue(name, std::int64_t(p * 1000 + i));
                    if (i % 10 == 0) // a second key created meanwhile
                        RegCloseKey(
                            toolRegSetting(nullptr, u"StandinTest.Race" +
                                                        std::u16string(1, char16_t(u'0' + p)))
                                ._create_key()
                                .release());
                }
                return 0;
            });
        for (pid_t pid : pids) {
            int status = -1;
            waitpid(pid, &status, 0);
            CHECK(status == 0);
        }
        toolRegSetting store(nullptr, u"StandinTest.Race");
        auto all = store.get_all_settings();
        CHECK(all.size() == std::size_t(processes * values));
        for (int p = 0; p < processes; ++p)
            CHECK(keyExists(u"Software\\VeltaTech\\StandinTest.Race" +
                            std::u16string(1, char16_t(u'0' + p))));
        CHECK(store.getValue(u"P3_02") == SettingValue(std::uint64_t(3002)));
        CHECK_FALSE(exists(hiveFile() + ".new"));
    }

    TEST_CASE("creation order is the enumeration order, and an overwrite keeps its place") {
        toolRegSetting store(nullptr, u"StandinTest.Order");
        store.clearSettings();
        for (const char16_t* name : {u"zeta", u"alpha", u"Mid"})
            store.setValue(name, std::int64_t(1));
        store.setValue(u"ALPHA", std::int64_t(2));
        auto all = store.get_all_settings();
        REQUIRE(all.size() == 3);
        CHECK(all[0].first == u"zeta");
        CHECK(all[1].first == u"alpha");
        CHECK(all[1].second == SettingValue(std::uint64_t(2)));
        CHECK(all[2].first == u"Mid");
    }

    TEST_CASE("handles are checked and counted") {
        const std::size_t before = standinOpenKeyCount();
        HKEY key = nullptr;
        REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\VeltaTech", 0, nullptr, 0, KEY_READ,
                                nullptr, &key, nullptr) == ERROR_SUCCESS);
        CHECK(standinOpenKeyCount() == before + 1);
        const BYTE data[1] = {1};
        CHECK(RegSetValueExW(key, u"v", 0, REG_BINARY, data, 1) == ERROR_ACCESS_DENIED);
        CHECK(RegCloseKey(key) == ERROR_SUCCESS);
        CHECK(RegCloseKey(key) == ERROR_INVALID_HANDLE);
        CHECK(standinOpenKeyCount() == before);
        CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, u"\\Software", 0, KEY_READ, &key) ==
              ERROR_BAD_PATHNAME);
    }
}
