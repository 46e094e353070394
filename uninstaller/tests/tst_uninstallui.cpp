// The uninstall form as setupUi leaves it: objects, properties, texts and layout.
#include <QtTest>
#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui_uninstall_ui.h"

// Records every translation request and leaves the texts untranslated.
class RecordingTranslator : public QTranslator {
  public:
    mutable QStringList requests;
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int) const override {
        requests << QString::fromUtf8(context) + u'|' + QString::fromUtf8(sourceText) + u'|' +
                        (disambiguation ? QString::fromUtf8(disambiguation) : QStringLiteral("-"));
        return {};
    }
};

class tst_UninstallUi : public QObject {
    Q_OBJECT

  private slots:
    void objectTree();
    void properties();
    void texts();
    void retranslateRestoresEveryText();
    void formName();
    void focusChain();
    void spareHeightGoesBelowTheActionRow();
    void spareWidthGoesToTheProgressArea();
    void barStaysFlatAndButtonsTall();

  private:
    static QStringList childNames(const QObject* parent) {
        QStringList names;
        for (const QObject* child : parent->children())
            names << QString::fromLatin1(child->metaObject()->className()) + u' ' +
                         child->objectName();
        return names;
    }
    static QList<QLayoutItem*> items(QLayout* layout) {
        QList<QLayoutItem*> list;
        for (int i = 0; i < layout->count(); ++i)
            list << layout->itemAt(i);
        return list;
    }
};

void tst_UninstallUi::objectTree() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);

    // children() keeps creation order, which is also the focus order.
    QCOMPARE(childNames(&form),
             QStringList({"QVBoxLayout verticalLayout", "QWidget widget", "QWidget widget_2"}));
    QCOMPARE(childNames(ui.widget),
             QStringList({"QVBoxLayout verticalLayout_2", "QCheckBox checkBox",
                          "QCheckBox checkBox_3", "QCheckBox checkBox_2", "QCheckBox checkBox_4"}));
    QCOMPARE(childNames(ui.widget_2),
             QStringList({"QHBoxLayout horizontalLayout_2", "QWidget widget_3",
                          "QPushButton pushButton_2", "QPushButton pushButton"}));
    QCOMPARE(childNames(ui.widget_3), QStringList({"QHBoxLayout horizontalLayout", "QLabel label",
                                                   "QProgressBar progressBar"}));

    QCOMPARE(form.layout(), ui.verticalLayout);
    QCOMPARE(ui.widget->layout(), ui.verticalLayout_2);
    QCOMPARE(ui.widget_2->layout(), ui.horizontalLayout_2);
    QCOMPARE(ui.widget_3->layout(), ui.horizontalLayout);

    const auto top = items(ui.verticalLayout);
    QCOMPARE(top.size(), 3);
    QCOMPARE(top[0]->widget(), ui.widget);
    QCOMPARE(top[1]->widget(), ui.widget_2);
    QCOMPARE(top[2]->spacerItem(), ui.verticalSpacer);

    const auto column = items(ui.verticalLayout_2);
    QCOMPARE(column.size(), 4);
    QCOMPARE(column[0]->widget(), ui.checkBox);
    QCOMPARE(column[1]->widget(), ui.checkBox_3);
    QCOMPARE(column[2]->widget(), ui.checkBox_2);
    QCOMPARE(column[3]->widget(), ui.checkBox_4);

    const auto row = items(ui.horizontalLayout_2);
    QCOMPARE(row.size(), 3);
    QCOMPARE(row[0]->widget(), ui.widget_3);
    QCOMPARE(row[1]->widget(), ui.pushButton_2);
    QCOMPARE(row[2]->widget(), ui.pushButton);

    const auto progress = items(ui.horizontalLayout);
    QCOMPARE(progress.size(), 2);
    QCOMPARE(progress[0]->widget(), ui.label);
    QCOMPARE(progress[1]->widget(), ui.progressBar);
}

