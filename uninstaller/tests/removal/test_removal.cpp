// Walk, count, removal order, progress and messages on real temporary trees.
#include "tests/removal/test_support.h"

#include <doctest/doctest.h>

#include <stdexcept>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
const std::string kMissingText = system_text(ERROR_FILE_NOT_FOUND);
const std::string kNotDirText = system_text(ERROR_DIRECTORY);
#else
const std::string kMissingText = "No such file or directory";
const std::string kNotDirText = "Not a directory";
#endif

// A folder with 3 files and one subdirectory holding 2 files.
fsys::path make_example(const fsys::path& root) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        make_file(root / name);
    make_file(root / "sub" / "d.txt");
    make_file(root / "sub" / "e.txt");
    return root;
}

} // namespace

TEST_SUITE("walk") {
    TEST_CASE("the example tree counts 6 entries and is removed with 8 progress values") {
        TempDir tmp;
        fsys::path tree = make_example(tmp / "tree");
        CHECK(removal::count_items(tree.native()) == 6);

        Outcome o = remove_paths({tree});
        CHECK(o.progress == std::vector<int>{14, 28, 42, 57, 71, 85, 100, 100});
        CHECK(o.ready == 1);
        CHECK(o.ready_last);
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tree));
    }

    TEST_CASE("a folder of 250 files reports each percentage once, then 100") {
        TempDir tmp;
        for (int i = 0; i < 250; ++i)
            make_file(tmp / "many" / ("f" + std::to_string(i)));
        Outcome o = remove_paths({tmp / "many"});
        CHECK(o.progress == every_percentage());
        CHECK(o.ready_last);
        CHECK_FALSE(exists_no_follow(tmp / "many"));
    }

    TEST_CASE("an empty folder is one step") {
        TempDir tmp;
        fsys::create_directory(tmp / "empty");
        Outcome o = remove_paths({tmp / "empty"});
        CHECK(o.progress == std::vector<int>{100, 100});
        CHECK(o.ready == 1);
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "empty"));
    }

    TEST_CASE("no existing path gives exactly 100 and result_ready") {
        TempDir tmp;
        Outcome o = remove_paths({tmp / "missing", tmp / "also" / "missing"});
        CHECK(o.progress == std::vector<int>{100});
        CHECK(o.ready == 1);
        CHECK(o.ready_last);
        CHECK(o.output.empty());
    }

    TEST_CASE("an empty list gives exactly 100 and result_ready") {
        Outcome o = remove_paths({});
        CHECK(o.progress == std::vector<int>{100});
        CHECK(o.ready == 1);
    }

    TEST_CASE("counting covers nested folders and ignores files and missing paths") {
        TempDir tmp;
        make_file(tmp / "t" / "a" / "b" / "c" / "f.txt");
        make_file(tmp / "t" / "g.txt");
        fsys::create_directory(tmp / "t" / "empty");
        CHECK(removal::count_items((tmp / "t").native()) == 6);
        CHECK(removal::count_items((tmp / "t" / "g.txt").native()) == 0);
        CHECK(removal::count_items((tmp / "nothing").native()) == 0);
        // Counting reads only.
        CHECK(entries_below(tmp / "t") == 6);
    }

    TEST_CASE("a folder listed twice is removed once and reported missing the second time") {
        TempDir tmp;
        fsys::path tree = tmp / "three";
        for (const char* name : {"a", "b", "c"})
            make_file(tree / name);
        Outcome o = remove_paths({tree, tree});
        CHECK(o.progress == std::vector<int>{12, 25, 37, 50, 62, 100});
        CHECK(o.lines() ==
              std::vector<std::string>{kListedFailed + u8(tree) + " (" + kMissingText + ")"});
        CHECK(o.ready == 1);
    }

    TEST_CASE(
        "a listed file is one step, stays in place and is reported, again when listed twice") {
        TempDir tmp;
        fsys::path file = tmp / "file.txt";
        make_file(file, "data");
        set_readonly(file);
        Outcome o = remove_paths({file, file});
        const std::string line = kListedFailed + u8(file) + " (" + kNotDirText + ")";
        CHECK(o.progress == std::vector<int>{50, 100, 100});
        CHECK(o.lines() == std::vector<std::string>{line, line});
        CHECK(o.left == std::vector<std::string>{line}); // in the box once
        CHECK(fsys::exists(file));
        // What stays is left as it was, read-only included.
        CHECK((fsys::status(file).permissions() & fsys::perms::owner_write) == fsys::perms::none);
    }

    TEST_CASE("read-only files and folders are removed like any other") {
        TempDir tmp;
        fsys::path tree = tmp / "ro";
        make_file(tree / "ro.txt");
        make_file(tree / "rodir" / "inner.txt");
        set_readonly(tree / "ro.txt");
        set_readonly(tree / "rodir" / "inner.txt");
        set_readonly(tree / "rodir");
        set_readonly(tree);
        Outcome o = remove_paths({tree});
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tree));
    }

    TEST_CASE("several paths share one count, missing ones in between are skipped") {
        TempDir tmp;
        make_file(tmp / "a" / "1");
        make_file(tmp / "a" / "2");
        fsys::create_directory(tmp / "b");
        Outcome o = remove_paths({tmp / "a", tmp / "gone", tmp / "b"});
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(tmp / "a"));
        CHECK_FALSE(exists_no_follow(tmp / "b"));
    }

    TEST_CASE("entries others delete during the removal are gone, not failures") {
        TempDir tmp;
        const fsys::path t = tmp / "t";
        for (const char* file : {"a/1", "a/2", "b/1", "b/2"})
            make_file(t / file);
        bool deleted = false;
        // After the first file: the rest of its folder, and the other folder,
        // not entered yet, whole. Those never seen take no step.
        Outcome o = remove_paths({t}, [&](int) {
            if (std::exchange(deleted, true))
                return;
            for (const char* dir : {"a", "b"})
                if (entries_below(t / dir) == 2)
                    fsys::remove_all(t / dir);
                else
                    fsys::remove(t / dir / "1") || fsys::remove(t / dir / "2");
        });
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{14, 28, 42, 57, 71, 100});
        CHECK_FALSE(exists_no_follow(t));
    }

    TEST_CASE("a folder listed inside one listed before it goes with it, counted once") {
        TempDir tmp;
        const fsys::path draft = tmp / "VeltaAI";
        make_file(draft / "a.txt");
        make_file(draft / "models" / "m.bin");
        Outcome o = remove_paths({draft, draft / "models"});
        CHECK(o.output.empty());
        CHECK(o.progress == std::vector<int>{25, 50, 75, 100, 100});
        CHECK_FALSE(exists_no_follow(draft));
    }

    TEST_CASE("a trailing separator adds none to the entry paths") {
        TempDir tmp;
        fsys::path tree = tmp / "t";
        make_file(tree / "sub" / "f");
        NativeString listed = tree.native() + removal::kSeparator;
        CHECK(removal::count_items(listed) == 2);
        Outcome o = remove_paths({fsys::path(listed)});
        CHECK(o.progress == std::vector<int>{33, 66, 100, 100});
        CHECK_FALSE(exists_no_follow(tree));
    }
}

