// An outside runner of the frozen moment, for the runner-listener tests. It opens (or creates) the three runner
// events first, then plays one part and keeps a journal, one "<ms since start> <what>" line each, on a monotonic
// clock, written as it goes:
//   flow_runner answer <delayMs> <holdMs> <journal>  waits for FreezeComplete, sets ThawStart after the delay,
//                                                    then waits for ThawComplete
//   flow_runner never  <waitMs>  <holdMs> <journal>  waits for FreezeComplete, never sets ThawStart, waits up to
//                                                    waitMs for ThawComplete
//   flow_runner late   <delayMs> <holdMs> <journal>  as answer, but keeps the events open holdMs after the end
//   flow_runner early  0         <holdMs> <journal>  sets ThawStart at once and keeps the event open holdMs
// Exit code 0 when the part was played, 3 when an awaited event did not come, 4 on a failure.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kEventWaitMs = 20000;  // a forgotten runner ends by itself

const auto g_start = std::chrono::steady_clock::now();
FILE* g_journal = nullptr;

void note(const char* what) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_start).count();
    std::fprintf(g_journal, "%lld %s\n", static_cast<long long>(ms), what);
    std::fflush(g_journal);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 4;
    const std::string mode = argv[1];
    const DWORD delayMs = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    const DWORD holdMs = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    g_journal = std::fopen(argv[4], "a");
    if (g_journal == nullptr) return 4;

    HANDLE freezeComplete = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventFreezeComplete");
    HANDLE thawStart = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventThawStart");
    HANDLE thawComplete = CreateEventA(NULL, FALSE, FALSE, "Global\\TalvoRunnerEventThawComplete");
    if (!freezeComplete || !thawStart || !thawComplete) {
        note("open-failed");
        return 4;
    }
    note("opened");
    int rc = 0;
    if (mode == "early") {
        SetEvent(thawStart);
        note("thaw-start");
        Sleep(holdMs);
    } else {
        if (WaitForSingleObject(freezeComplete, kEventWaitMs) != WAIT_OBJECT_0) {
            note("no-freeze");
            return 3;
        }
        note("freeze");
        if (mode != "never") {
            Sleep(delayMs);
            SetEvent(thawStart);
            note("thaw-start");
        }
        const DWORD waitMs = mode == "never" ? delayMs : kEventWaitMs;
        if (WaitForSingleObject(thawComplete, waitMs) == WAIT_OBJECT_0) {
            note("thaw-complete");
        } else {
            note("no-thaw-complete");
            rc = 3;
        }
        if (mode == "late") Sleep(holdMs);
    }
    note("end");
    CloseHandle(freezeComplete);
    CloseHandle(thawStart);
    CloseHandle(thawComplete);
    std::fclose(g_journal);
    return rc;
}
