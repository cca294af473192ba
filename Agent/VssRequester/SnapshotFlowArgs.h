#pragma once
#include "RequesterArgs.h"

// The snapshot flow's part of the command line.
struct SnapshotFlowArgs {
    RequesterArgs m_argsRequester;
};
