// The party outside the two programs: reads the agent's status block "Global\ProcessSharedMemory" and lets the
// agent end by setting the read notification, and in the externally initiated mode plays the runner of the frozen
// moment. It keeps the block open from the moment it exists, so a value stays readable after the agent ended.
//   status_runner <part> <journal> [delayMs] [maxMs]
//   read    only the reader
//   answer  waits for FreezeComplete, sets ThawStart after delayMs, waits for ThawComplete, then reads
//   never   waits for FreezeComplete, never sets ThawStart, waits up to delayMs for ThawComplete, then reads
//   early   sets ThawStart before anything else (before the agent starts), then as answer without setting it again
//   answer-only  as answer, but never reads the block afterwards nor sets the read notification
// The reader part sets the read notification every 20 ms until the file <journal>.stop appears or maxMs (20 s
// unless given) passed since the start. Journal lines, written as they happen: "<ms> <what> [<block value>]", the
// value "none" while the block does not exist. The last line is "end <last value>".
// Exit code 0 when the part was played, 3 when an awaited event did not come, 4 on a failure.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const auto g_start = std::chrono::steady_clock::now();
FILE* g_journal = nullptr;
HANDLE g_block = nullptr;
LONG* g_view = nullptr;

long long elapsedMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_start).count();
}

std::string blockValue() {
    if (!g_view) {
        g_block = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"Global\\ProcessSharedMemory");
        if (!g_block) return "none";
        g_view = static_cast<LONG*>(MapViewOfFile(g_block, FILE_MAP_ALL_ACCESS, 0, 0, 200));
        if (!g_view) {
            CloseHandle(g_block);
            g_block = nullptr;
            return "none";
        }
    }
    return std::to_string(static_cast<long>(__atomic_load_n(g_view, __ATOMIC_SEQ_CST)));
}

void note(const std::string& what) {
    std::fprintf(g_journal, "%lld %s\n", elapsedMs(), what.c_str());
    std::fflush(g_journal);
}

bool exists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) return 4;
    const std::string part = argv[1];
    const std::string journal = argv[2];
    const DWORD delayMs = argc > 3 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 0;
    const long long maxMs = argc > 4 ? std::strtoll(argv[4], nullptr, 10) : 20000;
    g_journal = std::fopen(journal.c_str(), "a");
    if (!g_journal) return 4;
    const bool runner = part != "read";
    const bool reads = part != "answer-only";
    const bool answers = part == "answer" || part == "answer-only";
    if (part != "read" && !answers && part != "never" && part != "early") return 4;

    HANDLE readNotification = CreateEventA(NULL, FALSE, FALSE, "Global\\RequesterEventWaitForReadNotificationName");
    HANDLE freezeComplete = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventFreezeComplete");
    HANDLE thawStart = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventThawStart");
    HANDLE thawComplete = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventThawComplete");
    if (!readNotification || !freezeComplete || !thawStart || !thawComplete) {
        note("open-failed");
        return 4;
    }
    note("ready");
    int rc = 0;
    if (runner) {
        if (part == "early") {
            SetEvent(thawStart);
            note("thaw-start");
        }
        const DWORD waitMs = static_cast<DWORD>(maxMs > elapsedMs() ? maxMs - elapsedMs() : 0);
        if (WaitForSingleObject(freezeComplete, waitMs) != WAIT_OBJECT_0) {
            note("no-freeze-complete " + blockValue());
            rc = 3;
        } else {
            note("freeze-complete " + blockValue());
            if (answers) {
                Sleep(delayMs);
                SetEvent(thawStart);
                note("thaw-start");
            }
            const DWORD thawWaitMs = part == "never" ? delayMs : static_cast<DWORD>(maxMs);
            if (WaitForSingleObject(thawComplete, thawWaitMs) == WAIT_OBJECT_0) {
                note("thaw-complete " + blockValue());
            } else {
                note("no-thaw-complete " + blockValue());
                rc = 3;
            }
        }
    }
    std::string last = blockValue();
    std::string seen = "";
    while (reads && !exists(journal + ".stop") && elapsedMs() < maxMs) {
        last = blockValue();
        if (last != seen) {
            note("value " + last);
            seen = last;
        }
        SetEvent(readNotification);
        Sleep(20);
    }
    note("end " + blockValue());
    std::fclose(g_journal);
    return rc;
}
