// The uninstall window over the registry stand-in and real folders: how it is
// built, its options state, cancelling, closing and the skip switch. The
// process exit is caught by replacing endProcess; each case checks the codes.
#include <QtTest>
#include <QApplication>
#include <QCheckBox>
#include <QIcon>
#include <QImage>
#include <QMessageBox>

#include "Uninstall.h"
#include "src/utils/reg_settings.h"
#include "tests/window_support.h"

Q_DECLARE_METATYPE(SettingValue)

class tst_UninstallWindow : public UninstallWindowTest {
    Q_OBJECT

  private slots:
    void sizeTexts_data();
    void sizeTexts();
    void constructorState();
    void iconFromWorkingFolderElseOwn();
    void cancelButton();
    void closeRequest();
    void progressPassesThrough();
    void skipSwitch_data();
    void skipSwitch();
};

void tst_UninstallWindow::sizeTexts_data() {
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

void tst_UninstallWindow::sizeTexts() {
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

void tst_UninstallWindow::constructorState() {
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

namespace {

// The icon's 32 px image; 8 bits per channel may round differently on the way
// through a platform icon, and colour means nothing where alpha is 0.
bool sameImage(const QIcon& icon, const QImage& expected) {
    const QImage shown = icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage want = expected.convertToFormat(QImage::Format_ARGB32);
    if (shown.size() != want.size())
        return false;
    auto close = [](int a, int b) { return qAbs(a - b) <= 2; };
    for (int y = 0; y < want.height(); ++y)
        for (int x = 0; x < want.width(); ++x) {
            const QRgb s = shown.pixel(x, y), e = want.pixel(x, y);
            if (!close(qAlpha(s), qAlpha(e)))
                return false;
            if (qAlpha(e) && !(close(qRed(s), qRed(e)) && close(qGreen(s), qGreen(e)) &&
                               close(qBlue(s), qBlue(e))))
                return false;
        }
    return true;
}

} // namespace

void tst_UninstallWindow::iconFromWorkingFolderElseOwn() {
    const QImage app =
        QIcon(QCoreApplication::applicationDirPath() + "/app.ico").pixmap(32, 32).toImage();
    QVERIFY(!app.isNull());
    {
        UninstallWindow w; // started elsewhere: no assets/app.ico here
        QVERIFY(sameImage(w.windowIcon(), app));
    }
    // Another icon beside the working folder is the one shown.
    QImage other(32, 32, QImage::Format_ARGB32);
    other.fill(QColor(200, 30, 90));
    QDir().mkdir("assets");
    QVERIFY(other.save("assets/app.ico", "ICO"));
    UninstallWindow w;
    QVERIFY(sameImage(w.windowIcon(), other));
}

void tst_UninstallWindow::cancelButton() {
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

void tst_UninstallWindow::closeRequest() {
    seedAll();
    UninstallWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.close();
    QCOMPARE(exitCodes, QList<int>{66});
    QCOMPARE(stored(u"token"), QStringLiteral("secret"));
}

void tst_UninstallWindow::progressPassesThrough() {
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

void tst_UninstallWindow::skipSwitch_data() {
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::newRow("upper") << QByteArrayList{"Uninstall", "/VELTAAIUNINSTALL"};
    QTest::newRow("lower, among others")
        << QByteArrayList{"Uninstall", "/SILENT", "/veltaaiuninstall"};
    QTest::newRow("mixed") << QByteArrayList{"Uninstall", "/VeltaAiUnInstall"};
    QTest::newRow("as the program path") << QByteArrayList{"/veltaaiUNINSTALL"};
}

void tst_UninstallWindow::skipSwitch() {
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

QTEST_MAIN(tst_UninstallWindow)
#include "tst_uninstallwindow.moc"
