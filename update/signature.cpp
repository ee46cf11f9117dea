#include "update/signature.h"

#include "update/updateinfo.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// minisign's algorithm tags: the prehashed form, and the legacy one over the whole file.
constexpr std::array<unsigned char, 2> Prehashed = {'E', 'D'};
constexpr std::array<unsigned char, 2> Legacy = {'E', 'd'};
constexpr std::string_view TrustedPrefix = "trusted comment: ";
constexpr std::string_view UntrustedPrefix = "untrusted comment: ";
static_assert(std::tuple_size_v<decltype(PublicKey::key)> == crypto_sign_PUBLICKEYBYTES);
static_assert(std::tuple_size_v<decltype(Signature::signature)> == crypto_sign_BYTES);

// Exactly `size` bytes from a base64 line, or nothing.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text, std::size_t size)
{
    startSodium();
    std::vector<unsigned char> bytes(size + 3);
    std::size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || length != size) {
        return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
}

// The next line of text, without its line end; false when none is left.
bool nextLine(std::string_view &text, std::string_view &line)
{
    if (text.empty()) {
        return false;
    }
    const auto end = text.find('\n');
    line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    return true;
}

Failure refused(std::string text)
{
    return {Fault::Refused, std::move(text)};
}

} // namespace

std::optional<PublicKey> PublicKey::parse(std::string_view base64)
{
    const auto bytes = decodeBase64(base64, 2 + 8 + crypto_sign_PUBLICKEYBYTES);
    if (!bytes || !std::equal(Legacy.begin(), Legacy.end(), bytes->begin())) {
        return std::nullopt;
    }
    PublicKey key;
    std::memcpy(key.id.data(), bytes->data() + 2, key.id.size());
    std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
    return key;
}

Result<Signature> Signature::parse(std::string_view text)
{
    std::string_view untrusted, encoded, trusted, global;
    if (!nextLine(text, untrusted) || !nextLine(text, encoded) || !nextLine(text, trusted) ||
        !nextLine(text, global)) {
        return refused("the signature file is incomplete");
    }
    std::string_view rest;
    while (nextLine(text, rest)) {
        if (!rest.empty()) {
            return refused("the signature file has more than four lines");
        }
    }
    if (!untrusted.starts_with(UntrustedPrefix) || !trusted.starts_with(TrustedPrefix)) {
        return refused("the signature file's comment lines are missing");
    }
    const auto body = decodeBase64(encoded, 2 + 8 + crypto_sign_BYTES);
    const auto globalBytes = decodeBase64(global, crypto_sign_BYTES);
    if (!body || !globalBytes) {
        return refused("the signature is not valid base64 of the right length");
    }
    if (std::equal(Legacy.begin(), Legacy.end(), body->begin())) {
        return refused("the signature is in the legacy form; sign with a current minisign");
    }
    if (!std::equal(Prehashed.begin(), Prehashed.end(), body->begin())) {
        return refused("the signature's algorithm is unknown");
    }
    Signature signature;
    std::memcpy(signature.keyId.data(), body->data() + 2, signature.keyId.size());
    std::memcpy(signature.signature.data(), body->data() + 10, signature.signature.size());
    signature.trustedComment = std::string(trusted.substr(TrustedPrefix.size()));
    std::memcpy(signature.globalSignature.data(), globalBytes->data(),
                signature.globalSignature.size());
    return signature;
}

Status verifySignature(const PublicKey &key, const Signature &signature, const Digest &digest)
{
    startSodium();
    if (signature.keyId != key.id) {
        return refused("the file is signed with another key");
    }
    if (crypto_sign_verify_detached(signature.signature.data(), digest.data(), digest.size(),
                                    key.key.data()) != 0) {
        return refused("the signature does not match the file");
    }
    // The trusted comment is signed together with the signature itself.
    std::vector<unsigned char> signedComment(signature.signature.begin(),
                                             signature.signature.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(),
                         signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), signedComment.data(),
                                    signedComment.size(), key.key.data()) != 0) {
        return refused("the signature's trusted comment has been altered");
    }
    return Success{};
}

Status verifySignature(std::span<const PublicKey> keys, const Signature &signature,
                       const Digest &digest)
{
    for (const PublicKey &key : keys) {
        if (key.id == signature.keyId) {
            return verifySignature(key, signature, digest);
        }
    }
    return refused("the file is signed with another key");
}

std::optional<std::vector<PublicKey>> PublicKey::parseList(std::string_view text)
{
    std::vector<PublicKey> keys;
    while (!text.empty()) {
        const auto end = text.find(' ');
        if (end != 0) {
            const auto key = parse(text.substr(0, end));
            if (!key) {
                return std::nullopt;
            }
            keys.push_back(*key);
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    if (keys.empty()) {
        return std::nullopt;
    }
    return keys;
}

Status verifySignature(std::span<const PublicKey> keys, std::string_view signatureText,
                       const Digest &digest)
{
    const auto signature = Signature::parse(signatureText);
    if (!signature) {
        return signature.failure();
    }
    return verifySignature(keys, *signature, digest);
}

Result<Signature> fetchSignature(const WebClient &web, std::string_view address,
                                 const WaitHook &wait)
{
    const std::string signatureAddress = std::string(address) + std::string(SignatureSuffix);
    // The address may come from a record: it reaches the log only escaped.
    const std::string where = escapedText(signatureAddress);
    WebResource resource = web.open(signatureAddress, wait);
    const auto unreachable = [&] {
        return Failure{Fault::Unreachable,
                       "cannot fetch " + where + ": " + resource.result().describe()};
    };
    // A host that answers without the signature has none to give: that is no broken connection.
    if (!resource.isOpen() && resource.result().httpStatus != 0) {
        return refused("cannot fetch " + where + ": " + resource.result().describe());
    }
    if (!resource.isOpen()) {
        return unreachable();
    }
    std::vector<std::byte> text(SignatureFileLimit + 1);
    const std::size_t count = resource.read(text);
    if (count > SignatureFileLimit) {
        return refused(where + " is larger than a signature");
    }
    if (!resource.result().completed()) {
        return unreachable();
    }
    auto parsed =
        Signature::parse(std::string_view(reinterpret_cast<const char *>(text.data()), count));
    if (!parsed) {
        return refused(where + ": " + parsed.failure().text);
    }
    return parsed;
}
