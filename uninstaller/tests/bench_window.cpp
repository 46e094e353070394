// A bare Qt window built with the same Qt: the baseline that the uninstaller's
// time to its window is measured against.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bench"));
    window.resize(500, 140);
    window.show();
    return app.exec();
}
