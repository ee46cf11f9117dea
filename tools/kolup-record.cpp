// kolup-record: the maker's tool to write, inspect and check the version record before it is
// published. It decodes and judges records with the updater's own code, so what it accepts the
// updater accepts.
//
//   kolup-record make --version V --url URL (--size N | --file SETUP) [-o OUT]
//   kolup-record show FILE|-
//   kolup-record comment --file SETUP [--expires YYYY-MM-DD]
//   kolup-record check [--key PUBKEY] ADDRESS
//   kolup-record verify --key PUBKEY FILE

#include "download/digest.h"
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
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Bytes from a record may come from a hostile host: everything the tool prints of them goes
// through escapedText, so anything but printable ASCII reaches the terminal as an escape.

namespace {

namespace fs = std::filesystem;

constexpr int Ok = 0;
constexpr int Problem = 1;
constexpr int Usage = 2;
constexpr std::size_t LongestUrl = SetupUrlSize - 2; // room for the two padding spaces

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

template <typename T> std::optional<T> number(const std::string &text)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
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

// What show and check print: the fields, then one line for each reason to refuse the record.
int describe(std::span<const std::byte> received, std::ostream &out)
{
    RecordBytes bytes;
    bytes.fill(std::byte{' '});
    std::memcpy(bytes.data(), received.data(), std::min(bytes.size(), received.size()));
    const UpdateInfo info = decodeRecord(bytes);
    std::vector<std::string> problems = offerProblems(info);
    const SetupName name = findSetupName(info);
    const bool usable = name.terminated && !setupNameProblem(name.name);
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
    std::random_device random;
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(random()) + std::to_string(random());
    std::string why;
    files::File file = files::createNew(temporary, why);
    if (!file.isOpen()) {
        return refuse("cannot write " + shown + ": " + why);
    }
    bool written = file.writeAll(bytes, why);
    file.close();
    if (written && replacing) {
        fs::permissions(temporary, status.permissions(), fs::perm_options::replace, error);
        written = !error;
        why = error.message();
    }
    if (!written || !files::renameOver(temporary, path, why)) {
        files::removeFile(temporary);
        return refuse("cannot write " + shown + ": " + why);
    }
    return Ok;
}

int make(std::span<const std::string_view> args)
{
    std::optional<float> version;
    std::optional<std::string> url;
    std::optional<std::int64_t> size;
    std::optional<fs::path> setupFile;
    std::optional<fs::path> output;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (i + 1 >= args.size()) {
            return usage();
        }
        const std::string value(args[++i]);
        if (option == "--version") {
            version = number<float>(value);
            if (!version) {
                return refuse("the version is not a number: " + escapedText(value));
            }
        } else if (option == "--url") {
            url = value;
        } else if (option == "--size") {
            size = number<std::int64_t>(value);
            if (!size) {
                return refuse("the size is not a whole number: " + escapedText(value));
            }
        } else if (option == "--file") {
            setupFile = fs::path(value);
        } else if (option == "-o") {
            output = fs::path(value);
        } else {
            return usage();
        }
    }
    if (!version || !url || size.has_value() == setupFile.has_value()) {
        return usage();
    }
    if (setupFile) {
        std::string why;
        const files::File file = files::openRegular(*setupFile, why);
        if (!file.isOpen()) {
            return refuse("no setup file at " + escapedText(files::displayText(*setupFile)) + ": " +
                          why);
        }
        size = file.size();
    }
    if (url->size() > LongestUrl) {
        return refuse("the url is " + std::to_string(url->size()) + " characters; at most " +
                      std::to_string(LongestUrl) + " fit the record");
    }
    if (*size <= 0 || *size > std::numeric_limits<std::int32_t>::max()) {
        return refuse("the size must be from 1 to " +
                      std::to_string(std::numeric_limits<std::int32_t>::max()) + " bytes");
    }
    UpdateInfo info;
    info.Version = *version;
    std::memcpy(info.SetupUrl.data(), url->data(), url->size());
    info.SetupSize = std::int32_t(*size);
    if (const auto problems = offerProblems(info); !problems.empty()) {
        return refuse("the updater would refuse this record: " + problems.front());
    }

    const RecordBytes bytes = encodeRecord(info);
    const auto *data = reinterpret_cast<const char *>(bytes.data());
    if (!output) {
        std::cout.write(data, std::streamsize(bytes.size()));
        return std::cout.flush() ? Ok : refuse("cannot write the record");
    }
    return writeRecord(*output, bytes);
}

