// An adapter whose length answers cannot be trusted: it asks for an absurd
// buffer for its certificate, and claims to have written more signature
// bytes than the buffer it was given holds.

#include "token/sm_adapter.h"

#include <cstring>

namespace {
int g_token = 0;
}

extern "C" {

__attribute__((visibility("default"))) int32_t SM_getTokenCtx(SM_TOKEN_CTX* contexts, int32_t capacity)
{
    if (contexts == nullptr)
        return 1;
    if (capacity < 1)
        return 0;
    contexts[0] = &g_token;
    return 1;
}

__attribute__((visibility("default"))) int32_t SM_getTokenActiveCertificate(SM_TOKEN_CTX, unsigned char*,
                                                                            int32_t* len)
{
    *len = INT32_MAX;
    return 1;
}

__attribute__((visibility("default"))) int32_t SM_sign(SM_TOKEN_CTX, const unsigned char*, uint32_t, int32_t,
                                                       unsigned char* out, int32_t* outLen)
{
    if (out != nullptr)
        std::memset(out, 0xAB, static_cast<size_t>(*outLen));
    *outLen = out == nullptr ? 16 : 32;
    return 1;
}

} // extern "C"
