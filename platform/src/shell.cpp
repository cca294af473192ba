// The shell's folder lookup and path helper, the message box, and the injected folder-creation fault.
#include "internal.h"
#include "shell_internal.h"

#include <platform/paths.h>
#include <platform/testing.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace platform::detail {
namespace {

constexpr DWORD kNoFault = 0;

// The injected fault; the environment's value is taken once, at the first call of the process.
std::atomic<DWORD> g_createDirectoryFault{kNoFault};
std::once_flag g_faultFromEnvironment;

void readFaultFromEnvironment() {
    const char* value = std::getenv(platform_test::kFailNextCreateDirectoryEnv);
    if (!value || !*value) return;
    char* end = nullptr;
    const unsigned long error = std::strtoul(value, &end, 10);
    if (end && *end == '\0' && error != 0) g_createDirectoryFault.store(static_cast<DWORD>(error));
}

// One record a line: owner flag, type, caption, text, tab-separated; tabs, line ends and '\' escaped.
std::string escape(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p) {
        switch (*p) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += *p;
        }
    }
    return out;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

}  // namespace

bool makeFolders(const std::string& path) {
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        if (mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool takeCreateDirectoryFault(DWORD& error) {
    std::call_once(g_faultFromEnvironment, readFaultFromEnvironment);
    error = g_createDirectoryFault.exchange(kNoFault);
    return error != kNoFault;
}

std::string mapDrive(const std::string& path) {
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       (path.size() == 2 || path[2] == '/');
    if (!drive) return path;
    const char letter = static_cast<char>(path[0] >= 'A' && path[0] <= 'Z' ? path[0] - 'A' + 'a' : path[0]);
    return platform::standinRoot() + "/drive_" + letter + path.substr(2);
}

}  // namespace platform::detail

void platform_test::failNextCreateDirectory(DWORD error) {
    std::call_once(platform::detail::g_faultFromEnvironment, [] {});
    platform::detail::g_createDirectoryFault.store(error);
}

std::vector<platform_test::RecordedMessageBox> platform_test::readRecordedMessageBoxes(const std::string& path) {
    std::vector<RecordedMessageBox> boxes;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() != 4) continue;
        RecordedMessageBox box;
        box.hasOwner = fields[0] == "1";
        box.type = static_cast<UINT>(std::strtoul(fields[1].c_str(), nullptr, 10));
        box.caption = platform::detail::unescape(fields[2]);
        box.text = platform::detail::unescape(fields[3]);
        boxes.push_back(box);
    }
    return boxes;
}

HRESULT SHGetFolderPathA(HWND, int csidl, HANDLE, DWORD, LPSTR path) {
    if ((csidl & 0xFF) != CSIDL_COMMON_APPDATA || !path) return E_INVALIDARG;
    const char* folder = std::getenv(platform_test::kCommonAppDataEnv);
    if (!folder || !*folder || std::strlen(folder) >= MAX_PATH) return E_FAIL;
    if ((csidl & CSIDL_FLAG_CREATE) && !platform::detail::makeFolders(platform::nativePath(folder))) return E_FAIL;
    std::strcpy(path, folder);
    return S_OK;
}

BOOL PathAppendA(LPSTR path, LPCSTR more) {
    if (!path || !more) return FALSE;
    std::string joined = path;
    while (*more == '\\') ++more;
    if (!joined.empty() && joined.back() != '\\' && *more) joined += '\\';
    joined += more;
    if (joined.size() >= MAX_PATH) return FALSE;
    std::strcpy(path, joined.c_str());
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    const char* log = std::getenv(platform_test::kMessageBoxLogEnv);
    if (log && *log) {
        const std::string record = std::string(owner ? "1" : "0") + "\t" + std::to_string(type) + "\t" +
                                   platform::detail::escape(caption) + "\t" + platform::detail::escape(text) + "\n";
        // One append of the whole record: boxes of several processes never interleave.
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const ssize_t written = write(fd, record.data(), record.size());
            (void)written;
            close(fd);
        }
    }
    const char* hold = std::getenv(platform_test::kMessageBoxHoldMsEnv);
    if (hold && *hold) std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(hold, nullptr, 10)));
    return IDOK;
}
