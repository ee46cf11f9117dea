// libFuzzer target: a signature file as the network serves it, read before it is verified.
#include "update/signature.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto signature = Signature::parse(text);
    if (!signature && signature.text().empty()) {
        __builtin_trap(); // every refusal says why
    }
    // Nothing the fuzzer makes is signed by this key: a parsed signature must never verify.
    static const auto keys =
        PublicKey::parseList("RWQcrEibwXbJAim7LmAzcqusFbZBkrspMH4pFpSIbmhMYXCG/8VddxR0");
    if (signature && keys && verifySignature(*keys, *signature, blake2b({}))) {
        __builtin_trap();
    }
    PublicKey::parseList(text);
    return 0;
}
