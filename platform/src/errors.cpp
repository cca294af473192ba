#include "internal.h"

#include <cerrno>

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

namespace platform::detail {

DWORD win32FromErrno(int error, bool missingIsPath) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOENT: return missingIsPath ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM:
        case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EIO: return ERROR_WRITE_FAULT;
        default: return ERROR_INVALID_PARAMETER;
    }
}

BOOL failFromErrno(bool missingIsPath) {
    SetLastError(win32FromErrno(errno, missingIsPath));
    return FALSE;
}

}  // namespace platform::detail
