#pragma once

// C++ side of the token adapter interface (token/sm_adapter.h): ISMToken holds
// one loaded adapter library, ITokenCtx one token context it handed out.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ITokenCtx;

// Releases one counted reference; lets a holder of a context use RAII.
struct TokenCtxRelease {
    void operator()(ITokenCtx* ctx) const noexcept;
};
using TokenCtxPtr = std::unique_ptr<ITokenCtx, TokenCtxRelease>;

// The open library, shared by an ISMToken and the contexts it handed out so
// the code of SM_freeTokenCtx stays mapped until the last context is gone.
class TokenLibrary;

class ISMToken {
public:
    ISMToken();
    ~ISMToken();
    ISMToken(const ISMToken&) = delete;  // a copy would close the library twice
    ISMToken& operator=(const ISMToken&) = delete;

    // dlopen(path, RTLD_LAZY); a library loaded before is let go first.
    bool Load(const std::string& path);
    bool IsLoaded() const;
    // dlsym of one export; null when nothing is loaded or the export is missing.
    void* GetFunc(const char* name) const;

    // Calls SM_initialize(reserved); false when nothing is loaded or the
    // library lacks it. The adapter's own result is ignored.
    bool Initialize(void* reserved);
    // SM_getTokenNumber; -1 when the export is missing.
    std::int32_t GetTokenNumber() const;
    // Asks SM_getTokenCtx for the count, then for the handles; one context
    // per non-null handle, in the adapter's order. Empty when the export is
    // missing or the adapter reports nothing.
    std::vector<TokenCtxPtr> GetTokenCtx();

    // The library itself, for the contexts.
    const std::shared_ptr<TokenLibrary>& library() const { return m_library; }

private:
    std::shared_ptr<TokenLibrary> m_library;
};

// One token context: counted references, starting at 1. Each wrapper looks
// its export up at every call and returns -1 when the adapter lacks it.
// When the count reaches 0 the adapter's SM_freeTokenCtx gets the handle.
class ITokenCtx {
public:
    // Null when there is no owner, the owner has no library, or the handle is null.
    static ITokenCtx* Create(const ISMToken* owner, void* handle);

    ITokenCtx(const ITokenCtx&) = delete;  // the count lives in one place only
    ITokenCtx& operator=(const ITokenCtx&) = delete;

    void AddRef();
    void Release();
    std::int32_t RefCount() const { return m_refCount; }
    void* GetHandle() const { return m_handle; }

    std::int32_t GetTokenCertificateNumber() const;
    std::int32_t SetTokenActiveCertificate(std::int32_t index) const;
    // Fills `der` with the active certificate. The adapter's result; 0 when
    // the length it reports is unusable (below 1 or above the limit).
    std::int32_t GetTokenActiveCertificate(std::string& der) const;
    // Signs `data` with the active certificate's key. The adapter's result
    // (negative values are its error codes); 0 when the data is too long for
    // the interface or the length it reports is unusable.
    std::int32_t Sign(const std::string& data, std::int32_t algorithm, std::string& out) const;

private:
    ITokenCtx(std::shared_ptr<TokenLibrary> library, void* handle);
    ~ITokenCtx();

    void* func(const char* name) const;

    std::int32_t m_refCount = 1;
    std::shared_ptr<TokenLibrary> m_library;
    void* m_handle;
};
