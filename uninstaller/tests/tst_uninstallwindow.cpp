// The uninstall window over the registry stand-in and real folders. The process
// exit is caught by replacing endProcess; each case checks the recorded codes.
#include <QtTest>
#include <QtWidgets>

#include <cstdio>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "Uninstall.h"
#include "src/utils/reg_settings.h"

namespace {

QList<int> exitCodes;

// A sub-key of the settings key: the key cannot be deleted while it exists.
const std::u16string kSubKey = u"Software\\VeltaTech\\WindowSettings\\Layout";
LPCWSTR subKey() {
    return reinterpret_cast<LPCWSTR>(kSubKey.c_str()); // UTF-16 on both platforms
}

QString stored(const char16_t* name) {
    const SettingValue value = RegWindowSettings.getValue(name);
    if (std::holds_alternative<std::monostate>(value))
        return QStringLiteral("<missing>");
    return QString::fromStdU16String(settingText(value));
}

bool keyExists() {
    return RegWindowSettings._open_key() != nullptr;
}

// Collects what the code under test writes to standard output.
class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = dup(1);
        const QByteArray path = file_.filePath("stdout").toLocal8Bit();
        const int fd = open(path.constData(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        dup2(fd, 1);
        ::close(fd);
    }
    ~StdoutCapture() { text(); }
    QString text() {
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

  private:
    QTemporaryDir file_;
    int saved_ = -1;
};

// Answers the next application-modal message box with OK; returns its text.
class MessageBoxAnswerer : public QObject {
  public:
    QString text;
    bool wasEnabled = false;
    MessageBoxAnswerer() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            timer_.stop();
            text = box->text();
            wasEnabled = box->isEnabled();
            if (wasEnabled)
                box->button(QMessageBox::Ok)->click();
            else
                box->done(QMessageBox::Ok);
        });
        timer_.start(10);
    }

  private:
    QTimer timer_;
};

} // namespace

Q_DECLARE_METATYPE(SettingValue)

class TestUninstallWindow : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sizeTexts_data();
    void sizeTexts();
    void constructorState();
    void iconFromWorkingFolder();
    void confirm_data();
    void confirm();
    void cancelButton();
    void closeRequest();
    void closeRequestWhileRemoving();
    void progressPassesThrough();
    void registryFailureStopsTheConfirmation();
    void draftFolderWithoutUsableAppdata_data();
    void draftFolderWithoutUsableAppdata();
    void relativeServicepathIsNeverRemoved();
    void protectedFolderIsNamedInTheWarning();
    void skipSwitch_data();
    void skipSwitch();

  private:
    QTemporaryDir registry_;
    QScopedPointer<QTemporaryDir> work_;
    QString draft_; // $APPDATA/VeltaAI
    QString model_; // the servicepath folder
    QString initialDir_;

    static void makeTree(const QString& root, int files) {
        QDir().mkpath(root + "/sub/deeper");
        for (int i = 0; i < files; ++i) {
            QFile f(root + (i % 2 ? "/sub/f" : "/f") + QString::number(i));
            f.open(QIODevice::WriteOnly);
            f.write("data");
        }
    }
    void seedAll() {
        RegWindowSettings.setValue(u"draftdirsize", std::u16string(u"12MB"));
        RegWindowSettings.setValue(u"modelsize", std::u16string(u"3GB"));
        RegWindowSettings.setValue(u"token", std::u16string(u"secret"));
        RegWindowSettings.setValue(u"servicepath", model_.toStdU16String());
    }
    static void tick(UninstallWindow& w, bool token, bool settings, bool draft, bool model) {
        w.checkBox->setChecked(token);
        w.checkBox_3->setChecked(settings);
        w.checkBox_2->setChecked(draft);
        w.checkBox_4->setChecked(model);
    }
};