TEST_SUITE("walk") {
    TEST_CASE("a folder swapped below a deep walk is not entered") {
        TempDir tmp;
        fsys::path t = tmp / "t";
        make_chain(t, 100);
        bool tried = false;
        std::error_code refused;
        // Once the deepest file is gone, the first folder moves away and
        // another takes its name, holding what the first one listed (an empty
        // "d") and more. The walk is far below.
        Outcome o = remove_paths({t}, [&](int) {
            if (std::exchange(tried, true))
                return;
            fsys::rename(t / "d", tmp / "moved", refused);
            if (refused)
                return;
            fsys::create_directories(t / "d" / "d");
            make_file(t / "d" / "canary.txt", "keep");
        });
        CHECK(o.ready == 1);
#ifdef _WIN32
        // Windows refuses: the walk holds every folder above it.
        CHECK(refused);
        CHECK(o.output.empty());
        CHECK_FALSE(exists_no_follow(t));
#else
        CHECK_FALSE(refused);
        CHECK(fsys::exists(t / "d" / "d"));
        CHECK(fsys::exists(t / "d" / "canary.txt"));
        REQUIRE_FALSE(o.lines().empty());
        CHECK(o.lines().back().rfind(kListedFailed + u8(t) + " (", 0) == 0);
#endif
    }
}

