// libFuzzer target: the note beside a kept part, read from a folder others can write.
#include "download/resumenote.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    // One note has one spelling: whatever is taken is exactly what the updater writes, with a
    // size that can be asked for and a validator that can go back into a request.
    if (const auto note = parseResumeNote(text)) {
        if (resumeNoteText(*note) != text || note->size <= 0 || note->address.empty() ||
            usableValidator(note->validator) != note->validator) {
            __builtin_trap();
        }
    }
    return 0;
}
