#pragma once

#include "os/failure.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What a file name may be, judged on its characters once they are decoded from the system's
// encoding, never on raw bytes: in a double-byte code page the second byte of a character can
// be a backslash. The rules of both systems are plain functions, so either can be checked
// anywhere: the maker's tool warns on Linux about names Windows cannot hold.
namespace filenames {

enum class System { Posix, Windows };

// The most the updater adds to a setup's name for the files it derives from it: the aside copy
// of an older setup, ".old-" and up to ten digits (the side file adds ".part").
inline constexpr std::size_t DerivedSuffix = 15;
// The longest name a component may have: bytes on Linux, UTF-16 code units on Windows.
inline constexpr std::size_t LongestName = 255;

// Whether text can name a file the updater writes and starts on system; refused, the failure
// says why in words that follow "the name".
// Both systems refuse what reaches another folder or a device, control and direction-changing
// characters, and names whose derived names would be too long; Windows also refuses what it
// cannot hold or silently rewrites (< > " | ? *, a trailing dot or space) and the file types
// that start something other than the file itself (.lnk, .url, ...).
Status check(std::u32string_view text, System system);

// Strict UTF-8: whole, shortest sequences of code points in range; nothing otherwise.
std::optional<std::u32string> fromUtf8(std::string_view bytes);
std::string toUtf8(std::u32string_view text);

} // namespace filenames
