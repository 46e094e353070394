// The settings store against the registry: natively over the stand-in, and
// under Wine over Wine's registry.
#include "src/utils/reg_settings.h"
#include "tests/settings/test_support.h"
#include "src/utils/utf.h"

#include <doctest/doctest.h>

#include <atomic>
#include <thread>

namespace {

// A store bound to a test domain whose key starts out missing.
toolRegSetting freshStore(const std::u16string& domain) {
    deleteTree(domainPath(domain));
    return toolRegSetting(nullptr, domain);
}

ByteArray bytesOf(const std::string& text) {
    return ByteArray(text.begin(), text.end());
}

ByteArray pattern(std::size_t size, std::uint8_t seed) {
    ByteArray bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

} // namespace

namespace doctest {
template <> struct StringMaker<SettingValue> {
    static String convert(const SettingValue& value) {
        return String(
            ("[kind " + std::to_string(value.index()) + "] " + toUtf8(settingText(value))).c_str());
    }
};
} // namespace doctest

TEST_SUITE("store") {
    TEST_CASE("construction sets the three fields and touches nothing") {
        deleteTree(domainPath(u"StoreTest.Fields"));
        toolRegSetting store(nullptr, u"StoreTest.Fields");
        CHECK(store.default_name == u"VeltaTech");
        CHECK(store.application == u"StoreTest.Fields");
        CHECK(store.registry_path == u"Software\\VeltaTech\\StoreTest.Fields");
        CHECK_FALSE(keyExists(store.registry_path));

        CHECK(RegWindowSettings.application == u"WindowSettings");
        CHECK(RegWindowSettings.registry_path == u"Software\\VeltaTech\\WindowSettings");
        CHECK(toolRegSetting().application == u"WindowSettings");
    }

    TEST_CASE("values are written with the registry type of their kind") {
        toolRegSetting store = freshStore(u"StoreTest.Write");
        const std::u16string path = store.registry_path;

        store.setValue(u"flag", true);
        store.setValue(u"count", std::int64_t(42));
        store.setValue(u"big", std::uint64_t(4294967295u));
        store.setValue(u"size", std::u16string(u"12MB"));
        store.setValue(u"blob", ByteArray{0, 1, 2, 0xFF});
        store.setValue(u"empty", ByteArray{});
        store.setValue(u"nothing", SettingValue{});
        store.setValue(u"list", TextList{u"a", u"b"});

        RawValue flag = readRaw(path, u"flag");
        CHECK(flag.type == REG_DWORD);
        CHECK(flag.data == ByteArray{1, 0, 0, 0});
        CHECK(readRaw(path, u"count").data == ByteArray{42, 0, 0, 0});
        CHECK(readRaw(path, u"big").data == ByteArray{0xFF, 0xFF, 0xFF, 0xFF});

        RawValue size = readRaw(path, u"size");
        CHECK(size.type == REG_SZ);
        CHECK(size.data.size() == (4 + 1) * 2); // the terminator counts
        CHECK(size.data == ByteArray{'1', 0, '2', 0, 'M', 0, 'B', 0, 0, 0});

        RawValue blob = readRaw(path, u"blob");
        CHECK(blob.type == REG_BINARY);
        CHECK(blob.data == ByteArray{0, 1, 2, 0xFF});
        RawValue empty = readRaw(path, u"empty");
        CHECK(empty.status == ERROR_SUCCESS);
        CHECK(empty.type == REG_BINARY);
        CHECK(empty.data.empty());

        RawValue nothing = readRaw(path, u"nothing");
        CHECK(nothing.type == REG_SZ);
        CHECK(nothing.data == ByteArray{0, 0});
        RawValue list = readRaw(path, u"list");
        CHECK(list.type == REG_SZ);
        CHECK(list.data == ByteArray{'a', 0, ',', 0, ' ', 0, 'b', 0, 0, 0});

        // Read back: DWORDs as unsigned, text as text, empty binary as null.
        CHECK(store.getValue(u"flag") == SettingValue(std::uint64_t(1)));
        CHECK(store.getValue(u"count") == SettingValue(std::uint64_t(42)));
        CHECK(store.getValue(u"size") == SettingValue(std::u16string(u"12MB")));
        CHECK(store.getValue(u"blob") == SettingValue(ByteArray{0, 1, 2, 0xFF}));
        CHECK(store.getValue(u"empty", u"default") == SettingValue());
        CHECK(store.getValue(u"list") == SettingValue(std::u16string(u"a, b")));

        // Overwriting may change the type.
        store.setValue(u"size", std::int64_t(7));
        CHECK(readRaw(path, u"size").type == REG_DWORD);
    }

    TEST_CASE("an integer outside the DWORD range fails and writes nothing") {
        toolRegSetting store = freshStore(u"StoreTest.Range");
        const std::size_t handles = openHandleCount();
        {
            RegKey open = toolRegSetting(nullptr, u"StoreTest.Fields")._create_key();
            REQUIRE(open);
            CHECK(openHandleCount() == handles + 1); // the count does see registry keys
        }
        CHECK(openHandleCount() == handles);
        for (SettingValue bad :
             {SettingValue(std::int64_t(4294967296ll)), SettingValue(std::int64_t(-1)),
              SettingValue(std::uint64_t(0xFFFFFFFFFFFFFFFFull))}) {
            CAPTURE(bad);
            try {
                store.setValue(u"n", bad);
                FAIL("no error raised");
            } catch (const RegError& e) {
                CHECK(e.code() == ERROR_ARITHMETIC_OVERFLOW);
                CHECK(std::string(e.what()).find("534") != std::string::npos);
            }
        }
        CHECK_FALSE(keyExists(store.registry_path)); // not even the key
        CHECK(openHandleCount() == handles);

        store.setValue(u"n", std::int64_t(5));
        CHECK_THROWS_AS(store.setValue(u"n", std::int64_t(-5)), RegError);
        CHECK(store.getValue(u"n") == SettingValue(std::uint64_t(5)));
        CHECK(openHandleCount() == handles);
    }

    TEST_CASE("reads convert every registry type") {
        toolRegSetting store = freshStore(u"StoreTest.Read");
        const std::u16string path = store.registry_path;
        writeRaw(path, u"q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x80});
        writeRaw(path, u"m", REG_MULTI_SZ, utf16Bytes(std::u16string(u"one\0二\0\0", 7)));
        writeRaw(path, u"x", REG_EXPAND_SZ, utf16Bytes(std::u16string(u"%APPDATA%\\V\0", 12)));
        writeRaw(path, u"d", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
        writeRaw(path, u"none", REG_NONE, {9, 8});
        writeRaw(path, u"custom", 0x4242, {7});
        writeRaw(path, u"b0", REG_BINARY, {});

        CHECK(store.getValue(u"q") == SettingValue(std::uint64_t(0x8007060504030201ull)));
        CHECK(store.getValue(u"m") == SettingValue(TextList{u"one", u"二"}));
        CHECK(store.getValue(u"x") == SettingValue(std::u16string(u"%APPDATA%\\V")));
        CHECK(store.getValue(u"d") == SettingValue(std::uint64_t(0x12345678)));
        CHECK(store.getValue(u"none") == SettingValue(ByteArray{9, 8}));
        CHECK(store.getValue(u"custom") == SettingValue(ByteArray{7}));
        CHECK(store.getValue(u"b0", std::u16string(u"x")) == SettingValue());
        CHECK(store.getValueDecode(u"d") == SettingValue(std::uint64_t(0x12345678)));
    }

    TEST_CASE("a missing key or value gives the default") {
        toolRegSetting store = freshStore(u"StoreTest.Defaults");
        const SettingValue fallback = std::u16string(u"0MB");
        CHECK(store.getValue(u"draftdirsize", fallback) == fallback);
        CHECK(store.getValue(u"servicepath") == SettingValue());
        CHECK(store.getValueDecode(u"draftdirsize", fallback) == fallback);
        CHECK(store.get_all_settings().empty());

        store.setValue(u"other", std::u16string(u"x"));
        CHECK(store.getValue(u"draftdirsize", fallback) == fallback);
        CHECK(store.getValue(u"DRAFTDIRSIZE", fallback) == fallback);
        store.setValue(u"DraftDirSize", std::u16string(u"3MB"));
        CHECK(store.getValue(u"draftdirsize", fallback) == SettingValue(std::u16string(u"3MB")));
    }

    TEST_CASE("decode stores UTF-8 bytes and returns invalid UTF-8 raw") {
        toolRegSetting store = freshStore(u"StoreTest.Decode");
        const std::u16string text = u"模型 drafts 😀";
        store.setValueDecode(u"a", text);
        RawValue raw = readRaw(store.registry_path, u"a");
        CHECK(raw.type == REG_BINARY);
        CHECK(raw.data == bytesOf(toUtf8(text)));
        CHECK(store.getValueDecode(u"a") == SettingValue(text));
        CHECK(store.getValue(u"a") == SettingValue(bytesOf(toUtf8(text))));

        const ByteArray invalid{'o', 'k', 0xC3, 0x28, 0xFF};
        writeRaw(store.registry_path, u"bad", REG_BINARY, invalid);
        CHECK(store.getValueDecode(u"bad") == SettingValue(invalid));
        // An overlong encoding and an encoded surrogate are not valid UTF-8.
        writeRaw(store.registry_path, u"overlong", REG_BINARY, {0xC0, 0xAF});
        CHECK(store.getValueDecode(u"overlong") == SettingValue(ByteArray{0xC0, 0xAF}));
        writeRaw(store.registry_path, u"surrogate", REG_BINARY, {0xED, 0xA0, 0x80});
        CHECK(store.getValueDecode(u"surrogate") == SettingValue(ByteArray{0xED, 0xA0, 0x80}));

        // The default goes through the same decoding.
        CHECK(store.getValueDecode(u"missing", bytesOf("abc")) == SettingValue(u"abc"));
        CHECK(store.getValueDecode(u"missing", ByteArray{0xFF}) == SettingValue(ByteArray{0xFF}));
    }

    TEST_CASE("removeValue deletes one value and is quiet when there is nothing") {
        toolRegSetting store = freshStore(u"StoreTest.Remove");
        store.removeValue(u"token"); // key missing
        CHECK_FALSE(keyExists(store.registry_path));
        store.setValue(u"servicepath", std::u16string(u"C:\\models"));
        store.removeValue(u"token"); // value missing
        store.setValue(u"token", std::u16string(u"secret"));
        store.removeValue(u"TOKEN");
        CHECK(store.getValue(u"token") == SettingValue());
        CHECK(store.getValue(u"servicepath") == SettingValue(std::u16string(u"C:\\models")));
    }

    TEST_CASE("clearSettings deletes the key, is quiet when it is gone, refuses sub-keys") {
        toolRegSetting store = freshStore(u"StoreTest.Clear");
        store.setValue(u"a", std::int64_t(1));
        store.setValue(u"b", std::u16string(u"x"));
        store.clearSettings();
        CHECK_FALSE(keyExists(store.registry_path));
        CHECK(keyExists(u"Software\\VeltaTech"));
        CHECK(store.get_all_settings().empty());
        store.clearSettings(); // nothing left: quiet

        store.setValue(u"a", std::int64_t(1));
        REQUIRE(writeRaw(store.registry_path + u"\\Child", u"c", REG_SZ, {0, 0}) == ERROR_SUCCESS);
        try {
            store.clearSettings();
            FAIL("no error raised");
        } catch (const RegError& e) {
            CHECK(e.code() == ERROR_ACCESS_DENIED);
        }
        CHECK(store.getValue(u"a") == SettingValue(std::uint64_t(1)));
        deleteTree(store.registry_path);
    }

    TEST_CASE("get_all_settings lists every value in enumeration order") {
        toolRegSetting store = freshStore(u"StoreTest.List");
        store.setValue(u"servicepath", SettingValue()); // created empty, then listed
        CHECK(store.get_all_settings().size() == 1);
        store.clearSettings();
        store.setValue(u"x", std::int64_t(0)); // make the key, then empty it
        store.removeValue(u"x");
        CHECK(keyExists(store.registry_path));
        CHECK(store.get_all_settings().empty());

        // Names in alphabetical order: Wine lists by name, Windows and the
        // stand-in in creation order, so this order holds for all of them.
        store.setValue(u"draftdirsize", std::u16string(u"1MB"));
        store.setValue(u"flag", false);
        writeRaw(store.registry_path, u"list", REG_MULTI_SZ,
                 utf16Bytes(std::u16string(u"a\0b\0\0", 5)));
        store.setValueDecode(u"token", u"t");
        auto all = store.get_all_settings();
        REQUIRE(all.size() == 4);
        CHECK(all[0].first == u"draftdirsize");
        CHECK(all[0].second == SettingValue(std::u16string(u"1MB")));
        CHECK(all[1].first == u"flag");
        CHECK(all[1].second == SettingValue(std::uint64_t(0)));
        CHECK(all[2].second == SettingValue(TextList{u"a", u"b"}));
        CHECK(all[3].first == u"token");
        CHECK(all[3].second == SettingValue(ByteArray{'t'}));
    }

    TEST_CASE("two domains do not see each other") {
        toolRegSetting a = freshStore(u"StoreTest.A");
        toolRegSetting b = freshStore(u"StoreTest.B");
        a.setValue(u"token", std::u16string(u"from A"));
        b.setValue(u"other", std::int64_t(2));
        CHECK(b.getValue(u"token") == SettingValue());
        CHECK(a.getValue(u"other") == SettingValue());
        a.clearSettings();
        CHECK(b.getValue(u"other") == SettingValue(std::uint64_t(2)));
        CHECK(b.get_all_settings().size() == 1);
        b.clearSettings();
    }

    TEST_CASE("text forms") {
        CHECK(settingText(SettingValue()) == u"");
        CHECK(settingText(true) == u"1");
        CHECK(settingText(std::int64_t(-12)) == u"-12");
        CHECK(settingText(std::uint64_t(18446744073709551615ull)) == u"18446744073709551615");
        CHECK(settingText(TextList{u"a", u"b"}) == u"a, b");
        CHECK(settingText(bytesOf("12MB")) == u"12MB");
        CHECK(settingText(ByteArray{0xFF, 0x01}) == u"ff01");
    }
}

TEST_SUITE("raw") {
    TEST_CASE("text written by another program without the usual shape") {
        toolRegSetting store = freshStore(u"StoreTest.RawText");
        const std::u16string path = store.registry_path;
        writeRaw(path, u"noNul", REG_SZ, utf16Bytes(u"abc"));
        writeRaw(path, u"odd", REG_SZ, {'a', 0, 'b', 0, 'c'});
        writeRaw(path, u"one", REG_SZ, {'a'});
        writeRaw(path, u"embedded", REG_SZ, utf16Bytes(std::u16string(u"ab\0cd\0", 6)));
        writeRaw(path, u"empty", REG_SZ, {});
        writeRaw(path, u"expand", REG_EXPAND_SZ, utf16Bytes(u"%TEMP%"));
        CHECK(store.getValue(u"noNul") == SettingValue(std::u16string(u"abc")));
        CHECK(store.getValue(u"odd") == SettingValue(std::u16string(u"ab")));
        CHECK(store.getValue(u"one") == SettingValue(std::u16string()));
        CHECK(store.getValue(u"embedded") == SettingValue(std::u16string(u"ab")));
        CHECK(store.getValue(u"empty") == SettingValue(std::u16string()));
        CHECK(store.getValue(u"expand") == SettingValue(std::u16string(u"%TEMP%")));
        CHECK(store.get_all_settings().size() == 6);
    }

    TEST_CASE("lists and integers written by another program") {
        toolRegSetting store = freshStore(u"StoreTest.RawList");
        const std::u16string path = store.registry_path;
        writeRaw(path, u"noFinal", REG_MULTI_SZ, utf16Bytes(std::u16string(u"a\0b\0", 4)));
        writeRaw(path, u"noNul", REG_MULTI_SZ, utf16Bytes(std::u16string(u"a\0bc", 4)));
        writeRaw(path, u"odd", REG_MULTI_SZ, {'a', 0, 0, 0, 'b'});
        writeRaw(path, u"emptyFirst", REG_MULTI_SZ, utf16Bytes(std::u16string(u"\0a\0\0", 4)));
        writeRaw(path, u"empty", REG_MULTI_SZ, {});
        writeRaw(path, u"shortDword", REG_DWORD, {1, 2, 3});
        writeRaw(path, u"longDword", REG_DWORD, {1, 0, 0, 0, 0});
        writeRaw(path, u"shortQword", REG_QWORD, {1, 2, 3, 4});
        CHECK(store.getValue(u"noFinal") == SettingValue(TextList{u"a", u"b"}));
        CHECK(store.getValue(u"noNul") == SettingValue(TextList{u"a", u"bc"}));
        CHECK(store.getValue(u"odd") == SettingValue(TextList{u"a"}));
        CHECK(store.getValue(u"emptyFirst") == SettingValue(TextList{}));
        CHECK(store.getValue(u"empty") == SettingValue(TextList{}));
        // Integers of the wrong size are not guessed at: their bytes come back.
        CHECK(store.getValue(u"shortDword") == SettingValue(ByteArray{1, 2, 3}));
        CHECK(store.getValue(u"longDword") == SettingValue(ByteArray{1, 0, 0, 0, 0}));
        CHECK(store.getValue(u"shortQword") == SettingValue(ByteArray{1, 2, 3, 4}));
    }

    TEST_CASE("a 1 MiB value reads whole, alone and in the listing") {
        toolRegSetting store = freshStore(u"StoreTest.Large");
        const ByteArray big = pattern(1 << 20, 3);
        std::u16string longText(512 * 1024 - 1, u'x');
        for (std::size_t i = 0; i < longText.size(); ++i)
            longText[i] = char16_t(u'A' + i % 26);
        store.setValue(u"big", big);
        store.setValue(u"text", longText);
        CHECK(store.getValue(u"big") == SettingValue(big));
        CHECK(store.getValue(u"text") == SettingValue(longText));
        auto all = store.get_all_settings();
        REQUIRE(all.size() == 2);
        CHECK(all[0].second == SettingValue(big));
        CHECK(all[1].second == SettingValue(longText));
        store.clearSettings();
    }

    TEST_CASE("a value that changes size while it is read") {
        // A writer thread cycles the value through growing sizes while the store
        // reads it: a read may find more data than its last size query said, and
        // must then query again rather than return a cut or mixed value.
        toolRegSetting store = freshStore(u"StoreTest.Growing");
        const ByteArray sizes[] = {pattern(100, 1), pattern(5000, 2), pattern(30000, 3)};
        store.setValue(u"v", sizes[0]);
        std::atomic<bool> stop{false};
        std::atomic<int> writes{0};
        std::thread writer([&] {
            toolRegSetting w(nullptr, u"StoreTest.Growing");
            for (int i = 0; !stop; ++i, ++writes)
                w.setValue(u"v", sizes[i % 3]);
        });
        int seen[3] = {0, 0, 0};
        int wrong = 0;
        // Until a read has met the race at least once (bounded: the writer
        // makes it likely within a few hundred reads).
        const unsigned grewBefore = regValueGrewWhileRead;
        for (int i = 0;
             i < 150 || writes < 60 || (regValueGrewWhileRead == grewBefore && i < 20000); ++i) {
            SettingValue value =
                i % 2 ? store.getValue(u"v") : store.get_all_settings().at(0).second;
            const ByteArray* bytes = std::get_if<ByteArray>(&value);
            int which = -1;
            for (int k = 0; k < 3 && bytes; ++k)
                if (*bytes == sizes[k])
                    which = k;
            if (which < 0)
                ++wrong;
            else
                ++seen[which];
        }
        stop = true;
        writer.join();
        MESSAGE("reads by size: ", seen[0], " ", seen[1], " ", seen[2], "; writes: ", writes.load(),
                "; reads that met a grown value: ", regValueGrewWhileRead - grewBefore);
        CHECK(wrong == 0);
        CHECK(writes > 0);
        CHECK(regValueGrewWhileRead > grewBefore);
    }
}
