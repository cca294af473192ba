#pragma once
#include <string>

// Control of the companion provider service through the service control manager.
class ServiceUtils {
public:
    // Makes sure the service runs, starting it when stopped. 0 when the caller may go on, else the Win32 error
    // of the service-control call that failed (1060: the service is not installed).
    static int startService(std::string serviceName);
};
