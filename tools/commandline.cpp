#include "tools/commandline.h"

#include "os/files.h"
#include "update/binding.h"
#include "update/setupname.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace command {

namespace {

constexpr std::size_t LongestUrl = SetupUrlSize - 2; // room for the two padding spaces

// Options, numbers, days and keys are ASCII; anything else is not one of them.
std::optional<std::string> ascii(const Argument &argument)
{
    std::string text;
    for (const auto c : argument) {
        using Unit = std::make_unsigned_t<Argument::value_type>;
        if (static_cast<Unit>(c) > 0x7F) {
            return std::nullopt;
        }
        text += char(c);
    }
    return text;
}

bool is(const Argument &argument, std::string_view word)
{
    return ascii(argument) == word;
}

template <typename T> std::optional<T> number(const Argument &argument)
{
    const auto text = ascii(argument);
    T value{};
    if (!text || text->empty()) {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) {
        return std::nullopt;
    }
    return value;
}

Refusal problem(std::string why)
{
    return {Problem, std::move(why)};
}

std::optional<std::vector<PublicKey>> keys(const Argument &argument)
{
    const auto text = ascii(argument);
    return text ? PublicKey::parseList(*text) : std::nullopt;
}

const std::string NotAKey = "the key is not the base64 line of a minisign public key, or several "
                            "separated by spaces";

Request make(std::span<const Argument> args)
{
    std::optional<float> version;
    std::optional<std::string> url;
    Make request;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            return Refusal{};
        }
        const Argument &option = args[i];
        const Argument &value = args[i + 1];
        if (is(option, "--version")) {
            version = number<float>(value);
            if (!version) {
                return problem("the version is not a number: " + shown(value));
            }
        } else if (is(option, "--url")) {
            url = files::systemText(value);
            if (!url) {
                return problem("the url has characters this system's code page does not hold: " +
                               shown(value));
            }
        } else if (is(option, "--size")) {
            request.size = number<std::int64_t>(value);
            if (!request.size) {
                return problem("the size is not a whole number: " + shown(value));
            }
        } else if (is(option, "--file")) {
            request.setupFile = std::filesystem::path(value);
        } else if (is(option, "-o")) {
            request.output = std::filesystem::path(value);
        } else {
            return Refusal{};
        }
    }
    if (!version || !url || request.size.has_value() == request.setupFile.has_value()) {
        return Refusal{};
    }
    request.version = *version;
    request.url = std::move(*url);
    return request;
}

Request comment(std::span<const Argument> args, std::chrono::sys_days today)
{
    std::optional<std::filesystem::path> file;
    Comment request;
    if (args.size() % 2 != 0) {
        return Refusal{};
    }
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (is(args[i], "--file")) {
            file = std::filesystem::path(args[i + 1]);
        } else if (is(args[i], "--expires")) {
            const auto text = ascii(args[i + 1]);
            request.expires = text ? parseDay(*text) : std::nullopt;
            if (!request.expires) {
                return problem("the expiry is not a date as YYYY-MM-DD: " + shown(args[i + 1]));
            }
            if (*request.expires < today) {
                return problem("the expiry date has passed");
            }
        } else {
            return Refusal{};
        }
    }
    if (!file) {
        return Refusal{};
    }
    request.setupFile = std::move(*file);
    return request;
}

} // namespace

std::string shown(const Argument &argument)
{
    return escapedText(files::displayText(std::filesystem::path(argument)));
}

Request parse(std::span<const Argument> all, std::chrono::sys_days today)
{
    if (all.empty()) {
        return Refusal{};
    }
    const Argument &name = all.front();
    const std::span<const Argument> args = all.subspan(1);
    if (is(name, "--help") && args.empty()) {
        return Help{};
    }
    if (is(name, "make")) {
        return make(args);
    }
    if (is(name, "show") && args.size() == 1) {
        return Show{is(args[0], "-") ? std::nullopt
                                     : std::optional(std::filesystem::path(args[0]))};
    }
    if (is(name, "comment")) {
        return comment(args, today);
    }
    const bool check = is(name, "check");
    if (check && args.size() == 1) {
        const auto address = files::systemText(args[0]);
        return address ? Request(Check{*address, std::nullopt})
                       : problem("the address cannot be written in this system's code page");
    }
    if ((check || is(name, "verify")) && args.size() == 3 && is(args[0], "--key")) {
        auto parsed = keys(args[1]);
        if (!parsed) {
            return problem(NotAKey);
        }
        if (!check) {
            return Verify{std::move(*parsed), std::filesystem::path(args[2])};
        }
        const auto address = files::systemText(args[2]);
        return address ? Request(Check{*address, std::move(parsed)})
                       : problem("the address cannot be written in this system's code page");
    }
    return Refusal{};
}

Result<UpdateInfo> record(float version, std::string_view url, std::int64_t size)
{
    const auto refused = [](std::string why) { return Failure{Fault::Refused, std::move(why)}; };
    if (url.size() > LongestUrl) {
        return refused("the url is " + std::to_string(url.size()) + " characters; at most " +
                       std::to_string(LongestUrl) + " fit the record");
    }
    if (size <= 0 || size > std::numeric_limits<std::int32_t>::max()) {
        return refused("the size must be from 1 to " +
                       std::to_string(std::numeric_limits<std::int32_t>::max()) + " bytes");
    }
    UpdateInfo info;
    info.Version = version;
    std::copy(url.begin(), url.end(), info.SetupUrl.begin());
    info.SetupSize = std::int32_t(size);
    if (const auto problems = recordProblems(info); !problems.empty()) {
        return refused("the updater would refuse this record: " + problems.front());
    }
    if (std::isnan(version)) {
        return refused("the updater would refuse this record: the version is not a number; the "
                       "updater never offers it");
    }
    return info;
}

} // namespace command
