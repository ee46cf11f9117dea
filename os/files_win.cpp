// Files on Windows. Names are handed to the wide-character calls, so any name NTFS takes
// works; nothing is followed through a symbolic link or a junction where the updater writes
// or reads a file it will start.

#include "os/files.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace files {

namespace {

constexpr int RenameAttempts = 30;
constexpr DWORD RenamePauseMs = 50;

HANDLE handleOf(std::intptr_t handle)

{
    return reinterpret_cast<HANDLE>(handle);
}

std::string systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : displayText(fs::path(message));
}

bool nameTaken(DWORD error)
{
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

Failure failure(const fs::path &path, DWORD error)
{
    return {nameTaken(error) ? Fault::NameTaken : Fault::System,
            displayText(path) + ": " + systemMessage(error)};
}

Failure renameFailure(const fs::path &from, const fs::path &to, DWORD error)
{
    return {nameTaken(error) ? Fault::NameTaken : Fault::System,
            "cannot rename " + displayText(from) + " to " + displayText(to) + ": " +
                systemMessage(error)};
}

// The file's 128-bit ID where the file system has one (NTFS, ReFS); its 64-bit index otherwise.
std::optional<Identity> identityOf(HANDLE handle)
{
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        Identity identity;
        identity.device = id.VolumeSerialNumber;
        std::memcpy(&identity.file, id.FileId.Identifier, 8);
        std::memcpy(&identity.fileHigh, id.FileId.Identifier + 8, 8);
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return std::nullopt;
    }
    return Identity{std::uint64_t(info.dwVolumeSerialNumber),
                    std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// A link or a junction: a reparse point that names another file. Others (cloud placeholders,
// deduplicated files) hold the file's own data and are read as files.
bool isNameSurrogate(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
           ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsReparseTagNameSurrogate(tag.ReparseTag));
}

bool isReparsePoint(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

Status File::writeAll(std::span<const std::byte> bytes)
{
    const std::size_t wanted = bytes.size();
    while (!bytes.empty()) {
        const DWORD piece = DWORD(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handleOf(m_handle), bytes.data(), piece, &written, nullptr) ||
            written == 0) {
            const DWORD error = GetLastError();
            return Failure{Fault::System, written == 0 && error == ERROR_SUCCESS
                                              ? "only " + std::to_string(wanted - bytes.size()) +
                                                    " of " + std::to_string(wanted) +
                                                    " bytes could be written"
                                              : systemMessage(error)};
        }
        bytes = bytes.subspan(written);
    }
    return Success{};
}

std::ptrdiff_t File::read(std::span<std::byte> buffer)
{
    DWORD count = 0;
    const DWORD wanted = DWORD(std::min<std::size_t>(buffer.size(), 1u << 30));
    if (!ReadFile(handleOf(m_handle), buffer.data(), wanted, &count, nullptr)) {
        return -1;
    }
    return std::ptrdiff_t(count);
}

Status File::truncate()
{
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handleOf(m_handle), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(handleOf(m_handle))) {
        return Failure{Fault::System, systemMessage(GetLastError())};
    }
    return Success{};
}

Identity File::identity() const
{
    return identityOf(handleOf(m_handle)).value_or(Identity{});
}

std::uint64_t File::links() const
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handleOf(m_handle), &info) ? info.nNumberOfLinks : 0;
}

std::int64_t File::size() const
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(handleOf(m_handle), &size) ? std::int64_t(size.QuadPart) : -1;
}

void File::close()
{
    if (isOpen()) {
        CloseHandle(handleOf(std::exchange(m_handle, Closed)));
    }
}

Result<File> createNew(const fs::path &path)
{
    // CREATE_NEW fails on anything at the name, a link or junction included; a dangling one is
    // not followed to create its target either.
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failure(path, GetLastError());
    }
    return File(reinterpret_cast<std::intptr_t>(handle));
}

Result<File> openExisting(const fs::path &path, bool write)
{
    // The reparse point itself is opened, never what it points to; a pipe or device name is
    // not a disk file.
    const DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle =
        CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder is refused as access denied: named for what it is.
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Failure{Fault::NotRegular, displayText(path) + " is a folder"};
        }
        return failure(path, error);
    }
    File file(reinterpret_cast<std::intptr_t>(handle));
    FILE_STANDARD_INFO standard{};
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory || isNameSurrogate(handle)) {
        return Failure{Fault::NotRegular, displayText(path) + " is not a regular file"};
    }
    if (isReparsePoint(handle)) {
        // A placeholder of a sync or deduplication service: the same file, opened again by its
        // handle (not by its name), so that its service supplies the data.
        const HANDLE data = ReOpenFile(handle, access, FILE_SHARE_READ, 0);
        if (data == INVALID_HANDLE_VALUE) {
            return failure(path, GetLastError());
        }
        return File(reinterpret_cast<std::intptr_t>(data));
    }
    return file;
}

Result<File> openRegular(const fs::path &path)
{
    return openExisting(path, false);
}

Result<File> openToContinue(const fs::path &path)
{
    return openExisting(path, true);
}

std::optional<Identity> identityAt(const fs::path &path)
{
    const HANDLE handle = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const auto identity = identityOf(handle);
    CloseHandle(handle);
    return identity;
}

