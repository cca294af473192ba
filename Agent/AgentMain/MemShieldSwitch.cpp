#include "MemShieldSwitch.h"

// The tracked allocator is not linked yet: objects come from the plain heap and there is no switch to set.
void setMemShieldEnabled(bool enabled) { (void)enabled; }
