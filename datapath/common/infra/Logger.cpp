#include "Logger.h"

#include "FatalStop.h"
#include "Timer.h"

#include <windows.h>

#include <iostream>

namespace {

const char* const kLevelNames[kLogLevelCount] = {"Assert", "Fatal", "Error", "Warn", "Info", "Debug", "Control", "Info"};
const char* const kComponentNames[kLogComponentCount] = {"Invalid", "TESK", "HULT", "NON"};

LogLevel clampLevel(LogLevel level) {
    return static_cast<u32>(level) < kLogLevelCount ? level : static_cast<LogLevel>(kLogLevelCount - 1);
}

LogComponent clampComponent(LogComponent component) {
    return static_cast<u32>(component) < kLogComponentCount ? component : LogComponent::Invalid;
}

bool flushesClients(LogLevel level) {
    return level == LogLevel::Assert || level == LogLevel::Fatal || level == LogLevel::Error;
}

}  // namespace

const char* logLevelName(LogLevel level) { return kLevelNames[static_cast<u32>(clampLevel(level))]; }

const char* logComponentName(LogComponent component) {
    return kComponentNames[static_cast<u32>(clampComponent(component))];
}

Logger::Logger() : m_asyncThreadNames("LoggerAsyncThreadNames"), m_threadNames("LoggerThreadNames") {}

void Logger::registerClient(LoggerClient* client, u32 mask) {
    {
        // The slot is claimed under the lock, so two threads registering at once never take the same one; the
        // count is raised only once the slot is stored, so a concurrent dispatch sees the old count or the
        // complete client.
        ScopedLock lock(&m_clientsLock);
        const u32 count = m_clientsCnt.load(std::memory_order_relaxed);
        if (count < kMaxLogClients) {
            client->m_mask = mask;
            m_clients[count] = client;
            m_clientsCnt.store(count + 1, std::memory_order_release);
            return;
        }
    }
    // The table is full. Reported without the lock: the line goes to every client and may end the process.
    const u32 count = m_clientsCnt.load(std::memory_order_relaxed);
    ASSERT_MSG(Assert, m_clientsCnt < 4, " m_clientsCnt=" << count << " ");
    // A handler accepted the line: the table stays as it is.
}

void Logger::setThreadName(std::string name) {
    ScopedLock lock(&m_mutex);
    m_threadNames.emplace(static_cast<int>(GetCurrentThreadId()), std::move(name));
    m_threadNames.noteSize();
}

std::string Logger::getThreadName(u32 threadId) {
    ScopedLock lock(&m_mutex);
    auto it = m_threadNames.find(static_cast<int>(threadId));
    return it == m_threadNames.end() ? std::string() : it->second;
}

std::string Logger::getAsyncThreadName() {
    ScopedLock lock(&m_mutex);
    auto it = m_asyncThreadNames.find(static_cast<int>(GetCurrentThreadId()));
    return it == m_asyncThreadNames.end() ? std::string() : it->second;
}

void Logger::eraseThreadName(u32 threadId) {
    ScopedLock lock(&m_mutex);
    m_threadNames.erase(static_cast<int>(threadId));
    m_threadNames.noteSize();
}

void Logger::flushClients() {
    const u32 count = m_clientsCnt.load(std::memory_order_acquire);
    for (u32 i = 0; i < count; ++i) m_clients[i]->flush();
}

void Logger::setAssertHandler(AssertHandler* handler) { m_assertHandler.store(handler); }

void Logger::setComponentCallback(LogComponent component, std::function<void(const std::string&)> callback) {
    m_componentCallbacks[static_cast<u32>(clampComponent(component))] = std::move(callback);
}

int Logger::dispatch(const std::string& line, LogLevel level, LogComponent component) {
    const u32 count = m_clientsCnt.load(std::memory_order_acquire);
    const u32 bit = 1u << static_cast<u32>(level);
    for (u32 i = 0; i < count; ++i) {
        LoggerClient* client = m_clients[i];
        if (client->m_mask & bit) client->write(line);
        if (flushesClients(level)) client->flush();
    }
    if (level != LogLevel::Assert) return 0;

    flushClients();
    const auto& callback = m_componentCallbacks[static_cast<u32>(component)];
    if (callback) {
        callback(line);
        flushClients();
    }
    AssertHandler* handler = m_assertHandler.load();
    if (handler && handler->handle(line)) return 0;
    std::cout << line << std::endl;
    fatalStop();
}

int LogStringBuf::sync() {
    const std::string line = str();  // the buffer is kept: a second flush dispatches everything again
    return Logger::instance()->dispatch(line, m_owner->level(), m_owner->component());
}

LogItem::LogItem(LogComponent component, LogLevel level, const char* functionName, int digits)
    : LogBufHolder(this), std::ostream(&m_buf), m_level(clampLevel(level)), m_component(clampComponent(component)) {
    writeHeader(normaliseFunctionName(functionName ? functionName : ""), digits);
}

LogItem::LogItem(LogComponent component, LogLevel level, const LogSite& site, int digits)
    : LogBufHolder(this), std::ostream(&m_buf), m_level(clampLevel(level)), m_component(clampComponent(component)) {
    writeHeader(site.columns, digits);
}

void LogItem::writeHeader(const std::string& columns, int digits) {
    Timer::printTime(*this, digits);
    *this << ',' << logLevelName(m_level) << ',' << GetCurrentThreadId();
    const std::string asyncName = Logger::instance()->getAsyncThreadName();
    if (!asyncName.empty()) *this << '/' << asyncName;
    *this << ',' << logComponentName(m_component) << ',' << columns << ',';
}

void assertFailed(const LogSite& site, const char* expression, const char* file, int line) {
    LogItem item(LogComponent::Non, LogLevel::Error, site);
    item << "Assertion (" << expression << ") failed " << file << " " << line << std::endl;
    // Also on standard error: a check that fails before any client is registered must not end the run silently.
    std::cerr << item.text();
    fatalStop();
}
