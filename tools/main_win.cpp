// kolup-record's entry on Windows: the wide arguments, so file names in any script arrive
// whole; an address is put into the code page's bytes only where the record holds it.

#include "tools/kolup-record.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t *argv[])
{
    // Before anything can load a DLL: only from the system folder, never from beside the tool.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        std::fputs("kolup-record: cannot limit where DLLs are loaded from\n", stderr);
        return 1;
    }
    const std::vector<Argument> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return runKolupRecord(args);
}
