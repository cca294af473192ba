#pragma once
#include "Singleton.h"
#include "Types.h"

#include <ostream>

// The process clock.
class ITimer {
public:
    virtual i64 getEpochMs() = 0;

protected:
    ~ITimer() = default;
};

class Timer : public ITimer, public Singleton<ITimer, Timer> {
public:
    Timer() = default;
    virtual ~Timer() = default;

    i64 getEpochMs() override;

    // UTC wall-clock text of the log lines: "YYYY-MM-DD hh:mm:ss" and, for digits 1 to 3, "." and that many
    // sub-second digits. The stream's fill is left at '0'.
    static void printTime(std::ostream& os, int digits);
};
