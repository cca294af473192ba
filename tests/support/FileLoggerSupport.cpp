#include "FileLoggerSupport.h"

#include "NativePath.h"
#include "Tweaks.h"

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <fstream>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HEAP_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HEAP_FROM_SANITIZER 1
#endif
#endif
#if defined(HEAP_FROM_SANITIZER)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(_WIN32)
#include <windows.h>
#else
#include <malloc.h>
#endif

namespace fs = std::filesystem;

LockHolder::LockHolder(IMutex& lock) {
    std::future<int> release = m_release.get_future();
    m_thread = std::thread([this, &lock, release = std::move(release)]() mutable {
        lock.lock();
        m_taken.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(release.get()));
        lock.unlock();
    });
    m_taken.get_future().wait();
}

LockHolder::~LockHolder() {
    if (!m_released) releaseAfter(0);
    m_thread.join();
}

void LockHolder::releaseAfter(int ms) {
    m_released = true;
    m_release.set_value(ms);
}

void setTweak(const std::string& name, const std::string& value) { Tweaks::instance()->update(name, value); }

LogFolder::LogFolder() : folder(uniqueName("logs")), base(folder + "\\log") { fs::create_directory(nativePath(folder)); }

std::vector<std::string> LogFolder::files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(nativePath(folder))) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string fileText(const std::string& windowsPath) {
    std::string text = readFile(nativePath(windowsPath));
    if (kTextModeAddsCarriageReturns) text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

unsigned long long fileSize(const std::string& windowsPath) { return fs::file_size(nativePath(windowsPath)); }

bool fileExists(const std::string& windowsPath) { return fs::exists(nativePath(windowsPath)); }

void makeFile(const std::string& windowsPath, const std::string& text, unsigned long long size) {
    {
        std::ofstream out(nativePath(windowsPath), std::ios::binary);
        out << text;
    }
    if (size > text.size()) fs::resize_file(nativePath(windowsPath), size);
}

// Bytes the process has taken from the heap and not returned; false where there is no such count.
bool heapInUse(size_t& bytes) {
#if defined(HEAP_FROM_SANITIZER)
    bytes = __sanitizer_get_current_allocated_bytes();
    return true;
#elif !defined(_WIN32)
    const struct mallinfo2 info = mallinfo2();
    bytes = info.uordblks + info.hblkhd;
    return true;
#else
    // Every heap of the process: the C runtime may keep its own.
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    if (count == 0 || count > 64) return false;
    bytes = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return true;
#endif
}
