#include "FileLoggerSupport.h"

#include "NativePath.h"
#include "Tweaks.h"

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <fstream>

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