int show(std::string_view path)
{
    // One byte past the record tells a longer file from an exact one.
    std::array<std::byte, RecordSize + 1> buffer{};
    std::size_t count = 0;
    if (path == "-") {
        count = std::fread(buffer.data(), 1, buffer.size(), stdin);
        if (std::ferror(stdin)) {
            return refuse("cannot read the standard input");
        }
    } else {
        std::string why;
        files::File file = files::openRegular(fs::path(path), why);
        if (!file.isOpen()) {
            return refuse("cannot read " + escapedText(path) + ": " + why);
        }
        while (count < buffer.size()) {
            const auto got = file.read(std::span(buffer).subspan(count));
            if (got < 0) {
                return refuse("cannot read " + escapedText(path));
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

std::optional<Keys> keyArgument(std::string_view text)
{
    auto keys = PublicKey::parseList(text);
    if (!keys) {
        std::cerr << "kolup-record: the key is not the base64 line of a minisign public key, "
                     "or several separated by spaces\n";
    }
    return keys;
}

// The setup file's size and BLAKE2b-512 digest, for the record's signed comment.
int comment(std::span<const std::string_view> args)
{
    std::optional<fs::path> file;
    std::optional<std::chrono::sys_days> expires;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--file") {
            file = fs::path(args[i + 1]);
        } else if (args[i] == "--expires") {
            expires = parseDay(args[i + 1]);
            if (!expires) {
                return refuse("the expiry is not a date as YYYY-MM-DD: " +
                              escapedText(args[i + 1]));
            }
            if (*expires < todayUtc()) {
                return refuse("the expiry date has passed");
            }
        } else {
            return usage();
        }
    }
    if (!file || args.size() % 2 != 0) {
        return usage();
    }
    SetupBinding binding;
    binding.expires = expires;
    Blake2b hash;
    const bool read = readRegularFile(*file, [&](std::span<const std::byte> block) {
        binding.size += std::int64_t(block.size());
        hash.add(block);
    });
    if (!read) {
        return refuse("cannot read " + escapedText(files::displayText(*file)) +
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
    std::string why;
    const auto signature = fetchSignature(client, address, {}, why);
    if (!signature) {
        std::cout << "problem: the record has no usable signature: " << escapedText(why) << '\n';
        return std::nullopt;
    }
    if (auto problem = signatureProblem(keys, *signature, blake2b(bytes))) {
        std::cout << "problem: the record's signature: " << *problem << '\n';
        return std::nullopt;
    }
    auto binding = parseBinding(signature->trustedComment, why);
    if (!binding) {
        std::cout << "problem: " << why << '\n';
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
    return binding;
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
    // Read it through as the updater would, counting and hashing; one byte past the announced
    // size is enough to know the server sends too much, however much more it would send.
    const std::int64_t limit = std::int64_t(std::max(info.SetupSize, 0)) + 1;
    std::int64_t served = 0;
    Blake2b hash;
    std::vector<std::byte> chunk(64 * 1024);
    while (served < limit) {
        const auto wanted = std::size_t(std::min<std::int64_t>(limit - served, chunk.size()));
        const std::size_t got = setup.read(std::span(chunk).first(wanted));
        if (got == 0) {
            break;
        }
        served += std::int64_t(got);
        hash.add(std::span(chunk).first(got));
    }
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
    if (const Digest digest = hash.finish();
        binding && (served != binding->size || digest != binding->digest)) {
        std::cout << "problem: the setup file is not the one the record's signature names\n"
                  << "signed-setup: " << binding->size
                  << " bytes, blake2b=" << digestText(binding->digest) << '\n'
                  << "served-setup: " << served << " bytes, blake2b=" << digestText(digest) << '\n';
        status = Problem;
    }
    return status;
}

int verify(const Keys &keys, std::string_view path)
{
    // Both are read as regular files only: a FIFO planted at either name fails at once instead
    // of waiting forever for a writer.
    const std::string signaturePath = std::string(path) + std::string(SignatureSuffix);
    std::string text;
    const bool read = readRegularFile(signaturePath, [&text](std::span<const std::byte> block) {
        if (text.size() <= SignatureFileLimit) {
            text += bytesText(block);
        }
    });
    if (!read) {
        return refuse("cannot read " + escapedText(signaturePath) + " as a regular file");
    }
    if (text.size() > SignatureFileLimit) {
        return refuse(escapedText(signaturePath) + " is larger than a signature");
    }
    const auto digest = digestOfFile(fs::path(path));
    if (!digest) {
        return refuse("cannot read " + escapedText(path) + " as a regular file");
    }
    if (auto problem = signatureProblem(keys, text, *digest)) {
        return refuse(escapedText(*problem));
    }
    std::cout << "valid\n";
    return Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    // Arguments are taken as the bytes they are: an address is written to the record exactly
    // as given, never re-encoded through a locale.
    const std::vector<std::string_view> all(argv + std::min(argc, 1), argv + argc);
    if (all.empty()) {
        return usage();
    }
    const std::string_view command = all.front();
    const std::span<const std::string_view> args = std::span(all).subspan(1);
    if (command == "--help" && args.empty()) {
        return usage(std::cout, Ok);
    }
    if (command == "make") {
        return make(args);
    }
    if (command == "show" && args.size() == 1) {
        return show(args[0]);
    }
    if (command == "comment") {
        return comment(args);
    }
    if (command == "check" && args.size() == 1) {
        return check(args[0], std::nullopt);
    }
    if ((command == "check" || command == "verify") && args.size() == 3 && args[0] == "--key") {
        const auto key = keyArgument(args[1]);
        if (!key) {
            return Problem;
        }
        return command == "check" ? check(args[2], key) : verify(*key, args[2]);
    }
    return usage();
}
