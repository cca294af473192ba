// The directory listing a rotation takes: a log folder with 1,000 numbered files, the live file and a folder.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string makeLogFolder() {
    const std::string folder = "listing-benchmark";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder + "/archive");
    for (int i = 1; i <= 1000; ++i) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s/agent%06d.txt", folder.c_str(), i);
        std::ofstream(name) << "line\n";
    }
    std::ofstream(folder + "/agent.txt") << "live\n";
    return folder;
}

void listFolder(benchmark::State& state, const char* pattern) {
    const std::string folder = makeLogFolder();
    const std::string query = folder + "\\" + pattern;
    size_t files = 0;
    for (auto _ : state) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(query.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            state.SkipWithError("FindFirstFileA failed");
            break;
        }
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(folder + "\\" + data.cFileName);
        } while (FindNextFileA(find, &data));
        FindClose(find);
        files = names.size();
        benchmark::DoNotOptimize(names);
    }
    state.counters["files"] = static_cast<double>(files);
    std::filesystem::remove_all(folder);
}

void BM_ListEverything(benchmark::State& state) { listFolder(state, "*"); }
BENCHMARK(BM_ListEverything)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
