// Files opened as handles: CreateFileA and the calls on its handles, over a POSIX descriptor.
#include "internal.h"

#include <platform/paths.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::detail {
namespace {

constexpr DWORD kWriteAccess = GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kReadAccess = GENERIC_READ | FILE_READ_DATA;

class FileHandle final : public KernelObject {
public:
    FileHandle(int fd, DWORD access) : fd(fd), access(access) {}
    ~FileHandle() override { ::close(fd); }
    DWORD wait(DWORD) override { return WAIT_OBJECT_0; }  // synchronous: no I/O is ever pending
    bool writesData() const { return (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0; }
    const int fd;
    const DWORD access;
};

// Runs `fn` on the file behind `handle`; FALSE with ERROR_INVALID_HANDLE when it is none.
template <class Fn>
BOOL withFile(HANDLE handle, Fn fn) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    auto* file = dynamic_cast<FileHandle*>(object);
    BOOL result = FALSE;
    if (file) {
        result = fn(*file);
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    release(object);
    return result;
}

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags, HANDLE) {
    const std::string native = platform::nativePath(path ? path : "");
    int openFlags = O_CLOEXEC;
    const bool reads = (access & kReadAccess) != 0, writes = (access & kWriteAccess) != 0;
    if (reads && writes) {
        openFlags |= O_RDWR;
    } else if (writes) {
        openFlags |= O_WRONLY;
    } else if (reads) {
        openFlags |= O_RDONLY;
    } else {
        openFlags |= O_PATH;  // attributes only: opens anything, a pipe nobody writes included, without waiting
    }
    // Appending alone: the system writes at the end whatever the file pointer.
    if ((access & FILE_APPEND_DATA) && !(access & (GENERIC_WRITE | FILE_WRITE_DATA))) openFlags |= O_APPEND;
    struct stat st;
    const bool existed = ::stat(native.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    switch (disposition) {
        case CREATE_NEW: openFlags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: openFlags |= O_CREAT | O_TRUNC; break;
        case OPEN_EXISTING: break;
        case OPEN_ALWAYS: openFlags |= O_CREAT; break;
        case TRUNCATE_EXISTING: openFlags |= O_TRUNC; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    if ((openFlags & O_PATH) && (openFlags & O_CREAT)) {
        // A handle for attributes alone still creates the file.
        const int made = ::open(native.c_str(), (openFlags & ~O_PATH) | O_RDONLY, 0666);
        if (made >= 0) ::close(made);
        openFlags &= ~(O_CREAT | O_EXCL | O_TRUNC);
    }
    const int fd = ::open(native.c_str(), openFlags, 0666);
    if (fd < 0) {
        if (errno == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
        } else {
            failFromErrno(false);
        }
        return INVALID_HANDLE_VALUE;
    }
    const bool reportsExisting = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return publish(new FileHandle(fd, access));
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    return withFile(handle, [&](FileHandle& file) -> BOOL {
        if (!(file.access & kWriteAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        for (;;) {
            ssize_t n;
            if (overlapped) {  // on a descriptor that appends, Linux's pwrite appends too
                const off_t at = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                                    overlapped->Offset);
                n = ::pwrite(file.fd, buffer, bytes, at);
            } else {
                n = ::write(file.fd, buffer, bytes);
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failFromErrno(false);
            if (written) *written = static_cast<DWORD>(n);
            // Windows fails a write the disk has no room for; the bytes that went are still counted.
            if (static_cast<DWORD>(n) < bytes && bytes > 0) {
                SetLastError(ERROR_DISK_FULL);
                return n > 0 ? TRUE : FALSE;
            }
            return TRUE;
        }
    });
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    return withFile(handle, [&](FileHandle& file) -> BOOL {
        if (!(file.access & kReadAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        for (;;) {
            ssize_t n;
            if (overlapped) {
                const off_t at = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                                    overlapped->Offset);
                n = ::pread(file.fd, buffer, bytes, at);
            } else {
                n = ::read(file.fd, buffer, bytes);
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failFromErrno(false);
            if (read) *read = static_cast<DWORD>(n);
            return TRUE;
        }
    });
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPointer, DWORD moveMethod) {
    return withFile(handle, [&](FileHandle& file) -> BOOL {
        const int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR
                           : moveMethod == FILE_END ? SEEK_END : -1;
        if (whence < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const off_t at = ::lseek(file.fd, static_cast<off_t>(distance.QuadPart), whence);
        if (at < 0) {
            SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (newPointer) newPointer->QuadPart = static_cast<LONGLONG>(at);
        return TRUE;
    });
}

BOOL SetEndOfFile(HANDLE handle) {
    return withFile(handle, [&](FileHandle& file) -> BOOL {
        if (!file.writesData()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        const off_t at = ::lseek(file.fd, 0, SEEK_CUR);
        if (at < 0 || ::ftruncate(file.fd, at) != 0) return failFromErrno(false);
        return TRUE;
    });
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    return withFile(handle, [&](FileHandle& file) -> BOOL {
        struct stat st;
        if (::fstat(file.fd, &st) != 0) return failFromErrno(false);
        *information = BY_HANDLE_FILE_INFORMATION{};
        information->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        information->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        information->nFileSizeLow = static_cast<DWORD>(size);
        information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
        const uint64_t index = static_cast<uint64_t>(st.st_ino);
        information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
        information->nFileIndexLow = static_cast<DWORD>(index);
        return TRUE;
    });
}
