// libFuzzer target: the binding in a record's signed comment, and the days it names.
#include "update/binding.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    // One binding has one spelling: whatever is taken is exactly what the tool writes.
    if (const auto binding = parseBinding(text)) {
        if (bindingComment(*binding) != text || binding->size <= 0) {
            __builtin_trap();
        }
    } else if (binding.text().empty()) {
        __builtin_trap();
    }
    if (const auto day = parseDay(text); day && dayText(*day) != text) {
        __builtin_trap();
    }
    return 0;
}
