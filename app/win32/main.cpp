#include "app/win32/desktop.h"
#include "app/win32/form1window.h"
#include "buildconfig.h"
#include "os/files.h"
#include "update/log.h"

#include <objbase.h>

#include <string_view>

namespace {

std::filesystem::path utf8Path(std::string_view text)
{
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t *>(text.data()), text.size()));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    // Before anything can load a DLL: only from the system folder. A program that runs from
    // Downloads must not load a DLL that a drive-by download left beside it.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        MessageBoxW(nullptr, L"This program cannot limit where Windows loads its DLLs from.",
                    L"Kolup Updater", MB_ICONERROR);
        return 1;
    }
    // The shell starts the setup through COM handlers: single-threaded, as a window's thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    sendLogToDebugger();
    SystemServices services;
    Platform platform =
        services.platform(KolupVersionUrl, utf8Path(KolupEngineVersionFile), files::programPath());
    if (constexpr std::string_view keys = KOLUP_SIGNING_KEY; !keys.empty()) {
        const auto parsed = PublicKey::parseList(keys);
        if (!parsed) {
            // A keyed build must never fall back to taking unsigned updates.
            MessageBoxW(nullptr, L"A signing key this program was built with is not valid.",
                        L"Kolup Updater", MB_ICONERROR);
            return 1;
        }
        platform.signingKeys = *parsed;
    }

    int status = 0;
    {
        Form1Window window(platform);
        ShowWindow(window.hwnd(), show);
        UpdateWindow(window.hwnd());
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!window.dialogMessage(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        status = int(message.wParam);
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return status;
}
