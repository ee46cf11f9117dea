#include "update/updatecheck.h"

#include "update/setupname.h"

#include <cmath>

UpdateCheck checkForUpdate(const WebClient &web, std::string_view versionUrl,
                           const QString &setupDir, std::optional<float> installed,
                           const WaitHook &wait, const std::optional<PublicKey> &key)
{
    UpdateCheck check;
    RecordBytes buffer;
    buffer.fill(std::byte{' '});
    {
        WebResource record = web.open(versionUrl, wait);
        if (!record.isOpen()) {
            check.why = "cannot fetch the version record: " + record.result().describe();
            return check;
        }
        // A record that stops short because its transfer failed is not the maker's record; one
        // that simply ends early is read as the bytes that came, as it always has been.
        const std::size_t count = record.read(buffer);
        if (count < buffer.size() && !record.result().completed()) {
            check.why = "the version record stopped after " + std::to_string(count) +
                        " bytes: " + record.result().describe();
            return check;
        }
    }

    if (key) {
        std::string why;
        const auto signature = fetchSignature(web, versionUrl, wait, why);
        const auto problem =
            signature ? signatureProblem(*key, *signature, blake2b(buffer)) : std::optional(why);
        if (problem) {
            check.outcome = UpdateCheck::Outcome::Invalid;
            check.why = "the version record is refused: " + *problem;
            return check;
        }
    }

    check.info = decodeRecord(buffer);
    const auto setupPath = setupPathFor(setupDir, check.info);
    if (!setupPath) {
        check.outcome = UpdateCheck::Outcome::Invalid;
        check.why = "the version record is refused: " + recordProblems(check.info).front();
        return check;
    }
    check.setupPath = *setupPath;
    const float offered = check.info.Version;
    const bool newer = installed ? offered > *installed : !std::isnan(offered);
    check.outcome = newer ? UpdateCheck::Outcome::Offer : UpdateCheck::Outcome::NoUpdate;
    return check;
}
