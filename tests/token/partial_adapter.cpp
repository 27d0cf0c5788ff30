// An adapter that hands out contexts and nothing else, to show how the
// wrappers behave when exports are missing.

#include "token/sm_adapter.h"

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

// Counts the frees of its one handle, so a test can see that each context
// is given back exactly once.
__attribute__((visibility("default"))) int32_t SM_freeTokenCtx(SM_TOKEN_CTX context)
{
    if (context == &g_token)
        ++g_token;
    return 1;
}

__attribute__((visibility("default"))) int32_t partial_freedCount(void) { return g_token; }

} // extern "C"
