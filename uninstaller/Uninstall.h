#pragma once
// The uninstaller's main unit: the folder removal worker, the window and the entry.

// ==== FolderSizeCalculator ====
#include <QStringList>
#include <QThread>

// Removes the chosen folders on its own thread. In spite of its name it
// computes no sizes: it counts the entries so that it can report how far the
// removal has got, then removes them bottom-up.
class FolderSizeCalculator : public QThread {
    Q_OBJECT

public:
    explicit FolderSizeCalculator(const QStringList& delete_dirlist);

    QStringList delete_dirlist;

    int count_items(const QString& folder);

signals:
    void progress(int value);
    void result_ready();

protected:
    void run() override;
};

// ==== UninstallWindow ====
