#include "FuzzSupport.h"

#include "FatalStop.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <unistd.h>

namespace {

std::atomic<u64> g_fatalStops{0};

// A stream buffer that takes everything and keeps nothing.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

NullBuffer g_null;
std::string g_scratch;

}  // namespace

// Takes the place of the library's fatal stop in the fuzz targets.
void fatalStop() {
    g_fatalStops.fetch_add(1);
    throw fuzz::FatalStopReached{};
}

namespace fuzz {

u64 fatalStops() { return g_fatalStops.load(); }

void setUp(const char* name) {
    std::string folder = std::string("/tmp/talvo-fuzz-") + name + "-XXXXXX";
    if (!mkdtemp(folder.data()) || chdir(folder.c_str()) != 0) {
        std::perror("fuzz scratch folder");
        std::abort();
    }
    // Removed at a normal exit; after a crash it stays, with the files of the crashing input.
    g_scratch = folder;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_scratch, ignored);
    });
    std::cout.rdbuf(&g_null);
    std::cerr.rdbuf(&g_null);
    std::clog.rdbuf(&g_null);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) std::abort();  // the scratch folder is broken: no result would mean anything
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

std::string signatureOf(u64 version, const std::string& lines) {
    u32 crc = 0xFFFFFFFFu;
    for (unsigned char b : lines) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return std::to_string(version) + "\n" + std::to_string(~crc) + "\n";
}

}  // namespace fuzz
