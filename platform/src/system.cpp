#include "internal.h"

#include <unistd.h>

// The processors this machine has online, as Windows counts the logical processors of its one group.
void GetSystemInfo(LPSYSTEM_INFO info) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const DWORD processors = online > 0 ? static_cast<DWORD>(online) : 1;
    const long pageSize = sysconf(_SC_PAGESIZE);
    *info = SYSTEM_INFO{};
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
    info->dwPageSize = pageSize > 0 ? static_cast<DWORD>(pageSize) : 4096;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x7FFFFFFEFFFFull));
    info->dwActiveProcessorMask =
        processors >= 64 ? ~static_cast<DWORD_PTR>(0) : (static_cast<DWORD_PTR>(1) << processors) - 1;
    info->dwNumberOfProcessors = processors > 64 ? 64 : processors;
    info->dwProcessorType = PROCESSOR_AMD_X8664;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = 6;
}
