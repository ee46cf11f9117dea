#include "update/updatecheck.h"

#include "update/setupname.h"

#include <array>
#include <cmath>
#include <span>

namespace {

// The one place a failure becomes what the window says. Only a network that did not bring what
// was asked for is "no connection"; everything the host did send and that breaks a rule, a
// signature it does not have included, is "invalid update information".
UpdateCheck::Outcome outcomeOf(Fault fault)
{
    return fault == Fault::Unreachable ? UpdateCheck::Outcome::NoConnection
                                       : UpdateCheck::Outcome::Invalid;
}

// The record as served, in a buffer one byte longer than a record.
struct ServedRecord {
    std::array<std::byte, RecordSize + 1> bytes;
    std::size_t count = 0;
};

Result<ServedRecord> readRecord(const WebClient &web, std::string_view address, bool keyed,
                                const WaitHook &wait)
{
    // The maker signs the record as published, exactly its bytes: a keyed build reads one byte
    // past them to refuse a longer one. An unsigned record is its first 264 bytes, whatever a
    // host appends after them (a newline, an editor's padding): records already published for
    // the updaters in use may rely on it.
    ServedRecord served;
    served.bytes.fill(std::byte{' '});
    const auto buffer = std::span(served.bytes).first(keyed ? RecordSize + 1 : RecordSize);
    WebResource record = web.open(address, wait);
    if (!record.isOpen()) {
        return Failure{Fault::Unreachable,
                       "cannot fetch the version record: " + record.result().describe()};
    }
    // A record that stops short because its transfer failed is not the maker's record; one
    // that the host ends early was served as it is, so it is read as the bytes that came
    // and the record's own rules judge it ("NO INTERNET CONNECTION FOUND" would be untrue).
    served.count = record.read(buffer);
    if (served.count < buffer.size() && !record.result().completed()) {
        return Failure{Fault::Unreachable, "the version record stopped after " +
                                               std::to_string(served.count) +
                                               " bytes: " + record.result().describe()};
    }
    return served;
}

// Keyed: the setup file that the record's signature names, or why it is refused.
Result<SetupBinding> signedBinding(const WebClient &web, const CheckSettings &settings,
                                   const ServedRecord &served, const WaitHook &wait)
{
    const auto refused = [](const std::string &why) {
        return Failure{Fault::Refused, "the version record is refused: " + why};
    };
    if (served.count != RecordSize) {
        return refused("it is " +
                       (served.count > RecordSize ? "longer than " + std::to_string(RecordSize)
                                                  : std::to_string(served.count) + " bytes, not " +
                                                        std::to_string(RecordSize)) +
                       " bytes, and a signed record is exactly its bytes");
    }
    const auto signature = fetchSignature(web, settings.versionUrl, wait);
    if (!signature) {
        // A connection that broke on the way to the signature keeps its own kind.
        return Failure{signature.failure().fault,
                       "the version record is refused: " + signature.failure().text};
    }
    const Status verified = verifySignature(settings.keys, *signature,
                                            blake2b(std::span(served.bytes).first<RecordSize>()));
    if (!verified) {
        return refused(verified.text());
    }
    // The signed comment names the one setup file this record may bring.
    auto binding = parseBinding(signature->trustedComment);
    if (!binding) {
        return refused(binding.text());
    }
    if (expired(*binding, todayUtc())) {
        return refused("its signature has expired");
    }
    return *binding;
}

// The offer a record makes, or why it makes none.
Result<Offer> offerOf(const WebClient &web, const CheckSettings &settings, const WaitHook &wait)
{
    const bool keyed = !settings.keys.empty();
    const auto served = readRecord(web, settings.versionUrl, keyed, wait);
    if (!served) {
        return served.failure();
    }
    std::optional<SetupBinding> binding;
    if (keyed) {
        auto bound = signedBinding(web, settings, *served, wait);
        if (!bound) {
            return bound.failure();
        }
        binding = *bound;
    }
    const UpdateInfo info = decodeRecord(std::span(served->bytes).first<RecordSize>());
    const auto setupPath = setupPathFor(settings.setupDir, info, settings.programName);
    if (!setupPath) {
        return Failure{Fault::Refused, "the version record is refused: " + setupPath.text()};
    }
    if (binding && binding->size != info.SetupSize) {
        return Failure{Fault::Refused, "the version record is refused: it announces " +
                                           std::to_string(info.SetupSize) +
                                           " bytes, its signature " +
                                           std::to_string(binding->size)};
    }
    return Offer{info, *setupPath, binding};
}

} // namespace

UpdateCheck checkForUpdate(const WebClient &web, const CheckSettings &settings,
                           std::optional<float> installed, const WaitHook &wait)
{
    auto offer = offerOf(web, settings, wait);
    UpdateCheck check;
    if (!offer) {
        check.outcome = outcomeOf(offer.failure().fault);
        check.why = offer.failure().text;
        return check;
    }
    const float version = offer->record.Version;
    const bool newer = installed ? version > *installed : !std::isnan(version);
    check.outcome = newer ? UpdateCheck::Outcome::Offer : UpdateCheck::Outcome::NoUpdate;
    check.offer = std::move(*offer);
    return check;
}
