// The stand-in machine's VSS: which volumes it has, that the provider is registered with it, and the program it
// runs as the provider's commit of each snapshot set (Linux only: Windows has its own VSS).
//   vss_setup <commit program> [commit argument ...]
#include "VssRequester.h"

#include <platform/testing.h>

#include <string>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    platform_test::VssScenario scenario;
    scenario.volumes = {L"\\\\?\\Volume{3B5C4D2A-0000-4000-8000-000000000001}\\"};
    scenario.registeredProvider = ProviderId;
    scenario.writers = {{u"System Writer", VSS_WS_STABLE, S_OK, GUID{}, GUID{}}};
    scenario.commitProgram = argv[1];
    for (int i = 2; i < argc; ++i) scenario.commitArgs.push_back(argv[i]);
    platform_test::writeVssScenarioFile(scenario);
    return 0;
}
