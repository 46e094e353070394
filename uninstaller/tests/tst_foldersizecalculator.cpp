// The removal worker as the window uses it: started from the GUI thread, its
// signals delivered back to the GUI thread as queued calls, in order.
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "Uninstall.h"

class tst_FolderSizeCalculator : public QObject {
    Q_OBJECT

  private slots:
    void signalsArriveOnGuiThreadInOrder();
    void nothingToRemove();
    void whatStaysIsReported();
    void countItems();

  private:
    static void makeFile(const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
};

// Records every delivered signal with the thread it was delivered on.
class Receiver : public QObject {
  public:
    QStringList events;
    bool allOnGuiThread = true;

    void watch(FolderSizeCalculator* worker) {
        connect(worker, &FolderSizeCalculator::progress, this,
                [this](int value) { note(QString::number(value)); });
        // The reason is the platform's wording: only what comes before it.
        connect(worker, &FolderSizeCalculator::left_behind, this,
                [this](const QString& line) { note("left " + line.section(" (", 0, 0)); });
        connect(worker, &FolderSizeCalculator::result_ready, this, [this] { note("ready"); });
    }

  private:
    void note(const QString& what) {
        allOnGuiThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
        events << what;
    }
};

void tst_FolderSizeCalculator::signalsArriveOnGuiThreadInOrder() {
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tree = tmp.filePath("tree");
    for (const char* name : {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"})
        makeFile(tree + '/' + name);

    const QStringList list{tree, tmp.filePath("missing")};
    FolderSizeCalculator worker(list);
    QVERIFY(worker.parent() == nullptr);
    Receiver receiver;
    receiver.watch(&worker);
    QSignalSpy progress(&worker, &FolderSizeCalculator::progress);
    QSignalSpy ready(&worker, &FolderSizeCalculator::result_ready);

    worker.start();
    QVERIFY(ready.wait(10000));
    QVERIFY(worker.wait(10000));
    QTRY_COMPARE(receiver.events.size(), 9);

    QCOMPARE(receiver.events,
             (QStringList{"14", "28", "42", "57", "71", "85", "100", "100", "ready"}));
    QVERIFY(receiver.allOnGuiThread);
    QCOMPARE(progress.count(), 8);
    QCOMPARE(ready.count(), 1);
    QCOMPARE(worker.delete_dirlist, list);
    QVERIFY(!QFileInfo::exists(tree));
}

void tst_FolderSizeCalculator::nothingToRemove() {
    QTemporaryDir tmp;
    FolderSizeCalculator worker({tmp.filePath("a"), tmp.filePath("b")});
    Receiver receiver;
    receiver.watch(&worker);
    QSignalSpy ready(&worker, &FolderSizeCalculator::result_ready);
    worker.start();
    QVERIFY(ready.wait(10000));
    QTRY_COMPARE(receiver.events, (QStringList{"100", "ready"}));
    QVERIFY(receiver.allOnGuiThread);
    QVERIFY(worker.wait(10000));
}

// A listed file stays (it is not a folder) and so does a protected folder;
// a path missing from the start, or listed a second time, is nothing left
// behind. Each report arrives in its place among the progress values.
void tst_FolderSizeCalculator::whatStaysIsReported() {
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString tree = tmp.filePath("tree"), file = tmp.filePath("file.txt");
    const QString home = tmp.filePath("home"), ghost = tmp.filePath("ghost");
    makeFile(tree + "/a.txt");
    makeFile(file);
    makeFile(home + "/keep.txt");
    // The home folder exists; the folder APPDATA names does not.
    const QByteArray savedHome = qgetenv("HOME"), savedAppdata = qgetenv("APPDATA");
    qputenv("HOME", QDir::toNativeSeparators(home).toLocal8Bit());
    qputenv("APPDATA", QDir::toNativeSeparators(ghost).toLocal8Bit());

    QStringList list{tree, tree, file, tmp.filePath("missing"), home, ghost};
    for (QString& path : list)
        path = QDir::toNativeSeparators(path);
    FolderSizeCalculator worker(list);
    Receiver receiver;
    receiver.watch(&worker);
    QSignalSpy ready(&worker, &FolderSizeCalculator::result_ready);
    worker.start();
    QVERIFY(ready.wait(10000));
    QVERIFY(worker.wait(10000));
    qputenv("HOME", savedHome);
    qputenv("APPDATA", savedAppdata);

    QTRY_COMPARE(receiver.events.size(), 8);
    const QString nativeFile = QDir::toNativeSeparators(file);
    QCOMPARE(receiver.events,
             (QStringList{"left 拒绝删除: " + QDir::toNativeSeparators(home), "20", "40", "60",
                          "left 删除主目录失败: " + nativeFile, "80", "100", "ready"}));
    QVERIFY(receiver.allOnGuiThread);
    QVERIFY(QFileInfo::exists(home + "/keep.txt"));
    QVERIFY(QFileInfo(file).isFile());
    QVERIFY(!QFileInfo::exists(tree));
}

void tst_FolderSizeCalculator::countItems() {
    QTemporaryDir tmp;
    for (const char* name : {"a.txt", "sub/d.txt", "sub/deeper/e.txt"})
        makeFile(tmp.filePath(QString("t/") + name));
    FolderSizeCalculator worker({});
    QCOMPARE(worker.count_items(tmp.filePath("t")), 5);
    QCOMPARE(worker.count_items(tmp.filePath("t/a.txt")), 0);
    QCOMPARE(worker.count_items(tmp.filePath("none")), 0);
}

QTEST_MAIN(tst_FolderSizeCalculator)
#include "tst_foldersizecalculator.moc"
