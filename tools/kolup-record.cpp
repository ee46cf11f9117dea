// kolup-record: the maker's tool to write, inspect and check the version record before it is
// published. It decodes and judges records with the updater's own code, so what it accepts the
// updater accepts.
//
//   kolup-record make --version V --url URL (--size N | --file SETUP) [-o OUT]
//   kolup-record show FILE|-
//   kolup-record check [--key PUBKEY] ADDRESS
//   kolup-record verify --key PUBKEY FILE

#include "download/digest.h"
#include "update/numbertext.h"
#include "update/setupname.h"
#include "update/signature.h"
#include "update/updateinfo.h"
#include "update/webclient.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int Ok = 0;
constexpr int Problem = 1;
constexpr int Usage = 2;
constexpr std::size_t LongestUrl = SetupUrlSize - 2; // room for the two padding spaces

int usage(std::ostream &out = std::cerr, int status = Usage)
{
    out << "usage: kolup-record make --version V --url URL (--size N | --file SETUP) [-o OUT]\n"
                 "       kolup-record show FILE|-\n"
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

std::string versionText(float version)
{
    QString text = signedNumberText(version);
    if (text.startsWith(QLatin1Char(' '))) {
        text.remove(0, 1);
    }
    return text.toStdString();
}

// Bytes from a record may come from a hostile host: anything but printable ASCII reaches the
// terminal as an escape, never as a control sequence.
std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
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
int describe(const QByteArray &received, std::ostream &out)
{
    RecordBytes bytes;
    bytes.fill(std::byte{' '});
    std::memcpy(bytes.data(), received.constData(),
                std::min(bytes.size(), std::size_t(received.size())));
    const UpdateInfo info = decodeRecord(bytes);
    std::vector<std::string> problems = offerProblems(info);
    const SetupName name = findSetupName(info);
    const bool usable = name.terminated && !setupNameProblem(name.name);
    out << "version: " << versionText(info.Version) << '\n'
        << "url: " << printable(setupAddress(info)) << '\n'
        << "size: " << info.SetupSize << '\n'
        << "setup-name: " << (usable ? printable(name.name) : std::string()) << '\n';
    if (std::size_t(received.size()) != RecordSize) {
        problems.push_back("the record is " + std::to_string(received.size()) +
                           " bytes, not " + std::to_string(RecordSize));
    }
    for (const std::string &problem : problems) {
        out << "problem: " << problem << '\n';
    }
    return problems.empty() ? Ok : Problem;
}

int make(const QStringList &args)
{
    std::optional<float> version;
    std::optional<std::string> url;
    std::optional<std::int64_t> size;
    QString setupFile;
    QString output;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &option = args[i];
        if (i + 1 >= args.size()) {
            return usage();
        }
        const std::string value = args[++i].toStdString();
        if (option == QLatin1String("--version")) {
            version = number<float>(value);
            if (!version) {
                return refuse("the version is not a number: " + value);
            }
        } else if (option == QLatin1String("--url")) {
            url = value;
        } else if (option == QLatin1String("--size")) {
            size = number<std::int64_t>(value);
            if (!size) {
                return refuse("the size is not a whole number: " + value);
            }
        } else if (option == QLatin1String("--file")) {
            setupFile = QString::fromStdString(value);
        } else if (option == QLatin1String("-o")) {
            output = QString::fromStdString(value);
        } else {
            return usage();
        }
    }
    if (!version || !url || size.has_value() == !setupFile.isEmpty()) {
        return usage();
    }
    if (!setupFile.isEmpty()) {
        const QFileInfo file(setupFile);
        if (!file.isFile()) {
            return refuse("no setup file at " + setupFile.toStdString());
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
    if (output.isEmpty()) {
        std::cout.write(data, std::streamsize(bytes.size()));
        return std::cout.flush() ? Ok : refuse("cannot write the record");
    }
    // A device or a FIFO there would be replaced by a plain file, not written to.
    if (const QFileInfo target(output); target.exists() && !target.isFile()) {
        return refuse(output.toStdString() + " exists and is not a regular file");
    }
    // All or nothing: the record appears under its name only once it is whole.
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || file.write(data, qint64(bytes.size())) != 264 ||
        !file.commit()) {
        return refuse("cannot write " + output.toStdString() + ": " +
                      file.errorString().toStdString());
    }
    return Ok;
}

int show(const QString &path)
{
    QFile file;
    const bool opened = path == QLatin1String("-") ? file.open(stdin, QIODevice::ReadOnly)
                                                    : (file.setFileName(path),
                                                       file.open(QIODevice::ReadOnly));
    if (!opened) {
        return refuse("cannot read " + path.toStdString());
    }
    // One byte past the record tells a longer file from an exact one.
    return describe(file.read(RecordSize + 1), std::cout);
}

std::optional<PublicKey> keyArgument(const QString &text)
{
    auto key = PublicKey::parse(text.toStdString());
    if (!key) {
        std::cerr << "kolup-record: the key is not the base64 line of a minisign public key\n";
    }
    return key;
}

// Fetches the signature beside address as the updater does; false after printing why not. A
// signature by another key is named at once, before anything else is fetched.
bool fetchSigned(const WebClient &client, std::string_view address, const PublicKey &key,
                 std::optional<Signature> &signature, const char *what)
{
    std::string why;
    signature = fetchSignature(client, address, {}, why);
    if (!signature) {
        std::cout << "problem: the " << what << " has no usable signature: " << printable(why)
                  << '\n';
        return false;
    }
    if (signature->keyId != key.id) {
        std::cout << "problem: the " << what << " is signed with another key\n";
        return false;
    }
    return true;
}

int check(const QString &address, const std::optional<PublicKey> &key)
{
    const WebClient client;
    WebResource record = client.open(address.toStdString());
    if (!record.isOpen()) {
        return refuse("cannot fetch " + address.toStdString() + ": " + record.result().describe());
    }
    std::array<std::byte, RecordSize + 1> buffer;
    buffer.fill(std::byte{' '});
    const std::size_t count = record.read(buffer);
    record.close();
    const QByteArray received(reinterpret_cast<const char *>(buffer.data()), qsizetype(count));
    int status = describe(received, std::cout);

    RecordBytes bytes;
    std::memcpy(bytes.data(), buffer.data(), bytes.size());
    if (key) {
        std::optional<Signature> signature;
        if (!fetchSigned(client, address.toStdString(), *key, signature, "record")) {
            status = Problem;
        } else if (auto problem = signatureProblem(*key, *signature, blake2b(bytes))) {
            std::cout << "problem: the record's signature: " << *problem << '\n';
            status = Problem;
        }
    }
    const UpdateInfo info = decodeRecord(bytes);
    std::optional<Signature> setupSignature;
    if (key && !fetchSigned(client, setupAddress(info), *key, setupSignature, "setup file")) {
        status = Problem;
    }
    WebResource setup = client.open(setupAddress(info));
    if (!setup.isOpen()) {
        std::cout << "problem: cannot fetch the setup file: " << setup.result().describe() << '\n';
        return Problem;
    }
    // Read it through as the updater would, counting and hashing.
    std::int64_t served = 0;
    Blake2b hash;
    std::vector<std::byte> chunk(64 * 1024);
    for (std::size_t got; (got = setup.read(chunk)) > 0;) {
        served += std::int64_t(got);
        hash.add(std::span(chunk).first(got));
    }
    if (setupSignature) {
        if (auto problem = signatureProblem(*key, *setupSignature, hash.finish())) {
            std::cout << "problem: the setup file's signature: " << *problem << '\n';
            status = Problem;
        }
    }
    std::cout << "served: " << served << '\n';
    if (!setup.result().completed()) {
        std::cout << "problem: the setup file's transfer failed: " << setup.result().describe()
                  << '\n';
        status = Problem;
    } else if (served != info.SetupSize) {
        std::cout << "problem: the server sends " << served << " bytes, the record says "
                  << info.SetupSize << '\n';
        status = Problem;
    }
    return status;
}

int verify(const PublicKey &key, const QString &path)
{
    QFile signatureFile(path + QString::fromLatin1(SignatureSuffix.data()));
    if (!signatureFile.open(QIODevice::ReadOnly)) {
        return refuse("cannot read " + signatureFile.fileName().toStdString());
    }
    const QByteArray text = signatureFile.read(SignatureFileLimit + 1);
    if (std::size_t(text.size()) > SignatureFileLimit) {
        return refuse(signatureFile.fileName().toStdString() + " is larger than a signature");
    }
    const auto digest = digestOfFile(path);
    if (!digest) {
        return refuse("cannot read " + path.toStdString() + " as a regular file");
    }
    if (auto problem = signatureProblem(key, text.toStdString(), *digest)) {
        return refuse(printable(*problem));
    }
    std::cout << "valid\n";
    return Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        return usage();
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("--help") && args.isEmpty()) {
        return usage(std::cout, Ok);
    }
    if (command == QLatin1String("make")) {
        return make(args);
    }
    if (command == QLatin1String("show") && args.size() == 1) {
        return show(args.first());
    }
    if (command == QLatin1String("check") && args.size() == 1) {
        return check(args.first(), std::nullopt);
    }
    if ((command == QLatin1String("check") || command == QLatin1String("verify")) &&
        args.size() == 3 && args[0] == QLatin1String("--key")) {
        const auto key = keyArgument(args[1]);
        if (!key) {
            return Problem;
        }
        return command == QLatin1String("check") ? check(args[2], key) : verify(*key, args[2]);
    }
    return usage();
}
