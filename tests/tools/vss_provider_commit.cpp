// The provider's part of one snapshot set, as the stand-in VSS runs it for each DoSnapshotSet: when a flow is
// running (its mutex exists), freeze, tell the flow, and hold until the flow allows the thaw.
//   --journal <path>        append "freeze <ns>" and "thaw <wait result> <ns>", monotonic nanoseconds
//   --hold-ms <ms>          longest hold before thawing anyway and vetoing the set (default 10000)
//   --never-freeze          never tell the flow that the volumes are frozen
//   --freeze-late <ms>      tell it only after that long
//   --fail-before-freeze    give up before freezing
//   --die-frozen            end the process while frozen
// Exit code: 0 the set may be committed, 3 veto, anything else a provider error.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Options {
    std::string journal;
    DWORD holdMs = 10000;
    bool neverFreeze = false;
    DWORD freezeLateMs = 0;
    bool failBeforeFreeze = false;
    bool dieFrozen = false;
} g_options;

void journal(const std::string& line) {
    if (g_options.journal.empty()) return;
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    if (FILE* f = std::fopen(g_options.journal.c_str(), "a")) {
        std::fprintf(f, "%s %lld\n", line.c_str(), ns);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&] { return i + 1 < argc ? static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10)) : 0; };
        if (arg == "--journal" && i + 1 < argc) g_options.journal = argv[++i];
        else if (arg == "--hold-ms") g_options.holdMs = number();
        else if (arg == "--never-freeze") g_options.neverFreeze = true;
        else if (arg == "--freeze-late") g_options.freezeLateMs = number();
        else if (arg == "--fail-before-freeze") g_options.failBeforeFreeze = true;
        else if (arg == "--die-frozen") g_options.dieFrozen = true;
        else return 2;
    }

    // No flow: nobody waits for the freeze (the flow's second snapshot, or a snapshot of its own).
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Global\\TalvoVssMutex");
    if (!mutex) {
        journal("commit");
        return 0;
    }
    // Never wait on it: the flow's main thread owns it for the whole freeze.
    CloseHandle(mutex);

    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, NULL, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    HANDLE quiesced = CreateEventA(&attributes, FALSE, FALSE, "Global\\TalvoVssQuiescedEvent");
    HANDLE thaw = CreateEventA(&attributes, FALSE, FALSE, "Global\\TalvoVssThawEvent");
    if (!quiesced || !thaw) return 4;
    if (g_options.failBeforeFreeze) {
        journal("fail");
        return 5;
    }

    journal("freeze");
    if (g_options.freezeLateMs) Sleep(g_options.freezeLateMs);
    if (!g_options.neverFreeze) SetEvent(quiesced);
    if (g_options.dieFrozen) std::_Exit(9);
    // The thaw event is never reset: a thaw the flow set early is taken, not lost.
    const DWORD result = WaitForSingleObject(thaw, g_options.holdMs);
    journal("thaw " + std::to_string(result));
    CloseHandle(thaw);
    CloseHandle(quiesced);
    return result == WAIT_OBJECT_0 ? 0 : 3;
}
