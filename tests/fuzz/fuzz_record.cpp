// libFuzzer target: any bytes from the network through record decoding and the setup path.
#include "update/setupname.h"
#include "update/updateinfo.h"

#include <QDir>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    RecordBytes bytes;
    bytes.fill(std::byte{' '});
    std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    const UpdateInfo info = decodeRecord(bytes);
    const auto problems = recordProblems(info);
    const auto path = setupPathFor(QStringLiteral("/opt/kolup"), info);
    if (path.has_value() != problems.empty()) {
        __builtin_trap();
    }
    if (path) {
        // A usable path never leaves the program's directory.
        const QString name = path->mid(QStringLiteral("/opt/kolup/").size());
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
            name == QLatin1String("..")) {
            __builtin_trap();
        }
    }
    if (encodeRecord(info) != bytes) {
        __builtin_trap();
    }
    return 0;
}
