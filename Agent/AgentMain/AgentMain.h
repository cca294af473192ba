#pragma once

// The whole run of the agent: start-up, the command line, the provider check, one snapshot flow and the finish.
// Returns the exit code (an AgentStatus code).
int agentMain(int argc, wchar_t** argv);