TEST_SUITE("arithmetic") {
    TEST_CASE("the quotient is taken first, then scaled and truncated") {
        CHECK(removal::progress_value(29, 100) == 28);
        CHECK(removal::progress_value(57, 100) == 56);
        CHECK(removal::progress_value(1, 3) == 33);
        CHECK(removal::progress_value(2, 3) == 66);
        CHECK(removal::progress_value(3, 3) == 100);
        CHECK(removal::progress_value(1, 7) == 14);
        CHECK(removal::progress_value(0, 5) == 0);
        CHECK(removal::progress_value(9, 7) == 128); // not clamped
        CHECK(removal::progress_value(0, 0) == 100); // nothing to do
    }

    TEST_CASE("entries created between counting and removal take progress past 100") {
        TempDir tmp;
        fsys::path tree = tmp / "t";
        make_file(tree / "a" / "1");
        make_file(tree / "b" / "1");
        bool added = false;
        // After the first file of whichever folder comes first, the other one grows.
        Outcome o = remove_paths({tree}, [&](int) {
            if (added)
                return;
            added = true;
            for (const char* dir : {"a", "b"})
                if (fsys::exists(tree / dir / "1"))
                    for (const char* name : {"2", "3", "4"})
                        make_file(tree / dir / name);
        });
        CHECK(o.progress == std::vector<int>{20, 40, 60, 80, 100, 120, 140, 160, 100});
        CHECK(o.ready == 1);
        CHECK_FALSE(exists_no_follow(tree));
    }
}

TEST_SUITE("messages") {
    TEST_CASE("every line is UTF-8, ends in a line feed and carries the path as given") {
        TempDir tmp;
        fsys::path file = tmp / "数据.bin";
        make_file(file);
        Outcome o = remove_paths({file});
        CHECK(o.output == kListedFailed + u8(file) + " (" + kNotDirText + ")\n");
        // The prefix really is the Chinese text followed by ": ".
        CHECK(o.output.rfind(u8"删除主目录失败: ", 0) == 0);
        // A line break, or what UTF-8 cannot hold, is escaped: still one line.
#ifdef _WIN32
        const NativeString odd = L"a\nb\tc\xD800"
                                 L"d";
        const std::string escaped = "a\\nb\\tc\\ud800d";
#else
        const NativeString odd = "a\nb\tc\xff\xc3"
                                 "d";
        const std::string escaped = "a\\nb\\tc\\xff\\xc3d";
#endif
        o = remove_paths({fsys::path(odd)});
        CHECK(o.output == u8"拒绝删除: " + escaped + u8" (不是绝对路径)\n");
    }

    TEST_CASE("an unexpected failure is told, with each listed path not yet removed, and ends "
              "without the final 100") {
        TempDir tmp;
        fsys::path tree = make_example(tmp / "tree");
        fsys::create_directory(tmp / "next");
        Outcome o = remove_paths({tree, tmp / "next"}, [](int value) {
            if (value == 37)
                throw std::runtime_error("boom");
        });
        CHECK(o.progress == std::vector<int>{12, 25, 37});
        CHECK(o.lines() == std::vector<std::string>{kUnexpected + " boom",
                                                    kListedFailed + u8(tree) + " (boom)",
                                                    kListedFailed + u8(tmp / "next") + " (boom)"});
        CHECK(o.left == o.lines());
        CHECK(o.output.rfind(u8"卸载过程出错： ", 0) == 0);
        CHECK(o.ready == 1);
        CHECK(o.ready_last);
        // Nothing deleted is restored, nothing further is deleted.
        CHECK(exists_no_follow(tree));
        CHECK(entries_below(tree) == 3);
    }
}
