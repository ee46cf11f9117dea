#pragma once

#include "update/binding.h"
#include "update/signature.h"
#include "update/updateinfo.h"
#include "update/webclient.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One offer of a setup file, from the check to the start: the record, where its setup goes,
// and, keyed, the setup file the maker's signature names.
struct Offer {
    UpdateInfo record;
    std::filesystem::path setupPath;
    std::optional<SetupBinding> binding;

    // The same record, byte for byte, to the same path, bound to the same file.
    bool operator==(const Offer &other) const
    {
        return encodeRecord(record) == encodeRecord(other.record) && setupPath == other.setupPath &&
               binding == other.binding;
    }
};

// What one look at the maker's version record found.
struct UpdateCheck {
    enum class Outcome {
        NoConnection, // the record could not be read whole
        Invalid,      // the record cannot be offered safely
        NoUpdate,     // a good record, not newer than what is installed
        Offer,        // a good record with a newer version
    };
    Outcome outcome = Outcome::NoConnection;
    std::optional<Offer> offer; // for NoUpdate and Offer: what the record offers
    std::string why;            // for NoConnection and Invalid: what went wrong
};

// Where the check looks and what it refuses.
struct CheckSettings {
    std::string versionUrl;
    std::filesystem::path setupDir;
    std::string programName; // the updater's own file name, never a setup's
    // With keys, a record is taken only with a signature beside it by one of them, whose
    // signed comment names the setup file and has not expired.
    std::vector<PublicKey> keys;
};

// Fetches the record, refuses what cannot be offered safely, and compares its version with the
// installed one. With nothing installed any version is new: the setup program is what installs
// the engine.
UpdateCheck checkForUpdate(const WebClient &web, const CheckSettings &settings,
                           std::optional<float> installed, const WaitHook &wait = {});
