#pragma once
#include <windows.h>

// Unnamed auto-reset event: a set made before the wait is not lost, several sets before a wait count as one.
class Trigger {
public:
    Trigger();
    virtual ~Trigger();
    Trigger(const Trigger&) = delete;
    Trigger& operator=(const Trigger&) = delete;

    void set();
    void wait();

private:
    HANDLE m_event;
};
