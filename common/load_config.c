/* The loader reads this before it resolves the program's static imports:
   DependentLoadFlags has it take them from System32 only, never from the
   program's own folder, which a per-user installation leaves writable. GNU ld
   does not point the data directory here; scripts/pe-load-config.py does,
   right after the link. */
#include <windows.h>

const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32, /* DependentLoadFlags */
};
