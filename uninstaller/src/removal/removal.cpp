#include "src/removal/removal.h"
#include "src/removal/fs.h"
#include "src/removal/guard.h"
#include "src/utils/utf.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace removal {

namespace {

// A listed path that exists and may be removed, opened once: the guard, the
// count and the removal all see the same entry. A path that names a folder
// listed before it holds no handle: by its turn that folder is gone.
struct ToRemove {
    const NativeString* path;
    fs::ListedPtr listed; // null for a folder listed before
};

class Remover {
  public:
    explicit Remover(const Events& events) : events_(events) {}

    void run(const std::vector<NativeString>& paths) {
        std::vector<ToRemove> valid_paths = collect(paths);
        for (ToRemove& listed_path : valid_paths) {
            if (listed_path.listed) {
                remove(*listed_path.path, std::move(listed_path.listed));
                continue;
            }
            // Listed twice: the second time it is gone, as a removal by name
            // would find it; whatever stayed was told the first time.
            line("删除主目录失败: " + to_utf8(*listed_path.path) + " (" + fs::missing_text() + ")",
                 false);
            step();
        }
        emit_progress(100);
    }

    // A line that names something left behind, unless `stays` says otherwise
    // (a path listed twice, a refused path that does not exist).
    void line(const std::string& text, bool stays = true) {
        writeLine(events_.out, text);
        if (stays && events_.left_behind)
            events_.left_behind(text);
    }

    static long long count(const fs::Listed& listed, const NativeString& path) {
        long long n = 0;
        fs::walk(listed, path, fs::Walk::Count,
                 [&n](const NativeString&, const fs::Dir&, const fs::Listing& listing) {
                     n += static_cast<long long>(listing.files.size() + listing.dirs.size());
                 });
        return n;
    }

  private:
    // The listed paths that exist and that the guard lets go, each counted;
    // one that is refused or cannot be opened is reported. The guard is
    // built here, on the worker's thread: it opens the protected folders by
    // path, which may wait on the network.
    std::vector<ToRemove> collect(const std::vector<NativeString>& paths) {
        const Guards guards(protected_folders());
        std::vector<ToRemove> valid_paths;
        std::vector<fs::Identity> seen;
        long long total_all = 0;
        for (const NativeString& path : paths) {
            std::string why = Guards::form_refusal(path);
            const bool opened = why.empty();
            std::string unopened;
            fs::ListedPtr listed = opened ? fs::open_listed(path, &unopened) : nullptr;
            if (opened)
                why = guards.judge(path, listed.get());
            if (!why.empty()) {
                // What is not even opened counts as staying, wherever it is.
                line("拒绝删除: " + to_utf8(path) + " (" + why + ")",
                     !opened || !unopened.empty() || (listed && fs::exists(*listed)));
                continue;
            }
            if (!unopened.empty()) {
                line("删除主目录失败: " + to_utf8(path) + " (" + unopened + ")");
                continue;
            }
            if (!listed || !fs::exists(*listed))
                continue;
            total_all += count(*listed, path) + 1;
            const fs::Identity self = fs::identity(*listed);
            if (std::find(seen.begin(), seen.end(), self) != seen.end())
                listed.reset();
            else
                seen.push_back(self);
            valid_paths.push_back({&path, std::move(listed)});
        }
        total_ = total_all;
        current_ = 0;
        return valid_paths;
    }

    // Everything below the listed path bottom-up, then the path itself.
    void remove(const NativeString& path, fs::ListedPtr listed) {
        fs::walk(
            *listed, path, fs::Walk::Remove,
            [this](const NativeString& root, const fs::Dir& dir, const fs::Listing& listing) {
                remove_entries(root, dir, listing);
            },
            &waiting_);
        std::string why;
        if (!fs::remove_listed(*listed, &waiting_, &why))
            line("删除主目录失败: " + to_utf8(path) + " (" + why + ")");
        listed.reset(); // where deletion waits for the last handle, now
        step();
    }

    void remove_entries(const NativeString& root, const fs::Dir& dir, const fs::Listing& listing) {
        std::string why;
        for (const fs::Entry& entry : listing.files) {
            if (!fs::remove_file(dir, entry, &why))
                line("删除失败文件: " + to_utf8(fs::join(root, entry.name)) + " (" + why + ")");
            step();
        }
        for (const fs::Entry& entry : listing.dirs) {
            if (!fs::remove_dir(dir, entry, &why))
                line("删除失败目录: " + to_utf8(fs::join(root, entry.name)) + " (" + why + ")");
            step();
        }
    }

    // Only a new percentage is reported: the bar shows whole percents, and a
    // report per entry costs the receiving thread a wake-up each.
    void step() {
        const int value = progress_value(++current_, total_);
        if (value != shown_)
            emit_progress(value);
    }

    void emit_progress(int value) {
        shown_ = value;
        if (events_.progress)
            events_.progress(value);
    }

    const Events& events_;
    fs::Waiting waiting_; // for folders that others' handles keep, in all
    long long total_ = 0;
    long long current_ = 0;
    int shown_ = -1; // the percentage reported last
};

} // namespace

int progress_value(long long current, long long total) {
    double fraction = static_cast<double>(current) / static_cast<double>(total);
    return static_cast<int>(fraction * 100);
}

long long count_items(const NativeString& folder) {
    if (!Guards::form_refusal(folder).empty())
        return 0;
    std::string unopened;
    fs::ListedPtr listed = fs::open_listed(folder, &unopened);
    return listed ? Remover::count(*listed, folder) : 0;
}

void run(const std::vector<NativeString>& paths, const Events& events) {
    Remover remover(events);
    // Anything that goes wrong outside the per-entry handling ends the work
    // here; the installer still goes on, so result_ready follows regardless.
    try {
        remover.run(paths);
    } catch (const std::exception& e) {
        remover.line(std::string("卸载过程出错：") + " " + e.what());
    } catch (...) {
        remover.line(std::string("卸载过程出错：") + " unknown error");
    }
    if (events.result_ready)
        events.result_ready();
}

std::string to_utf8(const NativeString& s) {
#ifdef _WIN32
    return toUtf8(s); // wchar_t is UTF-16 on Windows
#else
    return s;
#endif
}

} // namespace removal
