#include "internal.h"
#include "shell_internal.h"

#include <direct.h>
#include <platform/paths.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

std::string platform::nativePath(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return platform::detail::mapDrive(path);
}

int platform::runtimeRename(const char* from, const char* to) {
    const std::string source = nativePath(from), target = nativePath(to);
    int rc = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the no-replace flag: a hard link fails on an existing target just the same.
        rc = link(source.c_str(), target.c_str());
        if (rc == 0 && unlink(source.c_str()) != 0) {
            const int error = errno;
            unlink(target.c_str());
            errno = error;
            rc = -1;
        }
    }
    if (rc == 0) return 0;
    if (errno == EEXIST) errno = EACCES;
    return -1;
}

int _mkdir(const char* path) { return mkdir(platform::nativePath(path).c_str(), 0777); }

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    DWORD fault;
    if (platform::detail::takeCreateDirectoryFault(fault)) {
        SetLastError(fault);
        return FALSE;
    }
    if (mkdir(platform::nativePath(path).c_str(), 0777) != 0) return platform::detail::failFromErrno(true);
    return TRUE;
}

namespace platform::detail {
namespace {

// A directory listing; waiting on it is not meaningful.
class FindHandle final : public KernelObject {
public:
    FindHandle(DIR* dir, std::string folder) : m_dir(dir), m_folder(std::move(folder)) {}
    ~FindHandle() override { closedir(m_dir); }
    DWORD wait(DWORD) override { return WAIT_FAILED; }

    // Fills the next entry; false with ERROR_NO_MORE_FILES at the end.
    bool next(WIN32_FIND_DATAA* data) {
        errno = 0;
        dirent* entry = readdir(m_dir);
        if (!entry) {
            SetLastError(errno ? win32FromErrno(errno, true) : ERROR_NO_MORE_FILES);
            return false;
        }
        std::memset(data, 0, sizeof(*data));
        std::strncpy(data->cFileName, entry->d_name, MAX_PATH - 1);
        struct stat st;
        const std::string full = m_folder + "/" + entry->d_name;
        if (stat(full.c_str(), &st) == 0) {  // d_type can be DT_UNKNOWN
            data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
            const unsigned long long size = static_cast<unsigned long long>(st.st_size);
            data->nFileSizeLow = static_cast<DWORD>(size);
            data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        } else {
            data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
        return true;
    }

private:
    DIR* m_dir;
    std::string m_folder;
};

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    std::string path = pattern ? pattern : "";
    std::string folder;
    if (path == "*") {
        folder = ".";
    } else if (path.size() >= 2 && path.compare(path.size() - 2, 2, "\\*") == 0) {
        folder = platform::nativePath(path.substr(0, path.size() - 2));
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = opendir(folder.empty() ? "/" : folder.c_str());
    if (!dir) {
        SetLastError(win32FromErrno(errno, true));
        return INVALID_HANDLE_VALUE;
    }
    auto* find = new FindHandle(dir, folder);
    if (!find->next(data)) {  // an empty listing: Windows reports it as file not found
        delete find;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return publish(find);
}

BOOL FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    auto* find = dynamic_cast<FindHandle*>(object);
    const bool ok = find ? find->next(data) : (SetLastError(ERROR_INVALID_HANDLE), false);
    release(object);
    return ok ? TRUE : FALSE;
}

BOOL FindClose(HANDLE handle) { return CloseHandle(handle); }
