// Removal of a generated tree by the worker, whose signals reach a receiver
// on the GUI thread, against `rm -rf` on an identical tree. Prints figures.
#include <QCoreApplication>
#include <QElapsedTimer>

#include "Uninstall.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Shape {
    int files = 100000;
    int folders = 1000;
    int big_files = 3;
    long big_mb = 100;
};

bool write_file(const std::string& path, const char* data, size_t size, long times) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (long i = 0; i < times && ok; ++i)
        ok = write(fd, data, size) == ssize_t(size);
    return close(fd) == 0 && ok;
}

bool generate(const std::string& root, const Shape& shape) {
    if (mkdir(root.c_str(), 0755) != 0)
        return false;
    const std::string small(200, 's');
    for (int d = 0; d < shape.folders; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        if (mkdir(dir.c_str(), 0755) != 0)
            return false;
        for (int f = d; f < shape.files; f += shape.folders)
            if (!write_file(dir + "/f" + std::to_string(f) + ".txt", small.data(), small.size(), 1))
                return false;
    }
    std::vector<char> block(1 << 20, 'b');
    for (int b = 0; b < shape.big_files; ++b)
        if (!write_file(root + "/big" + std::to_string(b) + ".bin", block.data(), block.size(),
                        shape.big_mb))
            return false;
    return true;
}

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == field) {
            in >> value;
            break;
        }
        in.ignore(1 << 16, '\n');
    }
    return value;
}

void reset_peak_rss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORK_DIR [FILES FOLDERS BIG_FILES BIG_MB]\n", argv[0]);
        return 2;
    }
    const std::string work = argv[1];
    Shape shape;
    if (argc >= 6)
        shape = {std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atol(argv[5])};
    const std::string worker_tree = work + "/worker-tree";
    const std::string rm_tree = work + "/rm-tree";

    std::printf("tree: %d small files in %d folders, %d files of %ld MB (twice)\n", shape.files,
                shape.folders, shape.big_files, shape.big_mb);
    std::fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    if (!generate(worker_tree, shape) || !generate(rm_tree, shape)) {
        std::fprintf(stderr, "cannot generate the trees in %s\n", work.c_str());
        return 1;
    }
    sync();
    std::printf("generated in %.1f s\n", timer.elapsed() / 1000.0);

    // The worker, with its signals delivered to this (GUI) thread.
    long delivered = 0;
    int last = -1;
    FolderSizeCalculator worker({QString::fromStdString(worker_tree)});
    QObject receiver;
    QObject::connect(&worker, &FolderSizeCalculator::progress, &receiver, [&](int value) {
        ++delivered;
        last = value;
    });
    qint64 worker_ns = 0;
    QObject::connect(&worker, &FolderSizeCalculator::result_ready, &receiver, [&] {
        worker_ns = timer.nsecsElapsed();
        app.quit();
    });
    const long rss_before = status_kb("VmRSS:");
    reset_peak_rss();
    timer.restart();
    worker.start();
    app.exec();
    worker.wait();
    const long worker_peak = status_kb("VmHWM:");

    sync();
    timer.restart();
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("rm", "rm", "-rf", rm_tree.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const qint64 rm_ns = timer.nsecsElapsed();

    const bool worker_done = access(worker_tree.c_str(), F_OK) != 0;
    const bool rm_done = access(rm_tree.c_str(), F_OK) != 0;
    std::printf("\n%-34s %12s %12s\n", "", "worker", "rm -rf");
    std::printf("%-34s %12.3f %12.3f\n", "wall time (s)", worker_ns / 1e9, rm_ns / 1e9);
    std::printf("%-34s %12ld %12ld\n", "peak resident memory (KiB)", worker_peak,
                long(usage.ru_maxrss));
    std::printf("%-34s %12s %12s\n", "tree gone", worker_done ? "yes" : "NO",
                rm_done ? "yes" : "NO");
    std::printf("wall-time ratio worker / rm -rf: %.2f\n", double(worker_ns) / double(rm_ns));
    std::printf("progress signals delivered on the GUI thread: %ld (last value %d)\n", delivered,
                last);
    std::printf("resident memory before the worker started: %ld KiB\n", rss_before);
    return worker_done && rm_done ? 0 : 1;
}
