// test-traits: linux-only threaded
// linux-only: needs glibc's exit, which flushes the C streams after the static destructors have run, and a pipe.
// Threads outlive main: one that reaches a singleton's first use while the process exits still finds its lock.
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

}  // namespace

TEST(SingletonExitDeathTest, FirstUseDuringExitFindsItsLock) {
    EXPECT_EXIT(
        {
            // A stream whose buffered text goes into a pipe that a thread of this process reads. exit flushes it
            // only after the static destructors, and blocks until the thread has read enough: so the thread runs
            // its first uses once those destructors are done.
            int fds[2];
            if (pipe(fds) != 0) std::_Exit(2);
            FILE* out = fdopen(fds[1], "w");
            static char buffer[1 << 20];
            setvbuf(out, buffer, _IOFBF, sizeof(buffer));
            static const std::string text(512 * 1024, 'x');
            std::fwrite(text.data(), 1, text.size(), out);
            std::thread([reader = fds[0]] {
                char chunk[4096];
                size_t next = 0;
                while (read(reader, chunk, sizeof(chunk)) > 0) {
                    if (next < kFirstUses.size()) kFirstUses[next++]();
                }
            }).detach();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
