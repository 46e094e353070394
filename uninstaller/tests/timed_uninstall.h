// Forced-include for the benchmark build of the uninstaller: the stages of
// timed_start.h and those inside the program's own start, noted where the
// program calls what is redefined here.
#pragma once
#include "Uninstall.h"
#include "src/utils/reg_settings.h"
#include "timed_start.h"

namespace timed_start {

// The first call is the entry's, the second follows show().
inline QtMessageHandler installHandler(QtMessageHandler handler) {
    note(marks[kMain] ? kShown : kMain);
    return qInstallMessageHandler(handler);
}

// Every read's value passes here; the last one before show() counts.
inline std::u16string readDone(std::u16string text) {
    if (!marks[kShown]) {
        marks[kRead] = 0;
        note(kRead);
    }
    return text;
}

} // namespace timed_start

#define qInstallMessageHandler timed_start::installHandler
#define setupUi(form)                                                                              \
    (timed_start::note(timed_start::kWindow), setupUi(form), timed_start::note(timed_start::kForm))
#define setWindowIcon(icon) (setWindowIcon(icon), timed_start::note(timed_start::kIcon))
#define RegWindowSettings (timed_start::note(timed_start::kRegistry), RegWindowSettings)
#define settingText(value) timed_start::readDone(settingText(value))
