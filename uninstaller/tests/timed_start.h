// Forced-include for benchmark builds of a Qt window program (the uninstaller,
// through timed_uninstall.h, and the bare window) that notes when it reaches the
// stages of its start; the shipped programs are built without it. Once the
// window's first paint is done it writes one line of marks to standard output,
// "timed name=us ...", in microseconds of the Unix epoch (Wine's clock is the
// host's, so a script can set them against its own), and "cpu", the process's
// processor time to then in microseconds. A mark not reached is 0.
//   created    the process was created (GetProcessTimes)
//   app        QCoreApplication's part of the application object is set up
//   native     show() made the native window (QWidget::create)
//   polish     show() polishes the window
//   paint      the window's first paint event begins
//   painted    the event loop is back after that paint
// and in the uninstaller (timed_uninstall.h):
//   main       the entry installs its start message handler
//   window     the window's setupUi begins: QApplication is constructed
//   form       setupUi returned
//   icon       the window icon is set
//   registry   the first settings read begins
//   read       the last settings read before show() returned
//   shown      show() returned
#pragma once
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>

#include <windows.h>

namespace timed_start {

enum Mark {
    kCreated,
    kApp,
    kNative,
    kPolish,
    kPaint,
    kPainted,
    kMain,
    kWindow,
    kForm,
    kIcon,
    kRegistry,
    kRead,
    kShown,
    kMarks
};
const char* const kNames[kMarks] = {"created",  "app",  "native", "polish", "paint",
                                    "painted",  "main", "window", "form",   "icon",
                                    "registry", "read", "shown"};
inline long long marks[kMarks];

// A FILETIME (units of 100 ns) in microseconds.
inline long long micros(FILETIME time) {
    return ((static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10;
}

// A FILETIME date (since 1601) in microseconds since 1970.
inline long long unixMicros(FILETIME time) {
    return micros(time) - 11644473600000000LL;
}

inline void note(Mark m) {
    if (marks[m])
        return;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    marks[m] = unixMicros(now);
}

inline void write() {
    FILETIME created, exited, kernel, user;
    long long cpu = 0; // the process's own processor time so far, less load-bound than marks
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        marks[kCreated] = unixMicros(created);
        cpu = micros(kernel) + micros(user);
    }
    std::printf("timed");
    for (int m = 0; m < kMarks; ++m)
        std::printf(" %s=%lld", kNames[m], marks[m]);
    std::printf(" cpu=%lld\n", cpu);
    std::fflush(stdout);
}

// Watches the top-level window for its native window, polish and first paint.
class Watcher : public QObject {
  protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(object);
        if (!widget || !widget->isWindow())
            return false;
        if (event->type() == QEvent::WinIdChange)
            note(kNative);
        if (event->type() == QEvent::Polish)
            note(kPolish);
        if (event->type() == QEvent::Paint && !marks[kPaint]) {
            note(kPaint);
            QTimer::singleShot(0, [] {
                note(kPainted);
                write();
            });
        }
        return false;
    }
};

// Registered by every unit the header is forced into; one watcher is enough.
inline void appReady() {
    if (marks[kApp])
        return;
    note(kApp);
    QCoreApplication::instance()->installEventFilter(new Watcher);
}
Q_COREAPP_STARTUP_FUNCTION(appReady)

} // namespace timed_start
