#pragma once
// What the window's QtTest classes share: the fixture every case starts from
// (the registry stand-in or Wine's registry, real folders, the process exit
// caught by replacing endProcess), and helpers to read standard output and to
// answer message boxes.
#include <QList>
#include <QMap>
#include <QObject>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include "Uninstall.h"

// The exit codes endProcess was called with, in order.
extern QList<int> exitCodes;

// A stored value's text form, or "<missing>".
QString stored(const char16_t* name);
bool keyExists();

// Each case gets a private hive (natively), a fresh work folder holding the
// draft folder ($APPDATA/VeltaAI) and the model folder, and that folder as its
// working folder.
class UninstallWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();

  protected:
    QTemporaryDir registry_;
    QScopedPointer<QTemporaryDir> work_;
    QString draft_; // $APPDATA/VeltaAI
    QString model_; // the servicepath folder
    QString initialDir_;
    QMap<QByteArray, QByteArray> initialTemp_; // TMPDIR and TEMP as found

    static void makeTree(const QString& root, int files);
    void seedAll();
    static void tick(UninstallWindow& w, bool token, bool settings, bool draft, bool model);
};

// Collects what the code under test writes to standard output.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture() { text(); }
    QString text();

  private:
    QTemporaryDir file_;
    int saved_ = -1;
};

// Answers every application-modal message box with OK, the first one's text
// in `text`, each one's in `texts`, with the exit codes so far when it showed.
class MessageBoxAnswerer : public QObject {
  public:
    QString text;
    QStringList texts;
    QList<QList<int>> exitCodesShown;
    bool wasEnabled = false;
    MessageBoxAnswerer();

  private:
    QTimer timer_;
};