void tst_UninstallUi::properties() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);

    QCOMPARE(form.size(), QSize(552, 190));
    for (QCheckBox* box : {ui.checkBox, ui.checkBox_2, ui.checkBox_3, ui.checkBox_4})
        QVERIFY(!box->isChecked());

    QCOMPARE(ui.horizontalLayout_2->spacing(), 9);
    const int styleMargin = form.style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
    const int styleTop = form.style()->pixelMetric(QStyle::PM_LayoutTopMargin);
    const int styleBottom = form.style()->pixelMetric(QStyle::PM_LayoutBottomMargin);
    QCOMPARE(ui.horizontalLayout_2->contentsMargins(),
             QMargins(styleMargin, 0, form.style()->pixelMetric(QStyle::PM_LayoutRightMargin),
                      styleBottom));
    QCOMPARE(ui.horizontalLayout->contentsMargins(), QMargins(0, styleTop, 0, styleBottom));

    QCOMPARE(ui.widget_3->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(ui.widget_3->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(ui.label->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui.label->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    for (QWidget* w : {ui.widget_3, static_cast<QWidget*>(ui.label)}) {
        QCOMPARE(w->sizePolicy().horizontalStretch(), 0);
        QCOMPARE(w->sizePolicy().verticalStretch(), 0);
        QVERIFY(!w->sizePolicy().hasHeightForWidth());
    }
    QCOMPARE(ui.label->styleSheet(), QStringLiteral("color: rgb(102, 102, 102);"));
    // The only style sheet of the form is the caption's.
    for (QWidget* w : form.findChildren<QWidget*>())
        if (w != ui.label)
            QVERIFY2(w->styleSheet().isEmpty(), qPrintable(w->objectName()));
    QVERIFY(form.styleSheet().isEmpty());

    QCOMPARE(ui.progressBar->maximumSize(), QSize(16777215, 10));
    QCOMPARE(ui.progressBar->value(), 0);
    QCOMPARE(ui.progressBar->minimum(), 0);
    QCOMPARE(ui.progressBar->maximum(), 100);
    QVERIFY(ui.progressBar->isTextVisible());
    QCOMPARE(ui.pushButton->minimumSize(), QSize(0, 35));
    QCOMPARE(ui.pushButton_2->minimumSize(), QSize(0, 35));

    QCOMPARE(ui.verticalSpacer->sizeHint(), QSize(20, 40));
    QCOMPARE(ui.verticalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui.verticalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void tst_UninstallUi::texts() {
    RecordingTranslator recorder;
    QCoreApplication::installTranslator(&recorder);
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    QCoreApplication::removeTranslator(&recorder);

    // One request each, context "Form", no disambiguation, in retranslateUi's order.
    QCOMPARE(recorder.requests,
             QStringList({"Form|Form|-", "Form|删除登录信息|-", "Form|删除偏好设置|-",
                          "Form|删除草稿数据|-", "Form|删除模型数据|-", "Form|进度|-",
                          "Form|取消|-", "Form|确定卸载|-"}));
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(ui.checkBox->text(), QStringLiteral("删除登录信息"));
    QCOMPARE(ui.checkBox_3->text(), QStringLiteral("删除偏好设置"));
    QCOMPARE(ui.checkBox_2->text(), QStringLiteral("删除草稿数据"));
    QCOMPARE(ui.checkBox_4->text(), QStringLiteral("删除模型数据"));
    QCOMPARE(ui.label->text(), QStringLiteral("进度"));
    QCOMPARE(ui.pushButton_2->text(), QStringLiteral("取消"));
    QCOMPARE(ui.pushButton->text(), QStringLiteral("确定卸载"));
    QVERIFY(ui.label->toolTip().isEmpty());
}

void tst_UninstallUi::retranslateRestoresEveryText() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    form.setWindowTitle("changed");
    for (QAbstractButton* b : form.findChildren<QAbstractButton*>())
        b->setText("changed");
    ui.label->setText("changed");

    ui.retranslateUi(&form);
    QCOMPARE(form.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(ui.checkBox_2->text(), QStringLiteral("删除草稿数据"));
    QCOMPARE(ui.checkBox_4->text(), QStringLiteral("删除模型数据"));
    QCOMPARE(ui.label->text(), QStringLiteral("进度"));
    QCOMPARE(ui.pushButton->text(), QStringLiteral("确定卸载"));
}

void tst_UninstallUi::formName() {
    QWidget unnamed;
    Ui_Form().setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("Form"));

    QWidget named;
    named.setObjectName("UninstallWindow");
    Ui_Form().setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("UninstallWindow"));
}

void tst_UninstallUi::focusChain() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    ui.checkBox->setFocus();
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, QStringList({"checkBox", "checkBox_3", "checkBox_2", "checkBox_4",
                                 "pushButton_2", "pushButton", "checkBox"}));
}

