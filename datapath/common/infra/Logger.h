#pragma once
#include "FunctionName.h"
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <atomic>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>

enum class LogLevel : u32 { Assert = 0, Fatal = 1, Error = 2, Warn = 3, Info = 4, Debug = 5, Control = 6 };
enum class LogComponent : u32 { Invalid = 0, Tesk = 1, Hult = 2, Non = 3 };

constexpr u32 kLogLevelCount = 8;
constexpr u32 kLogComponentCount = 4;
constexpr u32 kMaxLogClients = 4;

// Printed names; a value past the table prints as its last entry.
const char* logLevelName(LogLevel level);
const char* logComponentName(LogComponent component);

class LoggerClient {
public:
    virtual ~LoggerClient() = default;
    virtual void write(const std::string& line) = 0;
    virtual void flush() {}

    // Bit (1 << level) admits that level; written by Logger::registerClient.
    // Read by every logging thread; a test may change it while other threads log.
    std::atomic<u32> m_mask{0};
};

// Takes a finished Assert line; true means the line is handled and the process goes on.
class AssertHandler {
public:
    virtual ~AssertHandler() = default;
    virtual bool handle(const std::string& line) = 0;
};

class Logger : public Singleton<Logger> {
public:
    Logger();

    void registerClient(LoggerClient* client, u32 mask);
    void setThreadName(std::string name);
    std::string getThreadName(u32 threadId);
    std::string getAsyncThreadName();
    // The thread wrapper's removal of its thread's name when the thread body returns.
    void eraseThreadName(u32 threadId);
    void flushClients();

    void setAssertHandler(AssertHandler* handler);
    void setComponentCallback(LogComponent component, std::function<void(const std::string&)> callback);

    // Passes one finished line to the clients; runs the Assert path for an Assert line.
    int dispatch(const std::string& line, LogLevel level, LogComponent component);

private:
    CountedWatchedContainer<std::map<int, std::string>> m_asyncThreadNames;
    CountedWatchedContainer<std::map<int, std::string>> m_threadNames;
    LoggerClient* m_clients[kMaxLogClients] = {};
    std::atomic<u32> m_clientsCnt{0};
    Mutex m_clientsLock;  // taken only by registerClient; dispatch reads the table without it
    Mutex m_mutex;
    std::atomic<AssertHandler*> m_assertHandler{nullptr};
    std::function<void(const std::string&)> m_componentCallbacks[kLogComponentCount];
};

class LogItem;

class LogStringBuf : public std::stringbuf {
public:
    LogStringBuf();
    ~LogStringBuf() override = default;

    void setOwner(LogItem* owner) { m_owner = owner; }
    // Empties the text for the next statement, keeping a usual line's room.
    void recycle();

protected:
    int sync() override;

private:
    static constexpr size_t kInitialLineBytes = 256;
    static constexpr size_t kMaxKeptLineBytes = 4096;
    LogItem* m_owner = nullptr;
};

// The call site of a log statement, with its class and method columns worked out once.
struct LogSite {
    explicit LogSite(const char* prettyFunction)
        : functionName(plainFunctionName(prettyFunction)), columns(normaliseFunctionName(functionName)) {}
    std::string functionName;
    std::string columns;
};

namespace log_detail {
struct LogBufHolder {
    LogStringBuf m_buf;
};

// The stream of a log statement, kept for reuse: building a stream costs more than a line.
class LogStream : private LogBufHolder, public std::ostream {
public:
    LogStream() : std::ostream(&m_buf) {}
    ~LogStream() override = default;
    LogStringBuf& buf() { return m_buf; }
    const LogStringBuf& buf() const { return m_buf; }
    // The state a new stream has, for the statement of `owner`.
    void reset(LogItem* owner);
};
}  // namespace log_detail

// One log statement: the header is written at construction, the line is dispatched at each flush.
class LogItem {
public:
    LogItem(LogComponent component, LogLevel level, const char* functionName, int digits = 3);
    LogItem(LogComponent component, LogLevel level, const LogSite& site, int digits = 3);
    ~LogItem();
    LogItem(const LogItem&) = delete;
    LogItem& operator=(const LogItem&) = delete;

    std::ostream& stream() { return *m_stream; }
    std::string text() const { return m_stream->buf().str(); }
    LogLevel level() const { return m_level; }
    LogComponent component() const { return m_component; }

private:
    void writeHeader(const std::string& columns, int digits);

    LogLevel m_level;
    LogComponent m_component;
    int m_slot;  // of the stream in the shared pool; -1 for a stream of its own
    log_detail::LogStream* m_stream;
};

// Ends the process after an ASSERT: the Error line goes to the clients and to standard error.
[[noreturn]] void assertFailed(const LogSite& site, const char* expression, const char* file, int line);

// The call site of the enclosing function, computed once per statement. Never destroyed: threads that never end
// go on logging while the process exits.
#define LOG_SITE() (*({ static const ::LogSite* const s_logSite = new ::LogSite(__PRETTY_FUNCTION__); s_logSite; }))

#define LOG_C_D(component, level, digits) \
    ::LogItem(::LogComponent::component, ::LogLevel::level, LOG_SITE(), (digits)).stream()
#define LOG(level) LOG_C_D(Non, level, 3)
#define LOG_D(level, digits) LOG_C_D(Non, level, digits)
#define LOG_TESK(level) LOG_C_D(Tesk, level, 3)
// A statement that names its function explicitly ("Class::method").
#define LOG_FN(level, functionName) ::LogItem(::LogComponent::Non, ::LogLevel::level, functionName).stream()

// Fatal check: "Assertion (<text>) failed <file> <line>" at Error, then the process ends.
#define ASSERT_TEXT(condition, text)                                       \
    do {                                                                   \
        if (!(condition)) ::assertFailed(LOG_SITE(), text, __FILE__, __LINE__); \
    } while (0)
#define ASSERT(expression) ASSERT_TEXT(expression, #expression)

// Check with detail: " <file> <line>: <text> failed. <detail>" at the given level. At Assert it takes the Assert
// path (the process ends unless a handler accepts the line); at any other level the code goes on.
#define ASSERT_MSG_TEXT(level, condition, text, detail)                                                     \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            LOG(level) << " " << __FILE__ << " " << __LINE__ << ": " << text << " failed. " << detail << std::endl; \
        }                                                                                                   \
    } while (0)
#define ASSERT_MSG(level, expression, detail) ASSERT_MSG_TEXT(level, expression, #expression, detail)
