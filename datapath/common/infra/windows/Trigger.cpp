#include "Trigger.h"

#include "Logger.h"

Trigger::Trigger() : m_event(CreateEventA(NULL, FALSE, FALSE, NULL)) {
    HANDLE h = m_event;
    ASSERT(h != NULL);  // without the event every wait would return at once and its owner would spin
}

Trigger::~Trigger() {
    if (m_event) CloseHandle(m_event);
}

void Trigger::set() { SetEvent(m_event); }

void Trigger::wait() { WaitForSingleObject(m_event, INFINITE); }
