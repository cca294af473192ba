// Test controls of the IP Helper stand-in.
#pragma once

namespace platform_test {
// GetAdaptersInfo reads its adapters from `folder` (laid out as /sys/class/net: one folder per interface holding
// ifindex, type and address) instead of /sys/class/net; null goes back to the machine's own.
void setNetClassRoot(const char* folder);
}
