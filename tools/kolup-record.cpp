// kolup-record: the maker's tool to write, inspect and check the version record before it is
// published. It decodes and judges records with the updater's own code, so what it accepts the
// updater accepts. Its command line is read in commandline.cpp; this does what it asks.

#include "tools/kolup-record.h"

#include "download/digest.h"
#include "tools/commandline.h"
#include "os/files.h"
#include "update/binding.h"
#include "update/setupname.h"
#include "update/signature.h"
#include "update/updateinfo.h"
#include "update/webclient.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Bytes from a record may come from a hostile host: everything the tool prints of them goes
// through escapedText, so anything but printable ASCII reaches the terminal as an escape.

namespace {

namespace fs = std::filesystem;

using command::Ok;
using command::Problem;
using command::Usage;

int usage(std::ostream &out = std::cerr, int status = Usage)
{
    out << "usage: kolup-record make --version V --url URL (--size N | --file SETUP) [-o OUT]\n"
           "       kolup-record show FILE|-\n"
           "       kolup-record comment --file SETUP [--expires YYYY-MM-DD]\n"
           "       kolup-record check [--key PUBKEY] ADDRESS\n"
           "       kolup-record verify --key PUBKEY FILE\n";
    return status;
}

int refuse(const std::string &why)
{
    std::cerr << "kolup-record: " << why << '\n';
    return Problem;
}

// The version as the record holds it: a 4-byte float's 7 significant digits, shortest form.
std::string versionText(float version)
{
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), version,
                                   std::chars_format::general, 7)
                         .ptr;
    return std::string(text.data(), end);
}

