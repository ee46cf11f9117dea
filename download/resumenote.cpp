#include "download/resumenote.h"

#include "update/binding.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Heading = "kolup-resume 1";
// A note is a few hundred bytes; anything longer is not one of ours.
constexpr std::size_t NoteLimit = 4096;
constexpr std::size_t ValidatorLimit = 512;

// The value of the line that starts with key and a space, the text moved past it.
std::optional<std::string_view> field(std::string_view &text, std::string_view key)
{
    const auto end = text.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.starts_with(key) || line.size() < key.size() + 1 || line[key.size()] != ' ') {
        return std::nullopt;
    }
    return line.substr(key.size() + 1);
}

} // namespace

std::string resumeNoteText(const ResumeNote &note)
{
    return std::string(Heading) + "\naddress " + note.address + "\nsize " +
           std::to_string(note.size) + "\nvalidator " + note.validator + "\nblake2b " +
           (note.digest ? digestText(*note.digest) : std::string()) + "\nfile " +
           std::to_string(note.identity.device) + " " + std::to_string(note.identity.file) + " " +
           std::to_string(note.identity.fileHigh) + "\n";
}

std::optional<ResumeNote> parseResumeNote(std::string_view text)
{
    if (!text.starts_with(std::string(Heading) + "\n")) {
        return std::nullopt;
    }
    text.remove_prefix(Heading.size() + 1);
    const auto address = field(text, "address");
    const auto size = address ? field(text, "size") : std::nullopt;
    const auto validator = size ? field(text, "validator") : std::nullopt;
    const auto digest = validator ? field(text, "blake2b") : std::nullopt;
    const auto file = digest ? field(text, "file") : std::nullopt;
    if (!file || !text.empty()) {
        return std::nullopt;
    }
    ResumeNote note;
    note.address = *address;
    const auto bytes = decimal<std::int64_t>(*size);
    note.validator = *validator;
    // The address went on the wire as printable ASCII: any other byte is not one we wrote.
    const bool printable = std::all_of(note.address.begin(), note.address.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x7E;
    });
    if (!bytes || *bytes <= 0 || note.address.empty() || !printable ||
        usableValidator(*validator) != *validator) {
        return std::nullopt;
    }
    note.size = *bytes;
    if (!digest->empty()) {
        note.digest = digestFromText(*digest);
        if (!note.digest) {
            return std::nullopt;
        }
    }
    std::array<std::uint64_t, 3> ids{};
    std::string_view rest = *file;
    // Three numbers, one space between each, nothing after the last.
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto space = rest.find(' ');
        const bool last = i + 1 == ids.size();
        const auto value = decimal<std::uint64_t>(rest.substr(0, space));
        if (!value || last != (space == std::string_view::npos)) {
            return std::nullopt;
        }
        ids[i] = *value;
        rest.remove_prefix(last ? rest.size() : space + 1);
    }
    if (!rest.empty()) {
        return std::nullopt;
    }
    note.identity = {ids[0], ids[1], ids[2]};
    return note;
}

fs::path resumeNotePath(const fs::path &sideFile)
{
    fs::path note = sideFile;
    note += ".resume";
    return note;
}

Status writeResumeNote(const fs::path &path, const ResumeNote &note)
{
    const std::string text = resumeNoteText(note);
    return files::writeWholeFile(path, std::as_bytes(std::span(text.data(), text.size())));
}

std::optional<ResumeNote> readResumeNote(const fs::path &path)
{
    auto file = files::openRegular(path);
    if (!file || file->size() > std::int64_t(NoteLimit)) {
        return std::nullopt;
    }
    std::vector<std::byte> bytes(NoteLimit + 1);
    std::size_t count = 0;
    for (std::ptrdiff_t got = 0; count < bytes.size(); count += std::size_t(got)) {
        got = file->read(std::span(bytes).subspan(count));
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
    }
    if (count > NoteLimit) {
        return std::nullopt;
    }
    return parseResumeNote(std::string_view(reinterpret_cast<const char *>(bytes.data()), count));
}

std::string usableValidator(std::string_view value)
{
    if (value.size() > ValidatorLimit) {
        return {};
    }
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            return {};
        }
    }
    return std::string(value);
}
