// The uninstall window's confirmation: the chosen registry data and folders go,
// in order, and what cannot go is reported. Over the registry stand-in (or
// Wine's registry) and real folders; the process exit is caught by replacing
// endProcess.
#include <QtTest>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "Uninstall.h"
#include "src/utils/reg_settings.h"
#include "tests/window_support.h"

namespace {

// A sub-key of the settings key: the key cannot be deleted while it exists.
const std::u16string kSubKey = u"Software\\VeltaTech\\WindowSettings\\Layout";
LPCWSTR subKey() {
    return wide(kSubKey);
}

} // namespace

class tst_UninstallWindow_confirm : public UninstallWindowTest {
    Q_OBJECT

  private slots:
    void confirm_data();
    void confirm();
    void closeRequestWhileRemoving();
    void registryFailureStopsTheConfirmation();
    void draftFolderWithoutUsableAppdata_data();
    void draftFolderWithoutUsableAppdata();
    void relativeServicepathIsNeverRemoved();
    void protectedFolderIsNamedOnceAfterTheRemoval();
    void whatStaysIsShownThenLogged();
    void longListIsCutAndAnUnwritableLogSaysSo();

  private:
    // The temporary folder, where the log goes: a fresh one of the case's own.
    QString useTemp(const QString& folder) {
        const QByteArray native = QDir::toNativeSeparators(folder).toLocal8Bit();
        qputenv("TMPDIR", native);
        qputenv("TEMP", native);
        return QDir::toNativeSeparators(folder + "/VeltaAI-uninstall.log");
    }
};

void tst_UninstallWindow_confirm::confirm_data() {
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

void tst_UninstallWindow_confirm::confirm() {
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

void tst_UninstallWindow_confirm::closeRequestWhileRemoving() {
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

void tst_UninstallWindow_confirm::registryFailureStopsTheConfirmation() {
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

void tst_UninstallWindow_confirm::draftFolderWithoutUsableAppdata_data() {
    QTest::addColumn<QByteArray>("appdata"); // "-" leaves it unset
    QTest::addColumn<bool>("withModel");
    QTest::newRow("unset") << QByteArray("-") << true;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("relative") << QByteArray("appdata") << true;
    QTest::newRow("empty, draft only") << QByteArray("") << false;
}

void tst_UninstallWindow_confirm::draftFolderWithoutUsableAppdata() {
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

void tst_UninstallWindow_confirm::relativeServicepathIsNeverRemoved() {
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

void tst_UninstallWindow_confirm::protectedFolderIsNamedOnceAfterTheRemoval() {
    // The model folder is the home folder: refused by the removal, on its
    // thread, while the rest (the draft folder) goes; the user is told once,
    // in the box after the removal.
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
    const QString lines = out.text();
    QVERIFY2(lines.startsWith(QStringLiteral("拒绝删除: ") + native), qPrintable(lines));
    QVERIFY(QFileInfo::exists(home + "/keep"));
    QVERIFY(!QFileInfo::exists(draft_));
    QCOMPARE(answer.texts.size(), 1);
    QVERIFY2(answer.texts[0].contains(QStringLiteral("\n拒绝删除: ") + native +
                                      QStringLiteral(" (包含受保护的文件夹 ")),
             qPrintable(answer.texts[0]));
}

// A model folder that is a file stays. After the removal one box shows each
// output line and names the log, which holds them all; only once it is
// answered does the uninstall go on.
void tst_UninstallWindow_confirm::whatStaysIsShownThenLogged() {
    seedAll();
    const QString file = work_->filePath("models.bin");
    makeTree(work_->filePath("tmp"), 0);
    const QString log = useTemp(work_->filePath("tmp"));
    {
        QFile f(log); // an earlier run's log is replaced
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier run\n");
    }
    QFile(file).open(QIODevice::WriteOnly);
    RegWindowSettings.setValue(u"servicepath", QDir::toNativeSeparators(file).toStdU16String());
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    tick(w, false, false, true, true);
    StdoutCapture out;
    MessageBoxAnswerer answer;
    w.UnInstallModel();

    QTRY_COMPARE(exitCodes, QList<int>{0});
    const QString lines = out.text();
    QVERIFY2(lines.startsWith(QStringLiteral("删除主目录失败: ") + QDir::toNativeSeparators(file) +
                              " ("),
             qPrintable(lines));
    QCOMPARE(lines.count(u'\n'), 1);
    QCOMPARE(answer.texts, QStringList{QStringLiteral("以下文件或文件夹没有删除：\n") + lines +
                                       QStringLiteral("\n完整列表已写入：") + log});
    QCOMPARE(answer.exitCodesShown, QList<QList<int>>{{}});
    QVERIFY(!QFileInfo::exists(draft_));
    QVERIFY(QFileInfo(file).isFile());

    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(f.readAll());
    if (text.startsWith(u'\xFEFF'))
        text.remove(0, 1);
    text.replace("\r\n", "\n");
    const QString header = text.section(u'\n', 0, 0);
    QVERIFY2(header.startsWith(QStringLiteral("VeltaAI卸载程序 ")) &&
                 header.endsWith(QStringLiteral("：以下文件或文件夹没有删除")),
             qPrintable(header));
    QCOMPARE(text.section(u'\n', 1), lines);
}

// More than 15 lines: the first 15 and how many more. A log that cannot be
// written is named with the reason. A close request while the box shows
// cancels nothing: the removal has ended.
void tst_UninstallWindow_confirm::longListIsCutAndAnUnwritableLogSaysSo() {
    const QString log = useTemp(work_->filePath("no-such-folder"));
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QStringList lines;
    for (int i = 1; i <= 20; ++i) {
        lines << QStringLiteral("删除失败文件: f%1 (busy)").arg(i);
        w.note_left_behind(lines.last());
    }
    QTimer::singleShot(0, &w, [&w] { w.close(); }); // runs while the box shows
    MessageBoxAnswerer answer;
    w.trueUninstall();

    QCOMPARE(answer.texts.size(), 1);
    const QString text = answer.texts[0];
    const QString expected =
        QStringLiteral("以下文件或文件夹没有删除：\n") + lines.mid(0, 15).join(u'\n') +
        QStringLiteral("\n……以及另外 5 项\n\n无法写入日志文件 ") + log + QStringLiteral("（");
    QVERIFY2(text.startsWith(expected) && text.endsWith(QStringLiteral("）")), qPrintable(text));
    QVERIFY(text.size() > expected.size() + 1); // the reason
    QCOMPARE(exitCodes, QList<int>({0, 0}));
    QVERIFY(!QFileInfo::exists(work_->filePath("no-such-folder")));
}

QTEST_MAIN(tst_UninstallWindow_confirm)
#include "tst_uninstallwindow_confirm.moc"