std::string_view bytesText(std::span<const std::byte> bytes)
{
    return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

// Every reason the updater would not offer the record.
std::vector<std::string> offerProblems(const UpdateInfo &info)
{
    std::vector<std::string> problems = recordProblems(info);
    if (std::isnan(info.Version)) {
        problems.emplace_back("the version is not a number; the updater never offers it");
    }
    return problems;
}

// A record is often published for Windows and Linux alike: what Windows would refuse of a
// name this system takes.
std::optional<std::string> windowsWarning(const UpdateInfo &info)
{
    const SetupName name = findSetupName(info);
    const auto text = files::decodeSystemText(name.name);
    if (!name.terminated || !text || !checkSetupName(name.name)) {
        return std::nullopt;
    }
    const Status named = filenames::check(*text, filenames::System::Windows);
    return named ? std::nullopt
                 : std::optional("the updater on Windows would refuse this record: its setup "
                                 "file name " +
                                 named.text());
}

// What show and check print: the fields, then one line for each reason to refuse the record.
int describe(std::span<const std::byte> received, std::ostream &out)
{
    RecordBytes bytes;
    bytes.fill(std::byte{' '});
    std::memcpy(bytes.data(), received.data(), std::min(bytes.size(), received.size()));
    const UpdateInfo info = decodeRecord(bytes);
    std::vector<std::string> problems = offerProblems(info);
    const SetupName name = findSetupName(info);
    const bool usable = name.terminated && checkSetupName(name.name).ok();
    out << "version: " << versionText(info.Version) << '\n'
        << "url: " << escapedText(setupAddress(info)) << '\n'
        << "size: " << info.SetupSize << '\n'
        << "setup-name: " << (usable ? escapedText(name.name) : std::string()) << '\n';
    if (received.size() != RecordSize) {
        problems.push_back("the record is " + std::to_string(received.size()) + " bytes, not " +
                           std::to_string(RecordSize));
    }
    for (const std::string &problem : problems) {
        out << "problem: " << problem << '\n';
    }
    if (const auto warning = windowsWarning(info)) {
        out << "warning: " << *warning << '\n';
    }
    return problems.empty() ? Ok : Problem;
}

// Writes the record to path all or nothing: under a fresh name beside it first, then renamed
// over it, so that a reader never sees half a record and a link or FIFO there is replaced, not
// written through. A file that stands there keeps its permissions, and one the maker made
// read-only is not replaced at all.
int writeRecord(const fs::path &path, std::span<const std::byte> bytes)
{
    const std::string shown = escapedText(files::displayText(path));
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    const bool replacing = fs::exists(status);
    if (replacing && !fs::is_regular_file(status)) {
        return refuse(shown + " exists and is not a regular file");
    }
    if (replacing && !files::writableInPlace(path)) {
        return refuse(shown + " is read-only or not yours to write; it is left as it is");
    }
    const Status written = files::writeWholeFile(
        path, bytes, replacing ? std::optional(status.permissions()) : std::nullopt);
    if (!written) {
        return refuse("cannot write " + shown + ": " + written.text());
    }
    return Ok;
}

int make(const command::Make &request)
{
    std::int64_t size = request.size.value_or(0);
    if (request.setupFile) {
        const auto file = files::openRegular(*request.setupFile);
        if (!file) {
            return refuse("no setup file at " +
                          escapedText(files::displayText(*request.setupFile)) + ": " + file.text());
        }
        size = file->size();
    }
    const auto made = command::record(request.version, request.url, size);
    if (!made) {
        return refuse(made.text());
    }
    const UpdateInfo &info = *made;
    if (const auto warning = windowsWarning(info)) {
        std::cerr << "kolup-record: warning: " << *warning << '\n';
    }
    const RecordBytes bytes = encodeRecord(info);
    const auto *data = reinterpret_cast<const char *>(bytes.data());
    if (!request.output) {
        std::cout.write(data, std::streamsize(bytes.size()));
        return std::cout.flush() ? Ok : refuse("cannot write the record");
    }
    return writeRecord(*request.output, bytes);
}

int show(const std::optional<fs::path> &path)
{
    // One byte past the record tells a longer file from an exact one.
    std::array<std::byte, RecordSize + 1> buffer{};
    std::size_t count = 0;
    if (!path) {
        count = std::fread(buffer.data(), 1, buffer.size(), stdin);
        if (std::ferror(stdin)) {
            return refuse("cannot read the standard input");
        }
    } else {
        auto file = files::openRegular(*path);
        const std::string name = escapedText(files::displayText(*path));
        if (!file) {
            return refuse("cannot read " + name + ": " + file.text());
        }
        while (count < buffer.size()) {
            const auto got = file->read(std::span(buffer).subspan(count));
            if (got < 0) {
                return refuse("cannot read " + name);
            }
            if (got == 0) {
                break;
            }
            count += std::size_t(got);
        }
    }
    return describe(std::span(buffer).first(count), std::cout);
}

using Keys = std::vector<PublicKey>;

// The setup file's size and BLAKE2b-512 digest, for the record's signed comment.
int comment(const command::Comment &request)
{
    const fs::path &file = request.setupFile;
    SetupBinding binding;
    binding.expires = request.expires;
    Blake2b hash;
    const bool read = readRegularFile(file, [&](std::span<const std::byte> block) {
        binding.size += std::int64_t(block.size());
        hash.add(block);
    });
    if (!read) {
        return refuse("cannot read " + escapedText(files::displayText(file)) +
                      " as a regular file");
    }
    if (binding.size <= 0 || binding.size > std::numeric_limits<std::int32_t>::max()) {
        return refuse("the setup file must hold from 1 to " +
                      std::to_string(std::numeric_limits<std::int32_t>::max()) + " bytes");
    }
    binding.digest = hash.finish();
    std::cout << bindingComment(binding) << '\n';
    return std::cout.flush() ? Ok : Problem;
}

// The record's signature, by one of keys, and the setup file it names; nothing after printing
// why not.
std::optional<SetupBinding> checkRecordSignature(const WebClient &client, std::string_view address,
                                                 const Keys &keys, const RecordBytes &bytes,
                                                 const UpdateInfo &info)
{
    const auto signature = fetchSignature(client, address, {});
    if (!signature) {
        std::cout << "problem: the record has no usable signature: "
                  << escapedText(signature.text()) << '\n';
        return std::nullopt;
    }
    if (const Status verified = verifySignature(keys, *signature, blake2b(bytes)); !verified) {
        std::cout << "problem: the record's signature: " << verified.text() << '\n';
        return std::nullopt;
    }
    auto binding = parseBinding(signature->trustedComment);
    if (!binding) {
        std::cout << "problem: " << binding.text() << '\n';
        return std::nullopt;
    }
    if (expired(*binding, todayUtc())) {
        std::cout << "problem: the record's signature has expired: its last day was "
                  << dayText(*binding->expires) << '\n';
        return std::nullopt;
    }
    if (binding->size != info.SetupSize) {
        std::cout << "problem: the record says " << info.SetupSize << " bytes, its signature "
                  << binding->size << '\n';
        return std::nullopt;
    }
    return *binding;
}

// The setup file as the server sends it, read through as the updater would, counting and
// hashing; one byte past the announced size is enough to know the server sends too much,
// however much more it would send.
struct ServedSetup {
    std::int64_t size = 0;
    Digest digest{};
};

ServedSetup readServed(WebResource &setup, std::int32_t announced)
{
    const std::int64_t limit = std::int64_t(std::max(announced, 0)) + 1;
    ServedSetup served;
    Blake2b hash;
    std::vector<std::byte> chunk(64 * 1024);
    while (served.size < limit) {
        const auto wanted = std::size_t(std::min<std::int64_t>(limit - served.size, chunk.size()));
        const std::size_t got = setup.read(std::span(chunk).first(wanted));
        if (got == 0) {
            break;
        }
        served.size += std::int64_t(got);
        hash.add(std::span(chunk).first(got));
    }
    served.digest = hash.finish();
    return served;
}

int check(std::string_view address, const std::optional<Keys> &keys)
{
    const WebClient client;
    WebResource record = client.open(address);
    if (!record.isOpen()) {
        return refuse("cannot fetch " + escapedText(address) + ": " + record.result().describe());
    }
    std::array<std::byte, RecordSize + 1> buffer;
    buffer.fill(std::byte{' '});
    const std::size_t count = record.read(buffer);
    record.close();
    int status = describe(std::span(buffer).first(count), std::cout);

    RecordBytes bytes;
    std::memcpy(bytes.data(), buffer.data(), bytes.size());
    const UpdateInfo info = decodeRecord(bytes);
    std::optional<SetupBinding> binding;
    if (keys) {
        binding = checkRecordSignature(client, address, *keys, bytes, info);
        if (!binding) {
            status = Problem;
        }
    }
    WebResource setup = client.open(setupAddress(info));
    if (!setup.isOpen()) {
        std::cout << "problem: cannot fetch the setup file: " << setup.result().describe() << '\n';
        return Problem;
    }
    const auto [served, digest] = readServed(setup, info.SetupSize);
    if (served > info.SetupSize) {
        std::cout << "problem: the server sends more than announced: " << info.SetupSize << '\n';
        return Problem;
    }
    std::cout << "served: " << served << '\n';
    if (!setup.result().completed()) {
        std::cout << "problem: the setup file's transfer failed: " << setup.result().describe()
                  << '\n';
        return Problem;
    }
    if (served != info.SetupSize) {
        std::cout << "problem: the server sends " << served << " bytes, the record says "
                  << info.SetupSize << '\n';
        status = Problem;
    }
    // Both files, as the signature names them: a stale upload and a stale record look alike
    // otherwise.
    if (binding && (served != binding->size || digest != binding->digest)) {
        std::cout << "problem: the setup file is not the one the record's signature names\n"
                  << "signed-setup: " << binding->size
                  << " bytes, blake2b=" << digestText(binding->digest) << '\n'
                  << "served-setup: " << served << " bytes, blake2b=" << digestText(digest) << '\n';
        status = Problem;
    }
    return status;
}

int verify(const Keys &keys, const fs::path &path)
{
    // Both are read as regular files only: a FIFO planted at either name fails at once instead
    // of waiting forever for a writer.
    fs::path signaturePath = path;
    signaturePath += std::string(SignatureSuffix);
    const std::string signatureName = escapedText(files::displayText(signaturePath));
    std::string text;
    const bool read = readRegularFile(signaturePath, [&text](std::span<const std::byte> block) {
        if (text.size() <= SignatureFileLimit) {
            text += bytesText(block);
        }
    });
    if (!read) {
        return refuse("cannot read " + signatureName + " as a regular file");
    }
    if (text.size() > SignatureFileLimit) {
        return refuse(signatureName + " is larger than a signature");
    }
    const auto digest = digestOfFile(path);
    if (!digest) {
        return refuse("cannot read " + escapedText(files::displayText(path)) +
                      " as a regular file");
    }
    if (const Status verified = verifySignature(keys, text, *digest); !verified) {
        return refuse(escapedText(verified.text()));
    }
    std::cout << "valid\n";
    return Ok;
}

} // namespace

int runKolupRecord(std::span<const Argument> args)
{
    const command::Request request = command::parse(args, todayUtc());
    return std::visit(
        [](const auto &asked) -> int {
            using T = std::decay_t<decltype(asked)>;
            if constexpr (std::is_same_v<T, command::Refusal>) {
                return asked.why.empty()
                           ? usage()
                           : (std::cerr << "kolup-record: " << asked.why << '\n', asked.status);
            } else if constexpr (std::is_same_v<T, command::Help>) {
                return usage(std::cout, Ok);
            } else if constexpr (std::is_same_v<T, command::Make>) {
                return make(asked);
            } else if constexpr (std::is_same_v<T, command::Show>) {
                return show(asked.file);
            } else if constexpr (std::is_same_v<T, command::Comment>) {
                return comment(asked);
            } else if constexpr (std::is_same_v<T, command::Check>) {
                return check(asked.address, asked.keys);
            } else {
                return verify(asked.keys, asked.file);
            }
        },
        request);
}
