#include "Trigger.h"

Trigger::Trigger() : m_event(CreateEventA(NULL, FALSE, FALSE, NULL)) {}

Trigger::~Trigger() {
    if (m_event) CloseHandle(m_event);
}

void Trigger::set() { SetEvent(m_event); }

void Trigger::wait() { WaitForSingleObject(m_event, INFINITE); }
