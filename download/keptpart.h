#pragma once

#include "download/resumenote.h"
#include "os/files.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The side file at one name, as far as it is ours: the start of the setup file that an earlier
// transfer left, with the note beside it that says what it is the start of, or the side file
// this transfer writes. A part is continued only when its note names exactly this offer and the
// very file at the name; whatever is found there is hostile until then.
class KeptPart {
public:
    // What a note must name for its part to be continued: the offer's resource, exactly.
    struct Wanted {
        std::string address; // as it is requested
        std::int64_t size = 0;
        std::optional<Digest> digest; // keyed
    };
    enum class Found {
        Nothing,   // no note of ours: whatever stands at the name is not ours to touch
        Resumable, // the start of this very offer's file: continued from bytes()
        Stale,     // a note of ours for another offer, or a part that cannot be continued
        Foreign,   // a file with another name elsewhere: never written, emptied or removed
    };
    // At the end of a transfer, what becomes of the part and its note.
    enum class Settle {
        Keep,   // both stay, for the next transfer of the same offer
        Drop,   // both go: the bytes proved wrong, or the offer is another
        Disown, // the note goes, and the file is left as it is: it is not ours, or it has
                // become the setup
    };

    // What stands at part, judged against what this transfer wants.
    static KeptPart find(const std::filesystem::path &part, const Wanted &wanted);
    // The side file this transfer has just created or emptied at part.
    static KeptPart made(const std::filesystem::path &part);

    Found found() const { return m_found; }
    const std::filesystem::path &path() const { return m_part; }
    // Resumable: how many bytes of the file it holds, what the server called the file then,
    // and the identity of the file the note names.
    std::int64_t bytes() const { return m_bytes; }
    const std::string &validator() const { return m_note.validator; }
    files::Identity identity() const { return m_note.identity; }

    // Writes beside the part what it holds the start of, so that a later transfer can continue
    // it; without a validator or a digest nothing could ever prove its rest to be its own, so
    // there is no note and the part would be fetched again.
    void record(const Wanted &wanted, const std::string &validator, files::Identity identity);
    // Only what is ours is ever removed.
    void settle(Settle how);

private:
    std::filesystem::path m_part;
    Found m_found = Found::Nothing;
    bool m_ours = false;  // the part: removed when dropped
    bool m_noted = false; // a note of ours beside it: removed unless kept
    ResumeNote m_note;
    std::int64_t m_bytes = 0;
};
