#include "Uninstall.h"

// ==== FolderSizeCalculator ====
#include <QDir>
#include <QFile>

#include <climits>

#include "src/removal/removal.h"

namespace {

removal::NativeString nativePath(const QString& path) {
#ifdef _WIN32
    return QDir::toNativeSeparators(path).toStdWString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

} // namespace

FolderSizeCalculator::FolderSizeCalculator(const QStringList& delete_dirlist)
    : QThread(nullptr), delete_dirlist(delete_dirlist) {}

int FolderSizeCalculator::count_items(const QString& folder) {
    const long long n = removal::count_items(nativePath(folder));
    return n > INT_MAX ? INT_MAX : int(n);
}

void FolderSizeCalculator::run() {
    std::vector<removal::NativeString> paths;
    for (const QString& path : delete_dirlist)
        paths.push_back(nativePath(path));
    removal::Events events;
    events.progress = [this](int value) { emit progress(value); };
    events.left_behind = [this](const std::string& line) {
        emit left_behind(QString::fromStdString(line));
    };
    events.result_ready = [this] { emit result_ready(); };
    removal::run(paths, events);
}

// ==== UninstallWindow and entry ====
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QSaveFile>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "src/utils/reg_settings.h"
#include "src/utils/utf.h"
#include "src/widgets/window_frame.h"

#ifdef VELTA_COVERAGE
extern "C" void __gcov_dump();
#endif

// A coverage build writes its counts first: an immediate exit skips that.
static void writeCoverage() {
#ifdef VELTA_COVERAGE
    __gcov_dump();
#endif
}

#ifdef _WIN32
// Not _exit: on Windows that still runs every DLL's detach code after the
// other threads are killed, and a lock the removal thread held at that moment
// (heap, C runtime, loader) can hang the exit. Every line written is flushed
// already, so nothing is lost.
void (*endProcess)(int code) = [](int code) {
    writeCoverage();
    TerminateProcess(GetCurrentProcess(), UINT(code));
};
#else
void (*endProcess)(int code) = [](int code) {
    writeCoverage();
    _exit(code);
};
#endif

namespace {

constexpr int kGoOn = 0;       // the installer goes on uninstalling
constexpr int kCancelled = 66; // the installer cancels the uninstall

// One UTF-8 line on standard output, flushed at once.
void writeLine(const QString& text) {
    const QByteArray line = text.toUtf8();
    ::writeLine(stdout, std::string_view(line.constData(), std::size_t(line.size())));
}

QString sizeText(const char16_t* name) {
    const SettingValue value = RegWindowSettings.getValue(name, std::u16string(u"0MB"));
    return QString::fromStdU16String(settingText(value));
}

// Null, an empty text, list or byte array and the integer 0 all mean "not set".
bool isSet(const SettingValue& value) {
    return std::visit(
        [](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return false;
            else if constexpr (std::is_arithmetic_v<T>)
                return v != 0;
            else
                return !v.empty();
        },
        value);
}

// The icon beside the working folder, as the installer starts the program;
// started from elsewhere, the program's own.
QIcon appIcon() {
    const QIcon beside(QStringLiteral("assets/app.ico"));
    if (!beside.availableSizes().isEmpty())
        return beside;
#ifdef _WIN32
    // The icon group of Uninstall.rc, one image per size it holds.
    QIcon own;
    for (int size : {16, 20, 32, 64, 96, 128, 256}) {
        const auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"APP_ICON",
                                                        IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        if (!icon)
            continue;
        own.addPixmap(QPixmap::fromImage(QImage::fromHICON(icon)));
        DestroyIcon(icon);
    }
    return own;
#else
    return QIcon(QStringLiteral(":/app.ico")); // no Windows resources here: a Qt resource
#endif
}

// %APPDATA%\VeltaAI: one separator, none added after a trailing slash or backslash.
QString draftFolder() {
    QString path = qEnvironmentVariable("APPDATA");
    if (!path.isEmpty() && !path.endsWith(u'\\') && !path.endsWith(u'/'))
        path += QDir::separator();
    return path + QStringLiteral("VeltaAI");
}

// The first step of a confirmation: servicepath is read before anything is
// deleted (clearing the settings removes it too), then the ticked registry
// data goes. A failure is reported and ends the process (no value then): the
// uninstall itself was not cancelled, so the installer goes on and the user
// learns which data stays behind.
std::optional<SettingValue> clearRegistryData(UninstallWindow* window) {
    try {
        const SettingValue servicepath = RegWindowSettings.getValue(u"servicepath");
        if (window->checkBox->isChecked())
            RegWindowSettings.removeValue(u"token");
        if (window->checkBox_3->isChecked())
            RegWindowSettings.clearSettings();
        return servicepath;
    } catch (const std::exception& error) {
        const QString message = QString::fromUtf8(error.what());
        writeLine(QStringLiteral("发生错误 ") + message);
        QMessageBox::critical(window, kWindowTitle,
                              QStringLiteral("删除用户数据时出错：") + message +
                                  QStringLiteral("\n其余选中的数据没有删除，卸载将继续。"));
        endProcess(kGoOn);
        return std::nullopt;
    }
}

// The folders to remove, draft folder first, and what stays and why.
struct Folders {
    QStringList delete_dirlist;
    QStringList kept;
};

// The second step: the ticked folders, only when servicepath is set. A
// relative path would be resolved against the installation folder, so only
// absolute folders are queued; one that cannot be located at all is named
// among those that stay. The removal's guard judges the rest on the worker's
// thread (it opens folders by path, which may wait on the network), and what
// it refuses is shown with everything else that stayed, after the removal.
Folders decideFolders(const UninstallWindow& window, const SettingValue& servicepath) {
    Folders folders;
    if (isSet(servicepath) && window.checkBox_2->isChecked()) {
        const QString draft = draftFolder();
        if (QDir::isAbsolutePath(draft))
            folders.delete_dirlist << draft;
        else
            folders.kept << QStringLiteral(
                "草稿数据：找不到草稿文件夹（APPDATA 未设置或不是绝对路径）");
    }
    if (isSet(servicepath) && window.checkBox_4->isChecked()) {
        const QString model = QString::fromStdU16String(settingText(servicepath));
        if (QDir::isAbsolutePath(model))
            folders.delete_dirlist << model;
        else
            folders.kept << QStringLiteral("模型数据：模型文件夹路径无效（") + model +
                                QStringLiteral("）");
    }
    return folders;
}

} // namespace

UninstallWindow::UninstallWindow() : QWidget(nullptr) {
    setupUi(this);
    setWindowTitle(kWindowTitle);
    resize(kWindowSize);
    setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
    setWindowIcon(appIcon());
    label->hide();
    progressBar->hide();
    checkBox_2->setText(QStringLiteral("删除草稿文件（") + sizeText(u"draftdirsize") +
                        QStringLiteral("）"));
    checkBox_4->setText(QStringLiteral("删除模型文件（") + sizeText(u"modelsize") +
                        QStringLiteral("）"));
    connect(pushButton_2, &QPushButton::clicked, this, &UninstallWindow::canel);
    connect(pushButton, &QPushButton::clicked, this, &UninstallWindow::UnInstallModel);
}

void UninstallWindow::UnInstallModel() {
    // Disabled for good: a confirmation never runs twice.
    setEnabled(false);
    const std::optional<SettingValue> servicepath = clearRegistryData(this);
    if (!servicepath)
        return; // the process has ended
    const Folders folders = decideFolders(*this, *servicepath);
    if (!folders.kept.isEmpty())
        QMessageBox::warning(this, kWindowTitle,
                             QStringLiteral("以下数据没有删除：\n") + folders.kept.join(u'\n'));
    if (folders.delete_dirlist.isEmpty()) {
        trueUninstall();
        return;
    }
    startRemoval(folders.delete_dirlist);
}

// The third step: the progress area, then the worker.
void UninstallWindow::startRemoval(const QStringList& delete_dirlist) {
    label->show();
    progressBar->show();
    pushButton->setText(QStringLiteral("正在卸载"));
    _FolderSizeCalculator = new FolderSizeCalculator(delete_dirlist);
    connect(_FolderSizeCalculator, &FolderSizeCalculator::progress, this,
            &UninstallWindow::update_progress);
    connect(_FolderSizeCalculator, &FolderSizeCalculator::left_behind, this,
            &UninstallWindow::note_left_behind);
    connect(_FolderSizeCalculator, &FolderSizeCalculator::result_ready, this,
            &UninstallWindow::trueUninstall);
    _FolderSizeCalculator->start();
}

void UninstallWindow::update_progress(int value) {
    progressBar->setValue(value);
}

void UninstallWindow::canel() {
    writeLine(QStringLiteral("取消"));
    endProcess(kCancelled);
}

// Without a console the output lines reach nobody, so whatever stayed is
// shown before the uninstall goes on.
void UninstallWindow::trueUninstall() {
    _removalEnded = true;
    if (!_leftBehind.isEmpty())
        reportLeftBehind();
    endProcess(kGoOn);
}

void UninstallWindow::note_left_behind(const QString& line) {
    _leftBehind << line;
}

namespace {

// Where the full list of what a removal left behind is written: the temporary
// folder's VeltaAI-uninstall.log, in native spelling.
QString leftBehindLogPath() {
    // Read here, not through QDir::tempPath(), which turns a folder that does
    // not exist into the working folder: the installation folder.
#ifdef _WIN32
    QString folder = qEnvironmentVariable("TEMP");
    if (folder.isEmpty())
        folder = QDir::tempPath();
#else
    QString folder = qEnvironmentVariable("TMPDIR");
    if (folder.isEmpty())
        folder = QStringLiteral("/tmp");
#endif
    return QDir::toNativeSeparators(QDir(folder).filePath(QStringLiteral("VeltaAI-uninstall.log")));
}

// The full list, replacing an earlier run's; empty, or why it could not be
// written. UTF-8; on Windows with a byte order mark and CR LF, so that every
// Notepad reads it as UTF-8.
QString writeLog(const QString& path, const QStringList& lines) {
#ifdef _WIN32
    const QByteArray bom = "\xEF\xBB\xBF", end = "\r\n";
#else
    const QByteArray bom, end = "\n";
#endif
    QByteArray text = bom +
                      (kWindowTitle + u' ' + QDateTime::currentDateTime().toString(Qt::ISODate) +
                       QStringLiteral("：以下文件或文件夹没有删除"))
                          .toUtf8() +
                      end;
    for (const QString& line : lines)
        text += line.toUtf8() + end;
    // Written aside and renamed over the old log: a link planted under the
    // name is replaced, never followed.
    if (QDir::isRelativePath(path))
        return QStringLiteral("临时文件夹不是绝对路径");
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return file.errorString();
    return {};
}

} // namespace

// One box: the first lines, how many more, and where the full list is.
void UninstallWindow::reportLeftBehind() {
    constexpr int kShown = 15;
    QString text =
        QStringLiteral("以下文件或文件夹没有删除：\n") + _leftBehind.mid(0, kShown).join(u'\n');
    if (_leftBehind.size() > kShown)
        text += QStringLiteral("\n……以及另外 %1 项").arg(_leftBehind.size() - kShown);
    const QString log = leftBehindLogPath();
    const QString failure = writeLog(log, _leftBehind);
    if (failure.isEmpty())
        text += QStringLiteral("\n\n完整列表已写入：") + log;
    else
        text += QStringLiteral("\n\n无法写入日志文件 ") + log + QStringLiteral("（") + failure +
                QStringLiteral("）");
    // Plain text: a path may hold what would read as markup.
    QMessageBox box(QMessageBox::Warning, kWindowTitle, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// A close request cancels the uninstall, a removal still running cut off
// where it stands; once the removal has ended there is nothing left to
// cancel, and the uninstall goes on.
void UninstallWindow::closeEvent(QCloseEvent*) {
    endProcess(_removalEnded ? kGoOn : kCancelled);
}

namespace {

QtMessageHandler qtHandler = nullptr; // Qt's own, restored once the window is shown

// Qt ends a start it cannot complete (no usable platform plugin, say) with a
// fatal message and an abort; the installer would read that as a failure of
// its own. Like any other start failure it ends with the line and 0 instead.
void startMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        writeLine(QStringLiteral("发生错误 ") + text);
        endProcess(kGoOn);
    }
    qtHandler(type, context, text);
}

} // namespace

int uninstallMain(int argc, char** argv) {
    // The installer's silent mode: no window, no registry, no files.
    for (int i = 0; i < argc; ++i) {
        if (QString::fromLocal8Bit(argv[i]).toUpper() == QLatin1String("/VELTAAIUNINSTALL")) {
            endProcess(kGoOn);
            return kGoOn;
        }
    }

    try {
        // Never destroyed: every way out is an immediate exit.
        qtHandler = qInstallMessageHandler(startMessageHandler);
#ifdef QT_STATIC
        // Everything the program needs is linked in, and the static Qt looks
        // for plugins in no folder but this one, which another program may
        // set: a planted platform plugin there would be read, loaded and keep
        // the window from starting. (A built-in qt.conf keeps one beside the
        // program from being read.)
        qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
#endif
        auto* app = new QApplication(argc, argv);
        auto* window = new UninstallWindow;
        window->show();
        qInstallMessageHandler(qtHandler);
        endProcess(app->exec());
    } catch (const std::exception& error) {
        // Nothing of the user's has been touched; let the uninstall go on.
        writeLine(QStringLiteral("发生错误 ") + QString::fromUtf8(error.what()));
        endProcess(kGoOn);
    }
    return kGoOn;
}
