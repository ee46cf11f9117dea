#include "update/updatecheck.h"

#include "update/log.h"
#include "update/setupname.h"

#include <array>
#include <cmath>
#include <span>

namespace {

UpdateCheck failed(UpdateCheck::Outcome outcome, std::string why)
{
    logMessage(LogKind::Failure, why);
    UpdateCheck check;
    check.outcome = outcome;
    check.why = std::move(why);
    return check;
}

} // namespace

UpdateCheck checkForUpdate(const WebClient &web, const CheckSettings &settings,
                           std::optional<float> installed, const WaitHook &wait)
{
    using Outcome = UpdateCheck::Outcome;
    const bool keyed = !settings.keys.empty();
    // The maker signs the record as published, exactly its bytes: a keyed build reads one byte
    // past them to refuse a longer one. An unsigned record is its first 264 bytes, whatever a
    // host appends after them (a newline, an editor's padding): records already published for
    // the updaters in use may rely on it.
    std::array<std::byte, RecordSize + 1> received;
    received.fill(std::byte{' '});
    const auto buffer = std::span(received).first(keyed ? RecordSize + 1 : RecordSize);
    std::size_t count = 0;
    {
        WebResource record = web.open(settings.versionUrl, wait);
        if (!record.isOpen()) {
            return failed(Outcome::NoConnection,
                          "cannot fetch the version record: " + record.result().describe());
        }
        // A record that stops short because its transfer failed is not the maker's record; one
        // that the host ends early was served as it is, so it is read as the bytes that came
        // and the record's own rules judge it ("NO INTERNET CONNECTION FOUND" would be untrue).
        count = record.read(buffer);
        if (count < buffer.size() && !record.result().completed()) {
            return failed(Outcome::NoConnection, "the version record stopped after " +
                                                     std::to_string(count) +
                                                     " bytes: " + record.result().describe());
        }
    }
    const auto bytes = std::span(received).first<RecordSize>();

    std::optional<SetupBinding> binding;
    if (keyed) {
        if (count != RecordSize) {
            return failed(Outcome::Invalid,
                          "the version record is refused: it is " +
                              (count > RecordSize ? "longer than " + std::to_string(RecordSize)
                                                  : std::to_string(count) + " bytes, not " +
                                                        std::to_string(RecordSize)) +
                              " bytes, and a signed record is exactly its bytes");
        }
        std::string why;
        const auto signature = fetchSignature(web, settings.versionUrl, wait, why);
        const auto problem = signature ? signatureProblem(settings.keys, *signature, blake2b(bytes))
                                       : std::optional(why);
        if (problem) {
            return failed(Outcome::Invalid, "the version record is refused: " + *problem);
        }
        // The signed comment names the one setup file this record may bring.
        binding = parseBinding(signature->trustedComment, why);
        if (!binding) {
            return failed(Outcome::Invalid, "the version record is refused: " + why);
        }
        if (expired(*binding, todayUtc())) {
            return failed(Outcome::Invalid,
                          "the version record is refused: its signature has expired");
        }
    }

    UpdateCheck check;
    check.info = decodeRecord(bytes);
    const auto setupPath = setupPathFor(settings.setupDir, check.info, settings.programName);
    if (!setupPath) {
        return failed(Outcome::Invalid,
                      "the version record is refused: " +
                          recordProblems(check.info, settings.programName).front());
    }
    if (binding && binding->size != check.info.SetupSize) {
        return failed(Outcome::Invalid, "the version record is refused: it announces " +
                                            std::to_string(check.info.SetupSize) +
                                            " bytes, its signature " +
                                            std::to_string(binding->size));
    }
    check.setupPath = *setupPath;
    check.binding = binding;
    const float offered = check.info.Version;
    const bool newer = installed ? offered > *installed : !std::isnan(offered);
    check.outcome = newer ? Outcome::Offer : Outcome::NoUpdate;
    return check;
}
