#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What one VSS backup sequence covers, from the agent's command line.
struct RequesterArgs {
    // Volume filter in command-line order: a volume is taken when its GUID path contains one entry. Empty: all.
    std::vector<std::wstring> m_volumes;
    // A VSS_BACKUP_TYPE number handed to VSS as given; -1 (not given) selects VSS_BT_COPY.
    int32_t m_backupType = -1;
};
