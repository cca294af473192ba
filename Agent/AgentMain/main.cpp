#include "AgentMain.h"

extern "C" int wmain(int argc, wchar_t** argv) { return agentMain(argc, argv); }
