// test-traits: linux-only threaded
// linux-only: needs glibc's exit, which flushes the C streams after the static destructors have run, and a pipe.
// Threads outlive main: one that reaches a singleton's first use or a log site while the process exits still finds
// the library's state.
#include "FunctionName.h"
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

// Exits while a thread of this process calls `late` once per chunk it reads, after the static destructors are done.
// A stream whose buffered text goes into a pipe that the thread reads: exit flushes it only after the static
// destructors, and blocks until the thread has read enough.
[[noreturn]] void exitWhileAThreadRunsLate(void (*late)(size_t chunk)) {
    int fds[2];
    if (pipe(fds) != 0) std::_Exit(2);
    FILE* out = fdopen(fds[1], "w");
    static char buffer[1 << 20];
    setvbuf(out, buffer, _IOFBF, sizeof(buffer));
    static const std::string text(512 * 1024, 'x');
    std::fwrite(text.data(), 1, text.size(), out);
    std::thread([reader = fds[0], late] {
        char chunk[4096];
        for (size_t next = 0; read(reader, chunk, sizeof(chunk)) > 0; ++next) late(next);
    }).detach();
    std::exit(0);
}

}  // namespace

TEST(SingletonExitDeathTest, FirstUseDuringExitFindsItsLock) {
    EXPECT_EXIT(exitWhileAThreadRunsLate([](size_t chunk) {
                    if (chunk < kFirstUses.size()) kFirstUses[chunk]();
                }),
                ::testing::ExitedWithCode(0), "");
}

// A thread's first log site names its function while the process exits: the name is still read right (under
// AddressSanitizer, without reading freed memory).
TEST(SingletonExitDeathTest, FunctionNameDuringExitIsRead) {
    EXPECT_EXIT(
        {
            static const char* const kLambda = "auto A::m(int)::(anonymous class)::operator()(int) const";
            if (plainFunctionName(kLambda) != "A::m::<lambda_1>::operator ()") std::_Exit(3);
            exitWhileAThreadRunsLate([](size_t) {
                if (plainFunctionName(kLambda) != "A::m::<lambda_1>::operator ()") std::_Exit(3);
            });
        },
        ::testing::ExitedWithCode(0), "");
}
