#include "Uninstall.h"

// ==== FolderSizeCalculator ====
#include <QDir>
#include <QFile>

#include <climits>

#include "src/utils/remove_tree.h"

namespace {

removal::NativeString nativePath(const QString& path) {
#ifdef _WIN32
    return QDir::toNativeSeparators(path).toStdWString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

} // namespace

FolderSizeCalculator::FolderSizeCalculator(const QStringList& delete_dirlist)
    : QThread(nullptr), delete_dirlist(delete_dirlist) {}

int FolderSizeCalculator::count_items(const QString& folder) {
    const long long n = removal::count_items(nativePath(folder));
    return n > INT_MAX ? INT_MAX : int(n);
}

void FolderSizeCalculator::run() {
    std::vector<removal::NativeString> paths;
    for (const QString& path : delete_dirlist)
        paths.push_back(nativePath(path));
    removal::Events events;
    events.progress = [this](int value) { emit progress(value); };
    events.result_ready = [this] { emit result_ready(); };
    removal::run(paths, events);
}

// ==== UninstallWindow and entry ====
