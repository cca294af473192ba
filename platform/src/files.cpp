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

unsigned char foldCase(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Windows' wildcards in the last part of a search pattern, without regard to case: '*' any run of characters, '?'
// any one character; "*.*" also takes names without a dot.
bool matchesPattern(const char* pattern, const char* name) {
    if (std::strcmp(pattern, "*") == 0 || std::strcmp(pattern, "*.*") == 0) return true;
    const char* star = nullptr;  // the last '*' seen, and the name position it is matched up to
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern && foldCase(*pattern) == foldCase(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

// A directory listing; waiting on it is not meaningful. It fills the name and the attributes, as the programs read
// them; the size fields stay 0, which saves a stat of every entry.
class FindHandle final : public KernelObject {
public:
    FindHandle(DIR* dir, std::string pattern) : m_dir(dir), m_pattern(std::move(pattern)) {}
    ~FindHandle() override { closedir(m_dir); }
    DWORD wait(DWORD) override { return WAIT_FAILED; }

    // Fills the next entry that matches the pattern; false with ERROR_NO_MORE_FILES at the end.
    bool next(WIN32_FIND_DATAA* data) {
        for (;;) {
            errno = 0;
            const dirent* entry = readdir(m_dir);
            if (!entry) {
                SetLastError(errno ? win32FromErrno(errno, true) : ERROR_NO_MORE_FILES);
                return false;
            }
            if (!matchesPattern(m_pattern.c_str(), entry->d_name)) continue;
            std::memset(data, 0, sizeof(*data));
            std::strncpy(data->cFileName, entry->d_name, MAX_PATH - 1);
            data->dwFileAttributes = isFolder(*entry) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
            return true;
        }
    }

private:
    // The entry's type as the directory records it; only a file system that does not record it, or a symbolic
    // link (listed as what it points to), costs a stat.
    bool isFolder(const dirent& entry) {
        if (entry.d_type == DT_DIR) return true;
        if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) return false;
        struct stat st;
        return fstatat(dirfd(m_dir), entry.d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }

    DIR* m_dir;
    std::string m_pattern;
};

}  // namespace
}  // namespace platform::detail

using namespace platform::detail;

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    const std::string path = pattern ? pattern : "";
    const size_t separator = path.find_last_of("\\/");
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string folder = ".";
    if (separator != std::string::npos) {
        folder = separator == 0 ? "/" : platform::nativePath(path.substr(0, separator));
    }
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        SetLastError(win32FromErrno(errno, true));
        return INVALID_HANDLE_VALUE;
    }
    auto* find = new FindHandle(dir, name);
    if (!find->next(data)) {  // nothing matches: Windows reports it as file not found
        const DWORD error = GetLastError();
        delete find;
        SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
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
