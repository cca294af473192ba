// A stand-in for the agent that enters as the agent does (wmain, the runtime's split on Windows, the stand-in's
// split and UTF-8 decoding on Linux) and writes its arguments after the program name to the file named by
// TALVO_ARGV_DUMP, each as UTF-8 followed by a zero byte, and a
// line end after the last. TALVO_ARGV_DUMP_SLEEP_MS delays it; it also writes to
// its standard streams, which must not reach whoever started it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::string utf8(const wchar_t* text) {
    std::string out;
    for (const wchar_t* p = text; *p; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

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
        for (int i = 1; i < argc; ++i) out << utf8(argv[i]) << '\0';
        out << '\n';
    }
    return std::rename(partial.c_str(), target) == 0 ? 0 : 3;
}
