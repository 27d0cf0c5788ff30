#include "token/ISMToken.h"

#include "token/sm_adapter.h"

#include <dlfcn.h>

#include <limits>

namespace {

// Bounds on what an adapter may ask us to allocate; a certificate or a
// signature is a few kilobytes, a token list a handful of entries.
constexpr std::int32_t kMaxAnswerBytes = 1 << 20;
constexpr std::int32_t kMaxContexts = 1024;

} // namespace

class TokenLibrary {
public:
    explicit TokenLibrary(void* handle) : m_handle(handle) {}
    ~TokenLibrary()
    {
        if (m_handle != nullptr)
            dlclose(m_handle);
    }
    TokenLibrary(const TokenLibrary&) = delete;  // a copy would close the handle twice
    TokenLibrary& operator=(const TokenLibrary&) = delete;

    void* symbol(const char* name) const { return dlsym(m_handle, name); }

private:
    void* m_handle;
};

namespace {

// The adapter's "ask for the length, then fetch" protocol, written once.
// `call(buffer, &len)` is one call of the export. On success `out` holds the
// answer; on failure it is left as it was.
template <typename Call>
std::int32_t fetchTwice(Call call, std::string& out)
{
    std::int32_t len = 0;
    std::int32_t rc = call(nullptr, &len);
    if (rc <= 0)
        return rc;
    if (len <= 0 || len > kMaxAnswerBytes)
        return 0;
    std::string buf(static_cast<std::size_t>(len), '\0');
    const std::int32_t capacity = len;
    rc = call(reinterpret_cast<unsigned char*>(buf.data()), &len);
    if (rc <= 0)
        return rc;
    if (len <= 0 || len > capacity)
        return 0;
    buf.resize(static_cast<std::size_t>(len));
    out = std::move(buf);
    return rc;
}

template <typename Fn>
Fn resolve(const TokenLibrary* library, const char* name)
{
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(library->symbol(name));
}

} // namespace

void TokenCtxRelease::operator()(ITokenCtx* ctx) const noexcept
{
    if (ctx != nullptr)
        ctx->Release();
}

// ---------------------------------------------------------------- ISMToken

ISMToken::ISMToken() = default;
ISMToken::~ISMToken() = default;

bool ISMToken::Load(const std::string& path)
{
    m_library.reset();
    void* handle = dlopen(path.c_str(), RTLD_LAZY);
    if (handle == nullptr)
        return false;
    m_library = std::make_shared<TokenLibrary>(handle);
    return true;
}

bool ISMToken::IsLoaded() const { return m_library != nullptr; }

void* ISMToken::GetFunc(const char* name) const
{
    if (!m_library || name == nullptr)
        return nullptr;
    return m_library->symbol(name);
}

bool ISMToken::Initialize(void* reserved)
{
    auto fn = resolve<SM_initialize_fn>(m_library.get(), "SM_initialize");
    if (fn == nullptr)
        return false;
    fn(reserved);
    return true;
}

std::int32_t ISMToken::GetTokenNumber() const
{
    auto fn = resolve<SM_getTokenNumber_fn>(m_library.get(), "SM_getTokenNumber");
    return fn == nullptr ? -1 : fn();
}

std::vector<TokenCtxPtr> ISMToken::GetTokenCtx()
{
    std::vector<TokenCtxPtr> out;
    auto fn = resolve<SM_getTokenCtx_fn>(m_library.get(), "SM_getTokenCtx");
    if (fn == nullptr)
        return out;
    const std::int32_t count = fn(nullptr, 0);
    if (count <= 0 || count > kMaxContexts)
        return out;
    std::vector<SM_TOKEN_CTX> handles(static_cast<std::size_t>(count), nullptr);
    std::int32_t filled = fn(handles.data(), count);
    if (filled <= 0)
        return out;
    if (filled > count)
        filled = count;
    for (std::int32_t i = 0; i < filled; ++i) {
        if (ITokenCtx* ctx = ITokenCtx::Create(this, handles[static_cast<std::size_t>(i)]))
            out.emplace_back(ctx);
    }
    return out;
}

// ---------------------------------------------------------------- ITokenCtx

ITokenCtx* ITokenCtx::Create(const ISMToken* owner, void* handle)
{
    if (owner == nullptr || !owner->IsLoaded() || handle == nullptr)
        return nullptr;
    return new ITokenCtx(owner->library(), handle);
}

ITokenCtx::ITokenCtx(std::shared_ptr<TokenLibrary> library, void* handle)
    : m_library(std::move(library)), m_handle(handle)
{
}

ITokenCtx::~ITokenCtx()
{
    // Lets the adapter release its token; the library stays open until the
    // last context is gone, so this call never lands in unmapped code.
    if (auto fn = resolve<SM_freeTokenCtx_fn>(m_library.get(), "SM_freeTokenCtx"))
        fn(m_handle);
}

void ITokenCtx::AddRef() { ++m_refCount; }

void ITokenCtx::Release()
{
    if (--m_refCount == 0)
        delete this;
}

void* ITokenCtx::func(const char* name) const { return m_library->symbol(name); }

std::int32_t ITokenCtx::GetTokenCertificateNumber() const
{
    auto fn = reinterpret_cast<SM_getTokenCertificateNumber_fn>(func("SM_getTokenCertificateNumber"));
    return fn == nullptr ? -1 : fn(m_handle);
}

std::int32_t ITokenCtx::SetTokenActiveCertificate(std::int32_t index) const
{
    auto fn = reinterpret_cast<SM_setTokenActiveCertificate_fn>(func("SM_setTokenActiveCertificate"));
    return fn == nullptr ? -1 : fn(m_handle, index);
}

std::int32_t ITokenCtx::GetTokenActiveCertificate(std::string& der) const
{
    der.clear();
    auto fn = reinterpret_cast<SM_getTokenActiveCertificate_fn>(func("SM_getTokenActiveCertificate"));
    if (fn == nullptr)
        return -1;
    return fetchTwice([&](unsigned char* buf, std::int32_t* len) { return fn(m_handle, buf, len); }, der);
}

std::int32_t ITokenCtx::Sign(const std::string& data, std::int32_t algorithm, std::string& out) const
{
    auto fn = reinterpret_cast<SM_sign_fn>(func("SM_sign"));
    if (fn == nullptr)
        return -1;
    if (data.size() > std::numeric_limits<std::uint32_t>::max())
        return 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    const auto inLen = static_cast<std::uint32_t>(data.size());
    return fetchTwice(
        [&](unsigned char* buf, std::int32_t* len) { return fn(m_handle, in, inLen, algorithm, buf, len); },
        out);
}
