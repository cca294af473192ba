#include "LiveFile.h"

#include <algorithm>

namespace {

u64 identityFrom(const BY_HANDLE_FILE_INFORMATION& info) {
    return ((static_cast<u64>(info.nFileIndexHigh) << 32) | info.nFileIndexLow) + 1;
}

u64 sizeFrom(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<u64>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

}  // namespace

bool LiveFile::open(const std::string& path) {
    close();
    // Appending data without FILE_WRITE_DATA is what makes the system put each write at the end of the file; the
    // runtime's append mode only moves there before writing, so two processes could overwrite each other's lines.
    // Shared as the runtime shares a file it opens: another agent may append, nobody may remove it meanwhile.
    m_handle = CreateFileA(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (m_handle == INVALID_HANDLE_VALUE) return false;
    m_path = path;
    return true;
}

void LiveFile::close() {
    if (m_handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

long long LiveFile::write(const char* data, size_t size) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!WriteFile(m_handle, data, chunk, &written, NULL)) return written > 0 ? static_cast<long long>(written) : -1;
    return static_cast<long long>(written);
}

bool LiveFile::offsetAfterWrite(u64& offset) const {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER at;
    if (!SetFilePointerEx(m_handle, zero, &at, FILE_CURRENT)) return false;
    offset = static_cast<u64>(at.QuadPart);
    return true;
}

bool LiveFile::state(State& out) const {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(m_handle, &info)) return false;
    out.size = sizeFrom(info);
    out.identity = identityFrom(info);
    out.removed = info.nNumberOfLinks == 0;
    return true;
}

bool LiveFile::cut(u64 size) {
    BY_HANDLE_FILE_INFORMATION live;
    if (!GetFileInformationByHandle(m_handle, &live)) return false;
    HANDLE writer = CreateFileA(m_path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (writer == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION named;
    bool cut = false;
    if (GetFileInformationByHandle(writer, &named) && named.dwVolumeSerialNumber == live.dwVolumeSerialNumber &&
        identityFrom(named) == identityFrom(live)) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size);
        cut = SetFilePointerEx(writer, at, NULL, FILE_BEGIN) && SetEndOfFile(writer);
    }
    CloseHandle(writer);
    return cut;
}

bool LiveFile::readAt(u64 from, size_t size, std::string& out) const {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(from + done);
        at.OffsetHigh = static_cast<DWORD>((from + done) >> 32);
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!ReadFile(m_handle, out.data() + done, chunk, &got, &at) || got == 0) break;
        done += got;
    }
    out.resize(done);
    return done == size;
}

u64 LiveFile::identityOf(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const u64 identity = GetFileInformationByHandle(file, &info) ? identityFrom(info) : 0;
    CloseHandle(file);
    return identity;
}
