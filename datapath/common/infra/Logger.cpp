#include "Logger.h"

#include "FatalStop.h"
#include "Timer.h"

#include <windows.h>

#include <bit>
#include <charconv>
#include <cstring>
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
    // Asked by every log line; nothing fills the map in these programs, and its count is kept atomically.
    if (m_asyncThreadNames.size() == 0) return std::string();
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

LogStringBuf::LogStringBuf() : std::stringbuf(std::ios::out | std::ios::ate) {
    // Room for a usual line up front: growing the text step by step costs an allocation per step.
    std::string text;
    text.reserve(kInitialLineBytes);
    str(std::move(text));
}

void LogStringBuf::recycle() {
    std::string text = std::move(*this).str();
    if (text.capacity() > kMaxKeptLineBytes) {
        text = std::string();
        text.reserve(kInitialLineBytes);
    }
    text.clear();
    str(std::move(text));
    m_owner = nullptr;
}

int LogStringBuf::sync() {
    // The text is lent to the clients and then taken back, so a second flush dispatches everything again; the
    // buffer opened at its end goes on writing after it.
    std::string line = std::move(*this).str();
    const int result = Logger::instance()->dispatch(line, m_owner->level(), m_owner->component());
    str(std::move(line));
    return result;
}

namespace {

// Streams kept for reuse by every thread: slot i belongs to whoever cleared bit i of the free mask. A statement
// that finds none free (more statements being built at once than slots) builds and frees its own. The streams are
// never destroyed: threads that never end go on logging while the process exits. No per-thread cache: the
// Windows runtime may free a thread's storage before the destructors of its thread-local objects run.
constexpr int kPooledLogStreams = 64;
std::atomic<u64> g_freeLogStreams{~u64(0)};
log_detail::LogStream* g_logStreams[kPooledLogStreams];

log_detail::LogStream* takeLogStream(LogItem* owner, int& slot) {
    log_detail::LogStream* stream = nullptr;
    slot = -1;
    u64 free = g_freeLogStreams.load(std::memory_order_relaxed);
    while (free != 0) {
        const int i = std::countr_zero(free);
        if (g_freeLogStreams.compare_exchange_weak(free, free & ~(u64(1) << i), std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
            if (!g_logStreams[i]) g_logStreams[i] = new log_detail::LogStream();
            stream = g_logStreams[i];
            slot = i;
            break;
        }
    }
    if (!stream) stream = new log_detail::LogStream();
    stream->reset(owner);
    return stream;
}

void returnLogStream(log_detail::LogStream* stream, int slot) {
    stream->buf().recycle();
    if (slot < 0) {
        delete stream;
        return;
    }
    g_freeLogStreams.fetch_or(u64(1) << slot, std::memory_order_release);
}

}  // namespace

void log_detail::LogStream::reset(LogItem* owner) {
    m_buf.setOwner(owner);
    clear();
    flags(std::ios_base::skipws | std::ios_base::dec);
    width(0);
    precision(6);
    fill(' ');
}

LogItem::LogItem(LogComponent component, LogLevel level, const char* functionName, int digits)
    : m_level(clampLevel(level)), m_component(clampComponent(component)), m_stream(takeLogStream(this, m_slot)) {
    writeHeader(normaliseFunctionName(functionName ? functionName : ""), digits);
}

LogItem::LogItem(LogComponent component, LogLevel level, const LogSite& site, int digits)
    : m_level(clampLevel(level)), m_component(clampComponent(component)), m_stream(takeLogStream(this, m_slot)) {
    writeHeader(site.columns, digits);
}

LogItem::~LogItem() { returnLogStream(m_stream, m_slot); }

void LogItem::writeHeader(const std::string& columns, int digits) {
    // The fixed columns laid out by hand and written at once: a stream insertion per column costs more than the
    // rest of the line.
    char text[256];
    std::ostream& out = *m_stream;
    size_t length = Timer::formatTime(text, digits);
    if (length == 0) Timer::printTime(out, digits);
    auto put = [&](const char* piece, size_t n) {
        std::memcpy(text + length, piece, n);
        length += n;
    };
    text[length++] = ',';
    const char* level = logLevelName(m_level);
    put(level, std::strlen(level));
    text[length++] = ',';
    length = static_cast<size_t>(std::to_chars(text + length, text + sizeof(text), GetCurrentThreadId()).ptr - text);
    const std::string asyncName = Logger::instance()->getAsyncThreadName();
    if (!asyncName.empty()) {
        out.write(text, static_cast<std::streamsize>(length));
        out << '/' << asyncName;
        length = 0;
    }
    text[length++] = ',';
    const char* component = logComponentName(m_component);
    put(component, std::strlen(component));
    text[length++] = ',';
    if (length + columns.size() + 1 <= sizeof(text)) {
        put(columns.data(), columns.size());
    } else {
        out.write(text, static_cast<std::streamsize>(length));
        out.write(columns.data(), static_cast<std::streamsize>(columns.size()));
        length = 0;
    }
    text[length++] = ',';
    out.write(text, static_cast<std::streamsize>(length));
    out.fill('0');  // as the time's stream form leaves it
}

void assertFailed(const LogSite& site, const char* expression, const char* file, int line) {
    LogItem item(LogComponent::Non, LogLevel::Error, site);
    item.stream() << "Assertion (" << expression << ") failed " << file << " " << line << std::endl;
    // Also on standard error: a check that fails before any client is registered must not end the run silently.
    std::cerr << item.text();
    fatalStop();
}
