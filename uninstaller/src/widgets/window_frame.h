#pragma once
// The options window's title and size: one home for the window and the
// benchmark's bare window, which shows the same.
#include <QSize>
#include <QString>

inline const QString kWindowTitle = QStringLiteral("VeltaAI卸载程序");
constexpr QSize kWindowSize(500, 140);
