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
#include <utility>

namespace files {

namespace {

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

std::string reason(const fs::path &path, DWORD error)
{
    return displayText(path) + ": " + systemMessage(error);
}

bool describe(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return GetFileInformationByHandle(handle, &info) != 0;
}

Identity identityOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return {std::uint64_t(info.dwVolumeSerialNumber),
            std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

} // namespace

bool File::writeAll(std::span<const std::byte> bytes, std::string &why)
{
    const std::size_t wanted = bytes.size();
    while (!bytes.empty()) {
        const DWORD piece = DWORD(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handleOf(m_handle), bytes.data(), piece, &written, nullptr) ||
            written == 0) {
            const DWORD error = GetLastError();
            why = written == 0 && error == ERROR_SUCCESS
                      ? "only " + std::to_string(wanted - bytes.size()) + " of " +
                            std::to_string(wanted) + " bytes could be written"
                      : systemMessage(error);
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
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

Identity File::identity() const
{
    BY_HANDLE_FILE_INFORMATION info{};
    return describe(handleOf(m_handle), info) ? identityOf(info) : Identity{};
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

File createNew(const fs::path &path, std::string &why)
{
    // CREATE_NEW fails on anything at the name, a link or junction included.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = reason(path, GetLastError());
        return {};
    }
    return File(reinterpret_cast<std::intptr_t>(handle));
}

File openRegular(const fs::path &path, std::string &why)
{
    // The reparse point itself is opened, never what it points to; a pipe or device name is
    // not a disk file.
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = reason(path, GetLastError());
        return {};
    }
    File file(reinterpret_cast<std::intptr_t>(handle));
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !describe(handle, info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        why = displayText(path) + " is not a regular file";
        return {};
    }
    return file;
}

std::optional<Identity> identityAt(const fs::path &path)
{
    const HANDLE handle = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = describe(handle, info);
    CloseHandle(handle);
    if (!known) {
        return std::nullopt;
    }
    return identityOf(info);
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

bool renameOver(const fs::path &from, const fs::path &to, std::string &why)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        why = "cannot rename " + displayText(from) + " to " + displayText(to) + ": " +
              systemMessage(GetLastError());
        return false;
    }
    return true;
}

Renamed renameNew(const fs::path &from, const fs::path &to, std::string &why)
{
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) {
        return Renamed::Done;
    }
    const DWORD error = GetLastError();
    why = "cannot rename " + displayText(from) + " to " + displayText(to) + ": " +
          systemMessage(error);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Renamed::NameTaken
                                                                       : Renamed::Failed;
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

bool isSystemText(std::string_view bytes)
{
    // Names from the network are in the system's ANSI code page; a byte it does not map is
    // not a name.
    if (bytes.empty()) {
        return true;
    }
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                               nullptr, 0) > 0;
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

bool sameFileName(std::string_view a, std::string_view b)
{
    // NTFS compares names without regard to letter case.
    const std::wstring wideA = pathFromSystemText(a).native();
    const std::wstring wideB = pathFromSystemText(b).native();
    return CompareStringOrdinal(wideA.data(), int(wideA.size()), wideB.data(), int(wideB.size()),
                                TRUE) == CSTR_EQUAL;
}

} // namespace files
