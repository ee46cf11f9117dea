#pragma once

#include "os/files.h"
#include "update/blake2b.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What a kept side file holds the start of, written beside it so that a later transfer of the
// same offer, in this run or after a restart, can continue it instead of fetching it again.
// It is read back as hostile as any file on disk: only an exact match with the new offer, for
// the very file it names, is ever continued.
struct ResumeNote {
    std::string address; // as it was requested
    std::int64_t size = 0;
    std::string validator;        // the server's strong ETag or Last-Modified; may be empty
    std::optional<Digest> digest; // keyed: the whole file's, as the maker's signature names it
    files::Identity identity;     // the side file's

    bool operator==(const ResumeNote &) const = default;
};

// Where the note of a side file stands.
std::filesystem::path resumeNotePath(const std::filesystem::path &sideFile);

// Written whole under a new name, then renamed over the old one: a note is never half there.
Status writeResumeNote(const std::filesystem::path &path, const ResumeNote &note);
// Nothing unless the file is a regular one, small, and a note in exactly the written form.
std::optional<ResumeNote> readResumeNote(const std::filesystem::path &path);
// The note's one written form, and its reader: nothing for any other text.
std::string resumeNoteText(const ResumeNote &note);
std::optional<ResumeNote> parseResumeNote(std::string_view text);

// A server's validator as it may go back into a request: printable ASCII, without line ends
// that could start a header of their own, and not too long. Empty for anything else.
std::string usableValidator(std::string_view value);
