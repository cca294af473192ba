#include "ModuleMemoryInformation.h"

void ModuleMemoryInformation::addUsedBytes(ModuleMemoryInformation* mmi, u64 bytes) {
    mmi->m_currentlyUsedBytes += bytes;
    while (mmi->m_hasParent) {
        mmi = mmi->m_parent;
        mmi->m_currentlyUsedBytes += bytes;
    }
}

void ModuleMemoryInformation::subUsedBytes(ModuleMemoryInformation* mmi, u64 bytes) {
    mmi->m_currentlyUsedBytes -= bytes;
    while (mmi->m_hasParent) {
        mmi = mmi->m_parent;
        mmi->m_currentlyUsedBytes -= bytes;
    }
}
