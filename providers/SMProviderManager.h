#pragma once

// A session's registry of open providers, keyed by the name the page gave.
// Each session owns one; two sessions that open the same store each get a
// provider of their own.

#include "providers/SMProvider.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class SMProviderManager {
public:
    SMProviderManager() = default;
    SMProviderManager(const SMProviderManager&) = delete;  // owns its providers
    SMProviderManager& operator=(const SMProviderManager&) = delete;

    // Finds the provider `name` (6; the type is not compared) or opens it (0).
    // A provider that cannot be opened is not kept (2), so a later call tries
    // again. `provider` is set on 0 and 6 only; it stays owned by the registry.
    int obtainProvider(const std::string& name, std::int32_t type, SMProvider*& provider);
    // Destroys every provider; returns 0.
    int clearProviders();

    std::size_t size() const { return m_providers.size(); }

private:
    std::map<std::string, std::unique_ptr<SMProvider>> m_providers;
};
