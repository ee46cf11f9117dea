#include "update/updatecheck.h"

#include "update/setupname.h"

#include <array>
#include <cmath>
#include <span>
#include <variant>

namespace {

UpdateCheck failed(UpdateCheck::Outcome outcome, std::string why)
{
    UpdateCheck check;
    check.outcome = outcome;
    check.why = std::move(why);
    return check;
}

// The record as served, in a buffer one byte longer than a record; or the failed check, when
// it could not be read whole.
struct ServedRecord {
    std::array<std::byte, RecordSize + 1> bytes;
    std::size_t count = 0;
};

std::variant<ServedRecord, UpdateCheck> readRecord(const WebClient &web, std::string_view address,
                                                   bool keyed, const WaitHook &wait)
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
        return failed(UpdateCheck::Outcome::NoConnection,
                      "cannot fetch the version record: " + record.result().describe());
    }
    // A record that stops short because its transfer failed is not the maker's record; one
    // that the host ends early was served as it is, so it is read as the bytes that came
    // and the record's own rules judge it ("NO INTERNET CONNECTION FOUND" would be untrue).
    served.count = record.read(buffer);
    if (served.count < buffer.size() && !record.result().completed()) {
        return failed(UpdateCheck::Outcome::NoConnection,
                      "the version record stopped after " + std::to_string(served.count) +
                          " bytes: " + record.result().describe());
    }
    return served;
}

// Keyed: the setup file that the record's signature names, or the failure that refuses it.
std::variant<SetupBinding, UpdateCheck> signedBinding(const WebClient &web,
                                                      const CheckSettings &settings,
                                                      const ServedRecord &served,
                                                      const WaitHook &wait)
{
    using Outcome = UpdateCheck::Outcome;
    if (served.count != RecordSize) {
        return failed(Outcome::Invalid, "the version record is refused: it is " +
                                            (served.count > RecordSize
                                                 ? "longer than " + std::to_string(RecordSize)
                                                 : std::to_string(served.count) + " bytes, not " +
                                                       std::to_string(RecordSize)) +
                                            " bytes, and a signed record is exactly its bytes");
    }
    const auto signature = fetchSignature(web, settings.versionUrl, wait);
    const Status verified =
        signature ? verifySignature(settings.keys, *signature,
                                    blake2b(std::span(served.bytes).first<RecordSize>()))
                  : Status(signature.failure());
    if (!verified) {
        return failed(Outcome::Invalid, "the version record is refused: " + verified.text());
    }
    // The signed comment names the one setup file this record may bring.
    auto binding = parseBinding(signature->trustedComment);
    if (!binding) {
        return failed(Outcome::Invalid, "the version record is refused: " + binding.text());
    }
    if (expired(*binding, todayUtc())) {
        return failed(Outcome::Invalid, "the version record is refused: its signature has expired");
    }
    return *binding;
}

} // namespace

UpdateCheck checkForUpdate(const WebClient &web, const CheckSettings &settings,
                           std::optional<float> installed, const WaitHook &wait)
{
    using Outcome = UpdateCheck::Outcome;
    const bool keyed = !settings.keys.empty();
    auto read = readRecord(web, settings.versionUrl, keyed, wait);
    if (auto *failure = std::get_if<UpdateCheck>(&read)) {
        return std::move(*failure);
    }
    const ServedRecord &served = std::get<ServedRecord>(read);
    std::optional<SetupBinding> binding;
    if (keyed) {
        auto bound = signedBinding(web, settings, served, wait);
        if (auto *failure = std::get_if<UpdateCheck>(&bound)) {
            return std::move(*failure);
        }
        binding = std::get<SetupBinding>(bound);
    }

    const UpdateInfo info = decodeRecord(std::span(served.bytes).first<RecordSize>());
    const auto setupPath = setupPathFor(settings.setupDir, info, settings.programName);
    if (!setupPath) {
        return failed(Outcome::Invalid, "the version record is refused: " + setupPath.text());
    }
    if (binding && binding->size != info.SetupSize) {
        return failed(Outcome::Invalid, "the version record is refused: it announces " +
                                            std::to_string(info.SetupSize) +
                                            " bytes, its signature " +
                                            std::to_string(binding->size));
    }
    UpdateCheck check;
    check.offer = Offer{info, *setupPath, binding};
    const bool newer = installed ? info.Version > *installed : !std::isnan(info.Version);
    check.outcome = newer ? Outcome::Offer : Outcome::NoUpdate;
    return check;
}
