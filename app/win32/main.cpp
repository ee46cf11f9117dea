#include "app/win32/desktop.h"
#include "app/win32/form1window.h"
#include "buildconfig.h"
#include "os/files.h"
#include "update/log.h"

#include <string>
#include <string_view>

namespace {

// A file name in the system's ANSI code page, as names from the network are.
std::string systemText(const std::filesystem::path &name)
{
    const std::wstring &text = name.native();
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(std::size_t(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), bytes.data(), length, nullptr,
                        nullptr);
    return bytes;
}

std::filesystem::path utf8Path(std::string_view text)
{
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t *>(text.data()), text.size()));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    sendLogToDebugger();
    SystemServices services;
    const std::filesystem::path program = files::programPath();
    Platform platform =
        services.platform(KOLUP_VERSION_URL, utf8Path(KOLUP_ENGINE_VERSION_FILE),
                          setupFolder(program.parent_path()), systemText(program.filename()));
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
    return 0;
}
