#include "Uninstall.h"

#ifdef _WIN32
#include "common/win32_dll_search.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    SearchSystem32Only(); // before Qt, the shell or an input method loads anything
#endif
    return uninstallMain(argc, argv);
}
