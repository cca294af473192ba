#pragma once

// Switches the tracked allocator between registering every object and only counting bytes. Must run before the
// first tracked allocation of the process.
void setMemShieldEnabled(bool enabled);