void TestUninstallWindow::initTestCase() {
    QVERIFY(registry_.isValid());
    qputenv("VELTA_REGISTRY_DIR", registry_.path().toLocal8Bit());
    endProcess = [](int code) { exitCodes << code; };
    initialDir_ = QDir::currentPath();
}

void TestUninstallWindow::init() {
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

void TestUninstallWindow::cleanup() {
    QDir::setCurrent(initialDir_);
}

void TestUninstallWindow::sizeTexts_data() {
    QTest::addColumn<SettingValue>("draftSize");
    QTest::addColumn<SettingValue>("modelSize");
    QTest::addColumn<QString>("draftText");
    QTest::addColumn<QString>("modelText");
    const SettingValue missing;
    QTest::newRow("nothing stored") << missing << missing << "删除草稿文件（0MB）"
                                    << "删除模型文件（0MB）";
    QTest::newRow("text as stored")
        << SettingValue(std::u16string(u" 1.5 GB ")) << SettingValue(std::u16string(u"700KB"))
        << "删除草稿文件（ 1.5 GB ）"
        << "删除模型文件（700KB）";
    QTest::newRow("integers") << SettingValue(std::int64_t(42))
                              << SettingValue(std::int64_t(4294967295)) << "删除草稿文件（42）"
                              << "删除模型文件（4294967295）";
    QTest::newRow("one of each") << SettingValue(std::u16string(u"9MB")) << missing
                                 << "删除草稿文件（9MB）"
                                 << "删除模型文件（0MB）";
}

void TestUninstallWindow::sizeTexts() {
    QFETCH(SettingValue, draftSize);
    QFETCH(SettingValue, modelSize);
    QFETCH(QString, draftText);
    QFETCH(QString, modelText);
    RegWindowSettings.setValue(u"token", std::u16string(u"x")); // the key exists
    if (!std::holds_alternative<std::monostate>(draftSize))
        RegWindowSettings.setValue(u"draftdirsize", draftSize);
    if (!std::holds_alternative<std::monostate>(modelSize))
        RegWindowSettings.setValue(u"modelsize", modelSize);

    UninstallWindow w;
    QCOMPARE(w.checkBox_2->text(), draftText);
    QCOMPARE(w.checkBox_4->text(), modelText);

    RegWindowSettings.clearSettings();
    UninstallWindow withoutKey;
    QCOMPARE(withoutKey.checkBox_2->text(), QStringLiteral("删除草稿文件（0MB）"));
    QCOMPARE(withoutKey.checkBox_4->text(), QStringLiteral("删除模型文件（0MB）"));
}

void TestUninstallWindow::constructorState() {
    seedAll();
    UninstallWindow w;
    QVERIFY(w.isWindow());
    QVERIFY(!w.parentWidget());
    QCOMPARE(w.windowTitle(), QStringLiteral("VeltaAI卸载程序"));
    QCOMPARE(w.size(), QSize(500, 140));
    const Qt::WindowFlags flags = w.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(w.label->isHidden());
    QVERIFY(w.progressBar->isHidden());
    for (QCheckBox* box : {w.checkBox, w.checkBox_2, w.checkBox_3, w.checkBox_4})
        QVERIFY(!box->isChecked());
    QCOMPARE(w.checkBox->text(), QStringLiteral("删除登录信息"));
    QCOMPARE(w.checkBox_3->text(), QStringLiteral("删除偏好设置"));
    QCOMPARE(w.checkBox_2->text(), QStringLiteral("删除草稿文件（12MB）"));
    QCOMPARE(w.checkBox_4->text(), QStringLiteral("删除模型文件（3GB）"));
    QCOMPARE(w.pushButton->text(), QStringLiteral("确定卸载"));
    QCOMPARE(w.pushButton_2->text(), QStringLiteral("取消"));

    // Shown, it is the Options state: enabled, progress area hidden.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(w.isEnabled());
    QVERIFY(!w.label->isVisible());
    QVERIFY(!w.progressBar->isVisible());
    QVERIFY(w.pushButton->isVisible());
    QVERIFY(exitCodes.isEmpty());
}

void TestUninstallWindow::iconFromWorkingFolder() {
    {
        UninstallWindow w; // no assets/app.ico here: no icon, no error
        QVERIFY(w.windowIcon().availableSizes().isEmpty());
        QVERIFY(w.windowIcon().pixmap(32, 32).isNull());
    }
    QDir().mkdir("assets");
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/app.ico", "assets/app.ico"));
    UninstallWindow w;
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(!w.windowIcon().pixmap(32, 32).isNull());
}

void TestUninstallWindow::confirm_data() {
    QTest::addColumn<bool>("token");
    QTest::addColumn<bool>("settings");
    QTest::addColumn<bool>("draft");
    QTest::addColumn<bool>("model");
    QTest::addColumn<bool>("servicepath");
    // What stays afterwards.
    QTest::addColumn<bool>("tokenStays");
    QTest::addColumn<bool>("keyStays");
    QTest::addColumn<bool>("draftStays");
    QTest::addColumn<bool>("modelStays");

    //                                token  settings draft  model  path
    QTest::newRow("nothing ticked") << false << false << false << false << true //
                                    << true << true << true << true;
    QTest::newRow("token only") << true << false << false << false << true //
                                << false << true << true << true;
    QTest::newRow("settings only") << false << true << false << false << true //
                                   << false << false << true << true;
    QTest::newRow("folders, servicepath missing") << false << false << true << true << false //
                                                  << true << true << true << true;
    QTest::newRow("settings and folders") << false << true << true << true << true //
                                          << false << false << false << false;
    QTest::newRow("model only") << false << false << false << true << true //
                                << true << true << true << false;
    QTest::newRow("draft only") << false << false << true << false << true //
                                << true << true << false << true;
    QTest::newRow("all four") << true << true << true << true << true //
                              << false << false << false << false;
}

void TestUninstallWindow::confirm() {
    QFETCH(bool, token);
    QFETCH(bool, settings);
    QFETCH(bool, draft);
    QFETCH(bool, model);
    QFETCH(bool, servicepath);
    QFETCH(bool, tokenStays);
    QFETCH(bool, keyStays);
    QFETCH(bool, draftStays);
    QFETCH(bool, modelStays);

    seedAll();
    if (!servicepath)
        RegWindowSettings.removeValue(u"servicepath");
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, token, settings, draft, model);

    StdoutCapture out;
    QTest::mouseClick(w.pushButton, Qt::LeftButton);
    QVERIFY(!w.isEnabled());

    const bool removing = !(draftStays && modelStays);
    if (removing) {
        // Removing: the process ends only when the worker is done.
        QVERIFY(exitCodes.isEmpty());
        QVERIFY(w.label->isVisible());
        QVERIFY(w.progressBar->isVisible());
        QCOMPARE(w.pushButton->text(), QStringLiteral("正在卸载"));
        QVERIFY(!w.pushButton->isEnabled());
        QVERIFY(!w.pushButton_2->isEnabled());
        QTRY_COMPARE(exitCodes, QList<int>{0});
        QCOMPARE(w.progressBar->value(), 100);
    } else {
        QCOMPARE(exitCodes, QList<int>{0});
        QVERIFY(w.label->isHidden());
        QVERIFY(w.progressBar->isHidden());
    }
    QCOMPARE(out.text(), QString());

    QCOMPARE(stored(u"token") == QStringLiteral("secret"), tokenStays);
    QCOMPARE(keyExists(), keyStays);
    if (keyStays) {
        QCOMPARE(stored(u"draftdirsize"), QStringLiteral("12MB"));
        QCOMPARE(stored(u"modelsize"), QStringLiteral("3GB"));
    }
    QCOMPARE(QFileInfo::exists(draft_), draftStays);
    QCOMPARE(QFileInfo::exists(model_), modelStays);
    QVERIFY(QFileInfo::exists(work_->filePath("appdata"))); // only VeltaAI below it goes
}

