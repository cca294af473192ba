// COM: see platform/win_com.h.
#pragma once
#include <windows.h>
