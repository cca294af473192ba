#pragma once
#include "Logger.h"

// A check with detail logged with the component TESK; at level Assert a failure ends the process.
#define TESK_ASSERT_MSG(expression, detail)                                                                    \
    do {                                                                                                       \
        if (!(expression)) {                                                                                   \
            LOG_C_D(Tesk, Assert, 3) << " " << __FILE__ << " " << __LINE__ << ": " << #expression << " failed. " \
                                     << detail << std::endl;                                                   \
        }                                                                                                      \
    } while (0)
