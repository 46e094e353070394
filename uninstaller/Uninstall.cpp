#include "Uninstall.h"

// ==== FolderSizeCalculator ====

// ==== UninstallWindow and entry ====
