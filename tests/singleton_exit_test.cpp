// test-traits: linux-only threaded
// linux-only: needs glibc's exit, which flushes the C streams after the static destructors have run, and a pipe.
// Threads outlive main: one that reaches a singleton's first use while the process exits still finds its lock.
#include "Logger.h"
#include "Singleton.h"
#include "TestSupport.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

template <int N>
struct LateSingleton : Singleton<LateSingleton<N>> {};

template <int... N>
constexpr auto firstUses(std::integer_sequence<int, N...>) {
    return std::array<void (*)(), sizeof...(N)>{+[] { LateSingleton<N>::instance(); }...};
}
constexpr auto kFirstUses = firstUses(std::make_integer_sequence<int, 16>());

// Ends the process with exit while a thread of its own runs `late` as many times as it can once the static
// destructors are done: exit flushes a stream whose buffered text goes into a pipe that the thread reads, only after
// those destructors, and blocks until the thread has read enough.
[[noreturn]] void exitThenRun(void (*late)(size_t)) {
    int fds[2];
    if (pipe(fds) != 0) std::_Exit(2);
    FILE* out = fdopen(fds[1], "w");
    static char buffer[1 << 20];
    setvbuf(out, buffer, _IOFBF, sizeof(buffer));
    static const std::string text(512 * 1024, 'x');
    std::fwrite(text.data(), 1, text.size(), out);
    std::thread([reader = fds[0], late] {
        char chunk[4096];
        size_t next = 0;
        while (read(reader, chunk, sizeof(chunk)) > 0) late(next++);
    }).detach();
    std::exit(0);
}

}  // namespace

TEST(SingletonExitDeathTest, FirstUseDuringExitFindsItsLock) {
    EXPECT_EXIT(exitThenRun([](size_t next) {
                    if (next < kFirstUses.size()) kFirstUses[next]();
                }),
                ::testing::ExitedWithCode(0), "");
}

// A thread started late logs from call sites it never used before: naming such a site must not need anything that
// the static destructors took away.
TEST(SingletonExitDeathTest, NewLogSiteDuringExitIsNamed) {
    EXPECT_EXIT(
        {
            LOG(Info) << "before exit" << std::endl;
            exitThenRun([](size_t next) {
                if (next == 0) LOG(Info) << "first site after exit" << std::endl;
                if (next == 1) [] { LOG(Info) << "a lambda's site after exit" << std::endl; }();
            });
        },
        ::testing::ExitedWithCode(0), "");
}
