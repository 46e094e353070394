#include "Uninstall.h"

int main(int argc, char** argv) {
    return uninstallMain(argc, argv);
}
