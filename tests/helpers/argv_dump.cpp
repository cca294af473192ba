// A stand-in for the agent that enters as the agent does (wmain, the runtime's split on Windows, the stand-in's
// split and UTF-8 decoding on Linux) and writes its arguments after the program name to the file named by
// TALVO_ARGV_DUMP, each as UTF-8 followed by a zero byte, and a
// line end after the last. TALVO_ARGV_DUMP_SLEEP_MS delays it; it also writes to
// its standard streams, which must not reach whoever started it.
#include "text_internal.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

extern "C" int wmain(int argc, wchar_t** argv) {
    std::printf("argv dump on standard output\n");
    std::fprintf(stderr, "argv dump on standard error\n");
    std::fflush(stdout);
    if (const char* sleepMs = std::getenv("TALVO_ARGV_DUMP_SLEEP_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleepMs)));
    }
    const char* target = std::getenv("TALVO_ARGV_DUMP");
    if (!target) return 2;
    // Written aside and renamed, so that a reader sees the whole list or nothing.
    const std::string partial = std::string(target) + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        for (int i = 1; i < argc; ++i) out << platform::detail::toUtf8(argv[i]) << '\0';
        out << '\n';
    }
    return std::rename(partial.c_str(), target) == 0 ? 0 : 3;
}
