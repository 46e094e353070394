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
// count and the removal all see the same entry.
struct ToRemove {
    const NativeString* path;
    fs::ListedPtr listed; // null for a path listed before (`first`)
    size_t first;         // the index of the first listing of the same entry
    fs::Identity id;
    std::string stays; // after its turn, why the listed path itself stays
};

// The line that tells why an entry stays.
std::string stays_line(fs::What what, const NativeString& path, const std::string& why) {
    const char* const prefix[] = {"删除失败文件: ", "删除失败目录: ", "删除主目录失败: "};
    return prefix[static_cast<int>(what)] + to_utf8(path) + " (" + why + ")";
}

class Remover {
  public:
    explicit Remover(const Events& events) : events_(events) {}

    void run(const std::vector<NativeString>& paths) {
        open_all(paths);
        for (const ToRemove& t : todo_)
            total_ += fs::count_tree(*todo_[t.first].listed) + 1;
        for (; next_ < todo_.size(); ++next_)
            remove(todo_[next_]);
        emit_progress(100);
    }

    // After an unexpected failure: what was not removed yet stays.
    void stopped(const std::string& why) {
        left_behind("卸载过程出错： " + why);
        for (; next_ < todo_.size(); ++next_)
            left_behind(stays_line(fs::What::Listed, *todo_[next_].path, why));
    }

  private:
    // Judges and opens every listed path, each once. One that the guard
    // refuses or that cannot be opened is told at once; a missing one is
    // skipped. A folder listed again is removed once; one inside a folder
    // listed before it goes with that folder, and its handle is let go so
    // that it does not keep the folder. The guard is built here, on the
    // worker's thread: it opens the protected folders by path, which may wait
    // on the network.
    void open_all(const std::vector<NativeString>& paths) {
        const Guards guards(protected_folders());
        for (const NativeString& path : paths) {
            std::string why = Guards::form_refusal(path), unopened;
            const bool opened = why.empty();
            fs::ListedPtr listed = opened ? fs::open_listed(path, &unopened) : nullptr;
            if (opened)
                why = guards.judge(path, listed.get());
            if (!why.empty()) {
                // What is not even opened counts as staying, wherever it is.
                const std::string line = "拒绝删除: " + to_utf8(path) + " (" + why + ")";
                if (!opened || listed || !unopened.empty())
                    left_behind(line);
                else
                    say(line);
                continue;
            }
            if (!unopened.empty())
                left_behind(stays_line(fs::What::Listed, path, unopened));
            if (!listed)
                continue;
            const fs::Chain chain = fs::chain(*listed);
            size_t first = todo_.size();
            for (size_t k = 0; k < todo_.size(); ++k) {
                if (todo_[k].first != k)
                    continue;
                if (todo_[k].id == chain.front())
                    first = k;
                else if (std::find(chain.begin() + 1, chain.end(), todo_[k].id) != chain.end())
                    listed.reset(); // inside it
            }
            if (!listed && first == todo_.size())
                continue;
            if (first != todo_.size())
                listed.reset();
            todo_.push_back({&path, std::move(listed), first, chain.front(), {}});
        }
    }

    void remove(ToRemove& t) {
        if (!t.listed) {
            // Listed before: by now gone, or staying for the reason told then.
            const std::string& why = todo_[t.first].stays;
            say(stays_line(fs::What::Listed, *t.path, why.empty() ? fs::missing_text() : why));
            step();
            return;
        }
        fs::Report report;
        report.went = [this](fs::What) { step(); };
        report.stays = [this, &t](fs::What what, const NativeString& path, const std::string& why) {
            left_behind(stays_line(what, path, why));
            if (what == fs::What::Listed)
                t.stays = why;
            step();
        };
        fs::remove_tree(*t.listed, *t.path, budget_, report);
        t.listed.reset(); // where deletion waits for the last handle, now
    }

    void say(const std::string& text) { writeLine(events_.out, text); }

    // A line that names something left behind: it is told, and listed in the box.
    void left_behind(const std::string& text) {
        say(text);
        if (events_.left_behind)
            events_.left_behind(text);
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
    std::vector<ToRemove> todo_;
    size_t next_ = 0; // the first listed path not yet removed
    fs::Budget budget_;
    long long total_ = 0;
    long long current_ = 0;
    int shown_ = -1; // the percentage reported last
};

} // namespace

int progress_value(long long current, long long total) {
    if (total <= 0)
        return 100; // nothing to do is done
    double fraction = static_cast<double>(current) / static_cast<double>(total);
    return static_cast<int>(fraction * 100);
}

long long count_items(const NativeString& folder) {
    if (!Guards::form_refusal(folder).empty())
        return 0;
    std::string unopened;
    fs::ListedPtr listed = fs::open_listed(folder, &unopened);
    return listed ? fs::count_tree(*listed) : 0;
}

void run(const std::vector<NativeString>& paths, const Events& events) {
    Remover remover(events);
    // Anything that goes wrong outside the per-entry handling ends the work
    // here; the installer still goes on, so result_ready follows regardless.
    try {
        remover.run(paths);
    } catch (const std::exception& e) {
        remover.stopped(e.what());
    } catch (...) {
        remover.stopped("unknown error");
    }
    if (events.result_ready)
        events.result_ready();
}

std::string to_utf8(const NativeString& s) {
    return lineText(s);
}

} // namespace removal
