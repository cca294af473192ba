#pragma once
#include "Types.h"

#include <string>
#include <vector>

// What the command line tells the VSS requester.
struct RequesterArgs {
    // The volume filter, in command-line order; empty: every volume.
    std::vector<std::wstring> m_volumes;
    // A VSS backup type handed on unchecked; -1: not given.
    i32 m_backupType = 0;
};