void TestUninstallWindow::cancelButton() {
    seedAll();
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, true, true, true, true);

    StdoutCapture out;
    QTest::mouseClick(w.pushButton_2, Qt::LeftButton);
    QCOMPARE(exitCodes, QList<int>{66});
    QCOMPARE(out.text(), QStringLiteral("取消\n"));
    QCOMPARE(stored(u"token"), QStringLiteral("secret"));
    QVERIFY(QFileInfo::exists(draft_));
    QVERIFY(QFileInfo::exists(model_));
}

void TestUninstallWindow::closeRequest() {
    seedAll();
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.close();
    QCOMPARE(exitCodes, QList<int>{66});
    QCOMPARE(stored(u"token"), QStringLiteral("secret"));
}

void TestUninstallWindow::closeRequestWhileRemoving() {
    seedAll();
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, false, false, true, true);
    w.UnInstallModel();
    QVERIFY(exitCodes.isEmpty());
    w.close();
    QCOMPARE(exitCodes, QList<int>{66});
    // In a real process nothing follows; here the worker still reports its end.
    QTRY_COMPARE(exitCodes, QList<int>({66, 0}));
}

void TestUninstallWindow::progressPassesThrough() {
    UninstallWindow w;
    for (int value : {0, 14, 57, 100}) {
        w.update_progress(value);
        QCOMPARE(w.progressBar->value(), value);
    }
    // The bar's range is 0..100: anything else leaves it as it was.
    w.update_progress(150);
    QCOMPARE(w.progressBar->value(), 100);
    w.update_progress(-1);
    QCOMPARE(w.progressBar->value(), 100);
    QVERIFY(exitCodes.isEmpty());
}

