#pragma once
// The uninstaller's main unit: the folder removal worker, the window and the entry.

// ==== FolderSizeCalculator ====

// ==== UninstallWindow ====
