#pragma once
#include "SnapshotFlowArgs.h"

#include <string>

// The agent's parsed command line.
struct Arguments {
    std::wstring m_localURL;
    std::wstring m_localPort;  // as typed
    std::wstring m_peerURL;    // "0.0.0.0": no peer
    std::wstring m_peerPort;   // as typed
    std::wstring m_tag;        // the checkpoint name
    SnapshotFlowArgs m_snapshotFlow;
    bool isGUI = false;
    bool isExternallyInitiated = false;
};
