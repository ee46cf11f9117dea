// libFuzzer target: a setup name, as bytes and as text, through both systems' rules.
#include "os/filenames.h"
#include "update/setupname.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const bool taken = checkSetupName(bytes, "kolup-updater").ok();
    const auto text = filenames::fromUtf8(bytes);
    if (text && filenames::toUtf8(*text) != bytes) {
        __builtin_trap();
    }
    if (taken && (!text || bytes == "." || bytes == ".." ||
                  bytes.find_first_of("/\\:") != std::string_view::npos || bytes.empty())) {
        __builtin_trap(); // a name taken here never leaves the folder or is not text
    }
    // The same characters, whatever bytes: each code unit of the input as a code point.
    std::u32string units;
    for (const std::uint8_t byte : std::basic_string_view(data, size)) {
        units += char32_t(byte);
    }
    for (const auto system : {filenames::System::Posix, filenames::System::Windows}) {
        if (filenames::check(units, system).ok() && units.find_first_of(U"/\\:") != units.npos) {
            __builtin_trap();
        }
    }
    return 0;
}
