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
    // One line per thing the removal leaves behind, each before result_ready.
    void left_behind(const QString& line);
    void result_ready();

  protected:
    void run() override;
};

// ==== UninstallWindow ====
#include <QWidget>

#include "ui_uninstall_ui.h"

class QCloseEvent;

// Ends the process at once with the code: no event-loop return, no destructors,
// no exit handlers, no wait for the worker. The program keeps _exit; a test
// replaces it to observe the code, and every caller returns right after it.
extern void (*endProcess)(int code);

// The options window. Its exit code is all the installer learns:
// 0 goes on uninstalling, 66 cancels the uninstall.
class UninstallWindow : public QWidget, public Ui_Form {
    Q_OBJECT

  public:
    UninstallWindow();

  public slots:
    void UnInstallModel();
    void update_progress(int value);
    void canel();
    void trueUninstall();
    void note_left_behind(const QString& line);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void startRemoval(const QStringList& delete_dirlist);
    void reportLeftBehind();

    FolderSizeCalculator* _FolderSizeCalculator = nullptr;
    QStringList _leftBehind; // what the removal could not delete, in its order
    bool _removalEnded = false;
};

// The program entry; main() only calls it.
int uninstallMain(int argc, char** argv);
