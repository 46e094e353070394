#pragma once
// The walk of both back ends. An explicit stack instead of recursion, so that
// depth costs no call stack; and at most kMaxHeld directories open below the
// listed one, so that a deep tree exhausts neither descriptors nor handles.
// A directory let go is opened again from its child by "..", where the
// platform has it, or else by name from the nearest ancestor still held, and
// in both cases only if it is still the directory that was listed. The path
// of the current directory is one string, grown and cut as the walk goes.
#include "src/removal/fs.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace removal::fs {

constexpr size_t kMaxHeld = 32;

// Ops is the platform's part:
//   Raw, Handle        a borrowed handle, and its owner (empty when none)
//   raw(handle)        the borrowed handle of an owner
//   open_dir(p, name)  `name` in `p` as a directory, never through a link
//   open_parent(raw)   the directory above, or an empty owner where unknown
//   id(raw), list(raw, listing), dir(raw)
template <class Ops> class TreeWalk {
  public:
    using Raw = typename Ops::Raw;
    using Handle = typename Ops::Handle;

    TreeWalk(const Ops& ops, Raw top, const NativeString& path, Walk mode, const Visit& visit)
        : ops_(ops), top_(top), root_(path), mode_(mode), visit_(visit) {}

    void run() {
        Frame first;
        if (!ops_.list(top_, &first.listing))
            return;
        first.path_length = root_.size();
        frames_.push_back(std::move(first));
        if (mode_ == Walk::Count)
            visit_(root_, ops_.dir(top_), frames_[0].listing);
        while (!frames_.empty()) {
            const size_t level = frames_.size() - 1;
            if (!reach(level)) {
                leave(); // what is left in it stays, and its removal says so
                continue;
            }
            Frame& frame = frames_.back();
            if (frame.next < frame.listing.dirs.size())
                enter(level, frame.listing.dirs[frame.next++].name);
            else {
                if (mode_ == Walk::Remove)
                    visit_(root_, ops_.dir(raw(level)), frame.listing);
                leave();
            }
        }
    }

  private:
    struct Frame {
        Handle handle{}; // empty while let go, and for the listed directory
        Identity id;
        size_t path_length = 0; // of root_ while this directory is walked
        Listing listing;
        size_t next = 0; // the next of listing.dirs to enter
    };

    Raw raw(size_t level) const { return level == 0 ? top_ : ops_.raw(frames_[level].handle); }

    const NativeString& name_of(size_t level) const {
        const Frame& parent = frames_[level - 1];
        return parent.listing.dirs[parent.next - 1].name;
    }

    void enter(size_t level, const NativeString& name) {
        Handle sub = ops_.open_dir(raw(level), name);
        Frame child;
        if (!sub || !ops_.list(ops_.raw(sub), &child.listing))
            return;
        child.id = ops_.id(ops_.raw(sub));
        child.handle = std::move(sub);
        if (!root_.empty() && !is_separator(root_.back()))
            root_ += kSeparator;
        root_ += name;
        child.path_length = root_.size();
        frames_.push_back(std::move(child));
        hold(level + 1);
        if (mode_ == Walk::Count)
            visit_(root_, ops_.dir(raw(level + 1)), frames_.back().listing);
    }

    // Done with the top directory: its parent, if let go, comes back through
    // "..", which costs one open where a walk from a held ancestor costs many.
    void leave() {
        const size_t level = frames_.size() - 1;
        if (level >= 2 && !frames_[level - 1].handle && frames_[level].handle) {
            Handle up = ops_.open_parent(raw(level));
            if (up && ops_.id(ops_.raw(up)) == frames_[level - 1].id) {
                frames_[level - 1].handle = std::move(up);
                held_.insert(held_.end() - 1, level - 1);
            }
        }
        if (!held_.empty() && held_.back() == level)
            held_.pop_back();
        frames_.pop_back();
        if (!frames_.empty())
            root_.resize(frames_.back().path_length);
    }

    // Makes sure `level` is open: by name from the nearest held ancestor, each
    // step only into the directory that was there before.
    bool reach(size_t level) {
        if (level == 0 || frames_[level].handle)
            return true;
        for (size_t k = held_.empty() ? 1 : held_.back() + 1; k <= level; ++k) {
            Handle h = ops_.open_dir(raw(k - 1), name_of(k));
            if (!h || !(ops_.id(ops_.raw(h)) == frames_[k].id))
                return false;
            frames_[k].handle = std::move(h);
            hold(k);
        }
        return true;
    }

    // Records a newly opened level (deeper than every held one) and, over the
    // budget, lets go of the held directory whose loss leaves the smallest gap
    // between its neighbours: the held ones thin out evenly, so coming back up
    // a deep tree reopens few directories by name.
    void hold(size_t level) {
        held_.push_back(level);
        if (held_.size() <= kMaxHeld)
            return;
        size_t best = 0, best_gap = SIZE_MAX;
        for (size_t p = 0; p + 1 < held_.size(); ++p) {
            const size_t below = p == 0 ? 0 : held_[p - 1];
            const size_t gap = held_[p + 1] - below;
            if (gap < best_gap) {
                best = p;
                best_gap = gap;
            }
        }
        frames_[held_[best]].handle = Handle{};
        held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(best));
    }

    const Ops& ops_;
    Raw top_;
    NativeString root_;
    Walk mode_;
    const Visit& visit_;
    std::vector<Frame> frames_;
    std::vector<size_t> held_; // levels above 0 whose handle is open, ascending
};

template <class Ops>
void walk_tree(const Ops& ops, typename Ops::Raw top, const NativeString& path, Walk mode,
               const Visit& visit) {
    TreeWalk<Ops>(ops, top, path, mode, visit).run();
}

} // namespace removal::fs