void tst_UninstallUi::spareHeightGoesBelowTheActionRow() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QRect column = ui.widget->geometry();
    const QRect row = ui.widget_2->geometry();
    QVERIFY(column.bottom() < row.top());

    form.resize(552, 600);
    QTRY_COMPARE(form.height(), 600);
    QCOMPARE(ui.widget->geometry(), column);
    QCOMPARE(ui.widget_2->geometry(), row);
    QVERIFY(form.height() - row.bottom() > 400);
}

void tst_UninstallUi::spareWidthGoesToTheProgressArea() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // A style with wider buttons can make the form's minimum wider than 552.
    const int before = form.width();
    const QRect area = ui.widget_3->geometry();
    const QSize cancel = ui.pushButton_2->size();
    const QSize confirm = ui.pushButton->size();
    const int rightGap = ui.widget_2->width() - ui.pushButton->geometry().right();

    form.resize(952, 190);
    QTRY_COMPARE(form.width(), 952);
    QCOMPARE(ui.widget_3->x(), area.x());
    QCOMPARE(ui.widget_3->width(), area.width() + 952 - before);
    QCOMPARE(ui.pushButton_2->size(), cancel);
    QCOMPARE(ui.pushButton->size(), confirm);
    QCOMPARE(ui.widget_2->width() - ui.pushButton->geometry().right(), rightGap);

    // Left to right with spacing 9; the caption starts at the row's margin and
    // keeps its natural width while the bar takes the rest of the area.
    QCOMPARE(ui.pushButton_2->x() - (ui.widget_3->geometry().right() + 1), 9);
    QCOMPARE(ui.pushButton->x() - (ui.pushButton_2->geometry().right() + 1), 9);
    QCOMPARE(ui.widget_3->y(), 0);
    QCOMPARE(ui.label->x(), 0);
    QCOMPARE(ui.label->width(), ui.label->sizeHint().width());
    QCOMPARE(ui.progressBar->geometry().right(), ui.widget_3->width() - 1);
}

void tst_UninstallUi::barStaysFlatAndButtonsTall() {
    QWidget form;
    Ui_Form ui;
    ui.setupUi(&form);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    // A window squeezed below its minimum keeps the buttons at 35 at least.
    form.resize(552, 10);
    QTest::qWait(50);
    QVERIFY(ui.pushButton->height() >= 35);
    QVERIFY(ui.pushButton_2->height() >= 35);
    QVERIFY(ui.progressBar->height() <= 10);

    // However tall the row gets, the bar stays at most 10 high.
    ui.widget_2->setFixedHeight(200);
    form.resize(552, 400);
    QTRY_COMPARE(ui.widget_2->height(), 200);
    QVERIFY(ui.widget_3->height() > 100);
    QVERIFY(ui.progressBar->height() <= 10);
    QVERIFY(ui.progressBar->height() > 0);
}

QTEST_MAIN(tst_UninstallUi)
#include "tst_uninstallui.moc"