void TestUninstallWindow::registryFailureStopsTheConfirmation() {
    seedAll();
    // A key with a sub-key cannot be deleted: clearing the settings fails.
    HKEY sub = nullptr;
    QCOMPARE(RegCreateKeyExW(HKEY_CURRENT_USER, subKey(), 0, nullptr, 0, KEY_WRITE, nullptr, &sub,
                             nullptr),
             LSTATUS(ERROR_SUCCESS));
    RegCloseKey(sub);

    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, true, true, true, true);
    StdoutCapture out;
    MessageBoxAnswerer answer;
    w.UnInstallModel();

    // The user is told; the uninstall was not cancelled, so the installer goes on.
    QVERIFY(answer.wasEnabled);
    QVERIFY2(answer.text.startsWith(QStringLiteral("删除用户数据时出错：")),
             qPrintable(answer.text));
    QCOMPARE(exitCodes, QList<int>{0});
    QVERIFY(out.text().startsWith(QStringLiteral("发生错误 ")));
    // The token went before the failure; nothing after it happened.
    QCOMPARE(stored(u"token"), QStringLiteral("<missing>"));
    QCOMPARE(stored(u"draftdirsize"), QStringLiteral("12MB"));
    QVERIFY(QFileInfo::exists(draft_));
    QVERIFY(QFileInfo::exists(model_));
    QVERIFY(w.label->isHidden());
    QVERIFY(!w.isEnabled());

    RegDeleteKeyW(HKEY_CURRENT_USER, subKey());
}

void TestUninstallWindow::draftFolderWithoutUsableAppdata_data() {
    QTest::addColumn<QByteArray>("appdata"); // "-" leaves it unset
    QTest::addColumn<bool>("withModel");
    QTest::newRow("unset") << QByteArray("-") << true;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("relative") << QByteArray("appdata") << true;
    QTest::newRow("empty, draft only") << QByteArray("") << false;
}

