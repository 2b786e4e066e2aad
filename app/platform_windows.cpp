#include "app/platform.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Paths are passed to the ...A calls as they are: the application manifest makes UTF-8 the
// process code page, so any name opens.
namespace doz2era {
namespace {

HANDLE handleOf(const FileHandle& file) {
    return reinterpret_cast<HANDLE>(file.native);
}

// One ReadFile or WriteFile moves at most this much (its count is a DWORD).
constexpr DWORD kMaxCall = DWORD{1} << 30;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Names createFileBeside tries before it gives up: a name is taken only by a file made in between.
constexpr int kNameAttempts = 100;

// Writes all `size` bytes at `at` to `handle`, as many calls as it takes; false if one fails.
bool writeAllTo(HANDLE handle, const void* at, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(at);
    while (size > 0) {
        const DWORD want = size < kMaxCall ? static_cast<DWORD>(size) : kMaxCall;
        DWORD put = 0;
        if (!::WriteFile(handle, bytes, want, &put, nullptr) || put == 0) {
            return false;
        }
        bytes += put;
        size -= put;
    }
    return true;
}

HANDLE standardOutputHandle() {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(1));
}

} // namespace

FileHandle::~FileHandle() {
    if (isOpen()) {
        ::CloseHandle(handleOf(*this));
    }
}

SourceStatus openSource(const char* path, FileHandle& file, std::uint64_t& size) {
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS: "can not open", as before.
    const HANDLE handle = ::CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return SourceStatus::CannotOpen;
    }
    file.native = reinterpret_cast<std::intptr_t>(handle);
    // Only a disk file has a size to trust: a device (NUL, CON, COM1, in any folder and with any
    // extension) or a pipe has none.
    LARGE_INTEGER bytes{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &bytes) ||
        bytes.QuadPart < 0) {
        return SourceStatus::CannotRead;
    }
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return SourceStatus::Opened;
}

bool readAt(const FileHandle& file, std::uint64_t offset, std::span<std::uint8_t> into) {
    std::uint8_t* at = into.data();
    std::size_t left = into.size();
    while (left > 0) {
        // On a handle opened without FILE_FLAG_OVERLAPPED the offset in OVERLAPPED positions the
        // read and the call waits for it.
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(offset);
        position.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = left < kMaxCall ? static_cast<DWORD>(left) : kMaxCall;
        DWORD got = 0;
        // 0 bytes: the file ends before the bytes asked for (it shrank since its size was taken).
        if (!::ReadFile(handleOf(file), at, want, &got, &position) || got == 0) {
            return false;
        }
        at += got;
        left -= got;
        offset += got;
    }
    return true;
}

bool openDestination(const char* path, FileHandle& file) {
    // OPEN_ALWAYS: created if missing, but not truncated before this run holds the lock.
    const HANDLE handle = ::CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    file.native = reinterpret_cast<std::intptr_t>(handle);
    // A device (NUL) has nothing to lock or truncate.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return true;
    }
    // Waits while another run writes this destination: the whole range, from offset 0 on.
    OVERLAPPED whole{};
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        return false;
    }
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle);
}

// Nothing is set aside on Windows: NTFS allocates as the writes arrive.
void reserveSpace(const FileHandle&, std::uint64_t) {}

void releaseUnwritten(const FileHandle&) {}

bool writeAll(const FileHandle& file, std::span<const std::uint8_t> bytes) {
    return writeAllTo(handleOf(file), bytes.data(), bytes.size());
}

bool closeFile(FileHandle& file) {
    const HANDLE handle = handleOf(file);
    file.native = FileHandle::kClosed;
    // Closing releases a lock only some time later: let the next run in at once.
    OVERLAPPED whole{};
    static_cast<void>(::UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole));
    return ::CloseHandle(handle) != 0;
}

bool sameFile(const char* first, const char* second) {
    std::error_code error;
    return std::filesystem::equivalent(first, second, error) && !error;
}

std::string lastErrorText() {
    const DWORD code = ::GetLastError();
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    ::LocalFree(text);
    // The system's texts end in ".\r\n" and may hold line breaks: one line, as POSIX gives it.
    for (char& c : result) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    while (!result.empty() && (result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

bool currentSize(const FileHandle& file, std::uint64_t& size) {
    LARGE_INTEGER bytes{};
    if (!::GetFileSizeEx(handleOf(file), &bytes) || bytes.QuadPart < 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

bool isSpecialFile(const char* path) {
    // No access asked for: only the kind of file. FILE_FLAG_BACKUP_SEMANTICS opens a folder too.
    FileHandle probe;
    const HANDLE handle = ::CreateFileA(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    probe.native = reinterpret_cast<std::intptr_t>(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileType(handle) != FILE_TYPE_DISK ||
           !::GetFileInformationByHandle(handle, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createFileBeside(const char* destination, const char* prefix, FileHandle& file,
                      std::string& path) {
    // The folder ends at the last separator, or after the drive of a name like "C:picture.bmp".
    const std::string_view whole{destination};
    const std::size_t separator = whole.find_last_of("/\\:");
    const std::string folder{separator == std::string_view::npos ? std::string_view{}
                                                                 : whole.substr(0, separator + 1)};
    std::random_device source;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char part[16];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
        std::string name = folder + prefix + part;
        // CREATE_NEW fails if the name is taken, so no other file is ever opened.
        const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.native = reinterpret_cast<std::intptr_t>(handle);
            path = std::move(name);
            return true;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            return false;
        }
    }
    return false;
}

bool replaceFile(const char* from, const char* to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool removeFile(const char* path) {
    return ::DeleteFileA(path) != 0;
}

void useBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool openStandardOutput(FileHandle& file) {
    const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return false;
    }
    file.native = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool outputIsTerminal() {
    // A console answers GetConsoleMode; a pipe, a file or NUL (which _isatty takes for a
    // terminal) does not.
    DWORD mode = 0;
    return ::GetConsoleMode(standardOutputHandle(), &mode) != 0;
}

void writeOutput(std::string_view text) {
    // Straight to the handle: no C runtime translation of "\n" stands in the way.
    static_cast<void>(writeAllTo(standardOutputHandle(), text.data(), text.size()));
}

} // namespace doz2era
