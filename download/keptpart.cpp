#include "download/keptpart.h"

#include "update/log.h"

namespace fs = std::filesystem;

KeptPart KeptPart::find(const fs::path &part, const Wanted &wanted)
{
    KeptPart kept;
    kept.m_part = part;
    auto note = readResumeNote(resumeNotePath(part));
    kept.m_noted = note.has_value();
    // Looked at through an open handle, never through a link: what is judged is what would be
    // written. Whatever the note says, a file with another name is someone else's.
    const auto opened = files::openRegular(part);
    if (opened && opened->links() != 1) {
        kept.m_found = Found::Foreign;
        return kept;
    }
    if (!note) {
        return kept;
    }
    kept.m_ours = true;
    kept.m_found = Found::Stale;
    kept.m_note = std::move(*note);
    const ResumeNote &n = kept.m_note;
    // Unkeyed, only the server's validator can say that the rest belongs to the kept start;
    // keyed, the whole file's digest decides at the end whatever the server says.
    if (!opened || n.address != wanted.address || n.size != wanted.size ||
        n.digest != wanted.digest || (!wanted.digest && n.validator.empty()) ||
        opened->identity() != n.identity) {
        return kept;
    }
    // A part as long as the file has nothing left to ask for: it is fetched again.
    const std::int64_t size = opened->size();
    if (size > 0 && size < wanted.size) {
        kept.m_found = Found::Resumable;
        kept.m_bytes = size;
    }
    return kept;
}

KeptPart KeptPart::made(const fs::path &part)
{
    KeptPart kept;
    kept.m_part = part;
    kept.m_ours = true;
    return kept;
}

void KeptPart::record(const Wanted &wanted, const std::string &validator, files::Identity identity)
{
    const fs::path note = resumeNotePath(m_part);
    if (!wanted.digest && validator.empty()) {
        files::removeFile(note);
        return;
    }
    m_note = {wanted.address, wanted.size, validator, wanted.digest, identity};
    const Status written = writeResumeNote(note, m_note);
    if (!written) {
        logMessage(LogKind::Notice, "the setup file cannot be continued later: " + written.text());
    }
}

void KeptPart::settle(Settle how)
{
    if (how == Settle::Keep) {
        return;
    }
    if (m_ours || m_noted) {
        files::removeFile(resumeNotePath(m_part));
    }
    if (how == Settle::Drop && m_ours) {
        files::removeFile(m_part);
    }
}
