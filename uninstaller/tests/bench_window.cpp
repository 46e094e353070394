// A bare Qt window built with the same Qt: the baseline that the uninstaller's
// time to its window is measured against. It shows the window's title and size
// and the form's check box texts (bench_window_texts.h, made from the form), so
// that both pay the same font fallback; it loads nothing else of ours.
#include <QApplication>
#include <QCheckBox>
#include <QVBoxLayout>
#include <QWidget>

#include "bench_window_texts.h"
#include "src/widgets/window_frame.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    for (const char16_t* text : kCheckBoxTexts)
        layout->addWidget(new QCheckBox(QString::fromUtf16(text)));
    window.setWindowTitle(kWindowTitle);
    window.resize(kWindowSize);
    window.show();
    return app.exec();
}
