// A DLL as a drive-by download would plant it beside a program: loading it at all writes a
// marker (to the file KOLUP_PLANTED_MARKER names), which the end-to-end test looks for.
#include <windows.h>

extern "C" LONG WINAPI plantedStub()
{
    return -1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)

{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t marker[MAX_PATH] = {};
        if (GetEnvironmentVariableW(L"KOLUP_PLANTED_MARKER", marker, MAX_PATH) > 0) {
            const HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
            CloseHandle(file);
        }
    }
    return TRUE;
}
