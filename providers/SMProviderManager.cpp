#include "providers/SMProviderManager.h"

int SMProviderManager::obtainProvider(const std::string& name, std::int32_t type, SMProvider*& provider)
{
    if (auto it = m_providers.find(name); it != m_providers.end() && it->second) {
        provider = it->second.get();
        return 6;
    }
    auto opened = std::make_unique<SMProvider>(name, type);
    if (!opened->isValid())
        return 2;
    provider = opened.get();
    m_providers[name] = std::move(opened);
    return 0;
}

int SMProviderManager::clearProviders()
{
    m_providers.clear();
    return 0;
}
