#pragma once

#include "os/failure.h"
#include "update/blake2b.h"
#include "update/webclient.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Signatures in minisign's format, made by the maker with the minisign tool. Only its default,
// prehashed form is accepted: the signature is over the BLAKE2b-512 digest of the file, so a
// file is verified as it streams by, in constant memory.

using KeyId = std::array<unsigned char, 8>;

// The maker's public key: the base64 line of a minisign.pub file.
struct PublicKey {
    KeyId id{};
    std::array<unsigned char, 32> key{}; // Ed25519

    static std::optional<PublicKey> parse(std::string_view base64);
    // One or more such lines separated by spaces: the keys a maker signs with, old and new,
    // while a key is being replaced. Nothing when any of them is not a key, or there is none.
    static std::optional<std::vector<PublicKey>> parseList(std::string_view text);
};

// A .minisig file's contents.
struct Signature {
    KeyId keyId{};
    std::array<unsigned char, 64> signature{}; // Ed25519, over the file's digest
    std::string trustedComment;
    std::array<unsigned char, 64> globalSignature{}; // over the signature and the comment

    // Refused when the text is not a prehashed minisign signature.
    static Result<Signature> parse(std::string_view text);
};

// Success when the signature is the key's over this digest with an intact trusted comment;
// refused, saying why, otherwise.
Status verifySignature(const PublicKey &key, const Signature &signature, const Digest &digest);

// The same with whichever of keys made the signature; signed by none of them is refused.
Status verifySignature(std::span<const PublicKey> keys, const Signature &signature,
                       const Digest &digest);

// Reads a .minisig file's text and checks it as above.
Status verifySignature(std::span<const PublicKey> keys, std::string_view signatureText,
                       const Digest &digest);

// The most a signature file may hold; a real one is a few hundred bytes.
inline constexpr std::size_t SignatureFileLimit = 4096;
// Where a file's signature is published: beside it.
inline constexpr std::string_view SignatureSuffix = ".minisig";

// Fetches the signature published beside address and reads it: Unreachable when it cannot be
// fetched whole, refused when it is not a signature.
Result<Signature> fetchSignature(const WebClient &web, std::string_view address,
                                 const WaitHook &wait);
