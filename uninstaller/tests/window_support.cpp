#include "tests/window_support.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "src/utils/reg_settings.h"

QList<int> exitCodes;

QString stored(const char16_t* name) {
    const SettingValue value = RegWindowSettings.getValue(name);
    if (std::holds_alternative<std::monostate>(value))
        return QStringLiteral("<missing>");
    return QString::fromStdU16String(settingText(value));
}

bool keyExists() {
    return RegWindowSettings._open_key() != nullptr;
}

void UninstallWindowTest::initTestCase() {
    QVERIFY(registry_.isValid());
    qputenv("VELTA_REGISTRY_DIR", registry_.path().toLocal8Bit());
    endProcess = [](int code) { exitCodes << code; };
    initialDir_ = QDir::currentPath();
    for (const char* name : {"TMPDIR", "TEMP"})
        if (qEnvironmentVariableIsSet(name))
            initialTemp_[name] = qgetenv(name);
}

void UninstallWindowTest::init() {
    RegWindowSettings.clearSettings();
    exitCodes.clear();
    work_.reset(new QTemporaryDir);
    QVERIFY(work_->isValid());
    const QString appdata = work_->filePath("appdata");
    draft_ = appdata + "/VeltaAI";
    model_ = work_->filePath("models");
    makeTree(draft_, 6);
    makeTree(model_, 6);
    qputenv("APPDATA", appdata.toLocal8Bit());
    QDir::setCurrent(work_->path());
}

void UninstallWindowTest::cleanup() {
    QDir::setCurrent(initialDir_);
    // A case may point the temporary folder elsewhere; the next one's work
    // folder is made there.
    for (const char* name : {"TMPDIR", "TEMP"}) {
        if (initialTemp_.contains(name))
            qputenv(name, initialTemp_[name]);
        else
            qunsetenv(name);
    }
}

void UninstallWindowTest::makeTree(const QString& root, int files) {
    QDir().mkpath(root + "/sub/deeper");
    for (int i = 0; i < files; ++i) {
        QFile f(root + (i % 2 ? "/sub/f" : "/f") + QString::number(i));
        f.open(QIODevice::WriteOnly);
        f.write("data");
    }
}

void UninstallWindowTest::seedAll() {
    RegWindowSettings.setValue(u"draftdirsize", std::u16string(u"12MB"));
    RegWindowSettings.setValue(u"modelsize", std::u16string(u"3GB"));
    RegWindowSettings.setValue(u"token", std::u16string(u"secret"));
    RegWindowSettings.setValue(u"servicepath", model_.toStdU16String());
}

void UninstallWindowTest::tick(UninstallWindow& w, bool token, bool settings, bool draft,
                               bool model) {
    w.checkBox->setChecked(token);
    w.checkBox_3->setChecked(settings);
    w.checkBox_2->setChecked(draft);
    w.checkBox_4->setChecked(model);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    const QByteArray path = file_.filePath("stdout").toLocal8Bit();
    const int fd = open(path.constData(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    dup2(fd, 1);
    ::close(fd);
}

QString StdoutCapture::text() {
    if (saved_ >= 0) {
        std::fflush(stdout);
        dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    QFile f(file_.filePath("stdout"));
    f.open(QIODevice::ReadOnly);
    QString lines;
    for (QByteArray line : f.readAll().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1); // the C runtime's line end on Windows
        if (!line.startsWith("QWARN") && !line.startsWith("QDEBUG") &&
            !line.startsWith("QCRITICAL") && !line.isEmpty())
            lines += QString::fromUtf8(line) + u'\n'; // QtTest's own lines are left out
    }
    return lines;
}

MessageBoxAnswerer::MessageBoxAnswerer() {
    connect(&timer_, &QTimer::timeout, this, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (texts.isEmpty()) {
            text = box->text();
            wasEnabled = box->isEnabled();
        }
        texts << box->text();
        exitCodesShown << exitCodes;
        if (box->isEnabled())
            box->button(QMessageBox::Ok)->click();
        else
            box->done(QMessageBox::Ok);
    });
    timer_.start(10);
}