void TestUninstallWindow::draftFolderWithoutUsableAppdata() {
    QFETCH(QByteArray, appdata);
    QFETCH(bool, withModel);
    seedAll();
    if (appdata == "-")
        qunsetenv("APPDATA");
    else
        qputenv("APPDATA", appdata);
    // What a relative path would hit, in the working folder.
    makeTree(work_->filePath("VeltaAI"), 2);

    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, false, false, true, withModel);
    MessageBoxAnswerer answer;
    w.UnInstallModel();

    QVERIFY(answer.text.contains(QStringLiteral("草稿数据")));
    QVERIFY(answer.text.contains(QStringLiteral("APPDATA")));
    QTRY_COMPARE(exitCodes, QList<int>{0});
    QCOMPARE(QFileInfo::exists(model_), !withModel);
    QVERIFY(QFileInfo::exists(work_->filePath("VeltaAI/f0")));
    QVERIFY(QFileInfo::exists(work_->filePath("appdata/VeltaAI/f0")));
}

void TestUninstallWindow::relativeServicepathIsNeverRemoved() {
    seedAll();
    RegWindowSettings.setValue(u"servicepath", std::u16string(u"models"));
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, false, false, true, true);
    MessageBoxAnswerer answer;
    w.UnInstallModel();

    QVERIFY(answer.text.contains(QStringLiteral("模型数据")));
    QVERIFY(!answer.text.contains(QStringLiteral("草稿数据")));
    QTRY_COMPARE(exitCodes, QList<int>{0});
    QVERIFY(QFileInfo::exists(model_)); // "models" in the working folder
    QVERIFY(!QFileInfo::exists(draft_));
}

void TestUninstallWindow::protectedFolderIsNamedInTheWarning() {
    // The model folder is the home folder: refused, and the user is told why
    // before the rest (the draft folder) goes.
    seedAll();
    const QString home = work_->filePath("home");
    QDir().mkpath(home + "/keep");
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QDir::toNativeSeparators(home).toLocal8Bit());
    RegWindowSettings.setValue(u"servicepath", QDir::toNativeSeparators(home).toStdU16String());
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, false, false, true, true);
    StdoutCapture out;
    MessageBoxAnswerer answer;
    w.UnInstallModel();

    QTRY_COMPARE(exitCodes, QList<int>{0});
    qputenv("HOME", savedHome);
    const QString native = QDir::toNativeSeparators(home);
    QVERIFY2(answer.text.contains(QStringLiteral("模型数据：") + native +
                                  QStringLiteral("（包含受保护的文件夹 ")),
             qPrintable(answer.text));
    QVERIFY(!answer.text.contains(QStringLiteral("草稿数据")));
    const QString lines = out.text();
    QVERIFY2(lines.startsWith(QStringLiteral("拒绝删除: ") + native), qPrintable(lines));
    QVERIFY(QFileInfo::exists(home + "/keep"));
    QVERIFY(!QFileInfo::exists(draft_));
}

void TestUninstallWindow::skipSwitch_data() {
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::newRow("upper") << QByteArrayList{"Uninstall", "/VELTAAIUNINSTALL"};
    QTest::newRow("lower, among others")
        << QByteArrayList{"Uninstall", "/SILENT", "/veltaaiuninstall"};
    QTest::newRow("mixed") << QByteArrayList{"Uninstall", "/VeltaAiUnInstall"};
    QTest::newRow("as the program path") << QByteArrayList{"/veltaaiUNINSTALL"};
}

void TestUninstallWindow::skipSwitch() {
    // Ends before any application object or window: the near misses that open
    // the window are driven end to end.
    QFETCH(QByteArrayList, arguments);
    QVector<char*> argv;
    for (QByteArray& a : arguments)
        argv << a.data();
    argv << nullptr;
    uninstallMain(int(arguments.size()), argv.data());
    QCOMPARE(exitCodes, QList<int>{0});
}

QTEST_MAIN(TestUninstallWindow)
#include "tst_uninstallwindow.moc"
