// libFuzzer target: any bytes from the network through record decoding and the setup path.
#include "update/setupname.h"
#include "update/updateinfo.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    RecordBytes bytes;
    bytes.fill(std::byte{' '});
    std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    const UpdateInfo info = decodeRecord(bytes);
    const auto problems = recordProblems(info);
    const std::filesystem::path dir = "/opt/kolup";
    const auto path = setupPathFor(dir, info);
    if (path.ok() != problems.empty()) {
        __builtin_trap();
    }
    if (path) {
        // A usable path never leaves the program's directory.
        const std::string name = path->string().substr(dir.string().size() + 1);
        if (path->parent_path() != dir || name.empty() || name == ".." ||
            name.find_first_of("/\\") != std::string::npos) {
            __builtin_trap();
        }
    }
    if (encodeRecord(info) != bytes) {
        __builtin_trap();
    }
    return 0;
}