bool writableInPlace(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
                           FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool removeFile(const fs::path &path)
{
    // DeleteFileW removes a file or a link to one, never a directory or what a link names.
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ||
           GetLastError() == ERROR_PATH_NOT_FOUND;
}

Status renameOver(const fs::path &from, const fs::path &to)
{
    // A virus scanner opens a new file for a moment, and a rename meanwhile fails as shared:
    // tried again for up to a second and a half before it counts as failed.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return Success{};
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            attempt == RenameAttempts) {
            return renameFailure(from, to, error);
        }
        Sleep(RenamePauseMs);
    }
}

Status renameNew(const fs::path &from, const fs::path &to)
{
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) {
        return Success{};
    }
    return renameFailure(from, to, GetLastError());
}

bool markFromInternet(const fs::path &file, std::string_view address)
{
    fs::path stream = file;
    stream += L":Zone.Identifier";
    const HANDLE handle = CreateFileW(stream.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::string text =
        "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + std::string(address) + "\r\n";
    DWORD written = 0;
    const bool ok = WriteFile(handle, text.data(), DWORD(text.size()), &written, nullptr) &&
                    written == text.size();
    return CloseHandle(handle) && ok;
}

Folder fallbackFolder()
{
    // A folder of the updater's own, private to the user. Not Downloads: drive-by downloads
    // plant DLLs there, which a setup started from that folder may load.
    wchar_t *folder = nullptr;
    Folder result{{}, true};
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder) == S_OK) {
        result.path = fs::path(folder) / L"Kolup" / L"Updates";
    }
    CoTaskMemFree(folder);
    return result;
}

namespace {

// The name the file system itself keeps for a folder: long names, links resolved, its own
// spelling. Empty when it cannot be opened.
std::wstring finalName(const fs::path &dir)
{
    const HANDLE handle = CreateFileW(dir.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::wstring name(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, name.data(), DWORD(name.size()), 0);
    if (length >= name.size()) {
        name.resize(length);
        length = GetFinalPathNameByHandleW(handle, name.data(), DWORD(name.size()), 0);
    }
    CloseHandle(handle);
    name.resize(length < name.size() ? length : 0);
    return name;
}

} // namespace

bool installedForAllUsers(const fs::path &dir)
{
    const std::wstring folder = finalName(dir);
    if (folder.empty()) {
        return false;
    }
    for (const KNOWNFOLDERID &id : {FOLDERID_ProgramFiles, FOLDERID_ProgramFilesX86}) {
        wchar_t *known = nullptr;
        std::wstring root;
        if (SHGetKnownFolderPath(id, 0, nullptr, &known) == S_OK) {
            root = finalName(known);
        }
        CoTaskMemFree(known);
        // Within it: both names as the file system keeps them, so the same folder is the same
        // letters, up to a separator or the end.
        if (!root.empty() && folder.starts_with(root) &&
            (folder.size() == root.size() || folder[root.size()] == L'\\')) {
            return true;
        }
    }
    return false;
}

fs::path programPath()
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
        if (length == 0) {
            return {};
        }
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

fs::path systemRoot()
{
    // The system drive's root: C:\ on almost every machine.
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length >= 3 && windows[1] == L':') {
        return std::wstring(windows, 3);
    }
    return L"C:\\";
}

const filenames::System nameRules = filenames::System::Windows;

std::optional<std::u32string> decodeSystemText(std::string_view bytes)
{
    // Decoded whole by the code page, never judged byte by byte: in a double-byte code page
    // the second byte of a character may be 0x5C, a backslash on its own.
    if (bytes.empty()) {
        return std::u32string();
    }
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(),
                                           int(bytes.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), wide.data(),
                        length);
    std::u32string text;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char32_t unit = wide[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            text += 0x10000 + ((unit - 0xD800) << 10) + (char32_t(wide[++i]) - 0xDC00);
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return std::nullopt;
        } else {
            text += unit;
        }
    }
    return text;
}

fs::path pathFromSystemText(std::string_view bytes)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring wide(std::size_t(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), wide.data(), length);
    return wide;
}

std::string displayText(const fs::path &path)
{
    const std::wstring &wide = path.native();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(std::size_t(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), length, nullptr,
                        nullptr);
    return text;
}

std::optional<std::string> systemText(const fs::path &path)
{
    // Only what the code page holds exactly: no best-fit letter standing in for another.
    const std::wstring &wide = path.native();
    if (wide.empty()) {
        return std::string();
    }
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                           int(wide.size()), nullptr, 0, nullptr, &lossy);
    if (length <= 0 || lossy) {
        return std::nullopt;
    }
    std::string bytes(std::size_t(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), bytes.data(),
                        length, nullptr, nullptr);
    return bytes;
}

bool sameFileName(std::string_view a, std::string_view b)
{
    // NTFS compares names without regard to letter case.
    const std::wstring wideA = pathFromSystemText(a).native();
    const std::wstring wideB = pathFromSystemText(b).native();
    return CompareStringOrdinal(wideA.data(), int(wideA.size()), wideB.data(), int(wideB.size()),
                                TRUE) == CSTR_EQUAL;
}

} // namespace files
