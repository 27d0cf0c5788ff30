#include "pkcs11/Call.h"
#include "pkcs11/Pkcs11.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace tarnquill::crypto::pkcs11 {

using detail::attribute;

namespace {

constexpr char kModuleFolder[] = "/usr/local/lib/";

// A module name names one file inside the module folder, nothing else.
bool acceptableModuleName(const std::string& name)
{
    return !name.empty() && name.find('/') == std::string::npos && name.find("..") == std::string::npos
        && name.find('\0') == std::string::npos;
}

} // namespace

bool Pkcs11Dll::Load(const std::string& name)
{
    if (!acceptableModuleName(name))
        return false;

    std::string path;
    if (const char* root = std::getenv("HALVORN_ROOT"))
        path = root;
    path += kModuleFolder;
    path += name;

    dlerror();  // drop any stale error so the line below tells about this load
    void* handle = dlopen(path.c_str(), RTLD_LAZY);
    const char* rawError = dlerror();
    const std::string error = rawError != nullptr ? rawError : "";

    std::printf("=========================================================\n");
    std::printf("dll path = %s\n", path.c_str());
    // printf shows a null error text as "(null)"; say so without passing null.
    std::printf("stderr =====  %s\n", rawError != nullptr ? error.c_str() : "(null)");
    std::printf("=========================================================");
    std::fflush(stdout);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }

    m_handle = handle;
    m_getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    if (m_getFunctionList != nullptr) {
        CK_FUNCTION_LIST* functions = nullptr;
        if (succeeded(m_getFunctionList(&functions)) && functions != nullptr) {
            m_functions = functions;
            m_loaded = true;
        }
    }
    return m_loaded;
}

CK_RV Pkcs11Dll::Initialize()
{
    if (m_functions == nullptr || m_functions->C_Initialize == nullptr)
        return kMissingFunction;
    return m_functions->C_Initialize(nullptr);
}

CK_RV Pkcs11Dll::Finalize()
{
    if (m_functions == nullptr || m_functions->C_Finalize == nullptr)
        return kMissingFunction;
    return m_functions->C_Finalize(nullptr);
}

CK_RV Pkcs11Dll::GetSlotList(std::vector<Slot>& slots) const
{
    if (m_functions == nullptr || m_functions->C_GetSlotList == nullptr)
        return kMissingFunction;
    std::vector<CK_SLOT_ID> ids;
    const CK_RV rv = detail::askSizeThenFetch(ids, [this](CK_SLOT_ID* buffer, CK_ULONG* count) {
        return m_functions->C_GetSlotList(CK_TRUE, buffer, count);
    });
    if (!succeeded(rv))
        return rv;
    for (CK_SLOT_ID id : ids)
        slots.emplace_back(m_functions, id);
    return rv;
}

// ---- Session

struct Session::Open {
    CK_FUNCTION_LIST* functions;
    CK_SESSION_HANDLE handle;

    Open(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE h) : functions(f), handle(h) {}
    Open(const Open&) = delete;  // a copy would close the session twice
    Open& operator=(const Open&) = delete;
    ~Open()
    {
        if (functions != nullptr && functions->C_CloseSession != nullptr)
            functions->C_CloseSession(handle);
    }
};

Session::Session(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE handle)
    : m_open(std::make_shared<const Open>(functions, handle))
{
}

CK_SESSION_HANDLE Session::GetHandle() const
{
    return m_open != nullptr ? m_open->handle : CK_INVALID_HANDLE;
}

CK_FUNCTION_LIST* Session::Functions() const
{
    return m_open != nullptr ? m_open->functions : nullptr;
}

CK_RV Session::Login(CK_USER_TYPE user, const std::string& pin) const
{
    CK_FUNCTION_LIST* fn = Functions();
    if (fn == nullptr || fn->C_Login == nullptr)
        return kMissingFunction;
    auto* bytes = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
    return fn->C_Login(GetHandle(), user, bytes, pin.size());
}

CK_RV Session::Logout() const
{
    CK_FUNCTION_LIST* fn = Functions();
    if (fn == nullptr || fn->C_Logout == nullptr)
        return kMissingFunction;
    return fn->C_Logout(GetHandle());
}

CK_RV Session::GetAllCert(std::vector<std::unique_ptr<Cert>>& certs) const
{
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE templ[] = {
        attribute(CKA_CLASS, certClass),
        attribute(CKA_TOKEN, onToken),
    };
    detail::FindObjects search(*this, templ, std::size(templ));
    if (!succeeded(search.InitResult()))
        return search.InitResult();

    int found = 0;
    CK_OBJECT_HANDLE object = 0;
    while (search.Next(object)) {
        certs.push_back(std::make_unique<Cert>(*this, object));
        ++found;
    }
    std::printf("cert size %d\n", found);
    return search.Finish();
}

// ---- Slot

CK_RV Slot::GetSlotInfo(CK_SLOT_INFO& info) const
{
    if (m_functions == nullptr)
        return kNoModule;
    if (m_functions->C_GetSlotInfo == nullptr)
        return kMissingFunction;
    return m_functions->C_GetSlotInfo(m_id, &info);
}

CK_RV Slot::OpenSession(Session& session) const
{
    if (m_functions == nullptr || m_functions->C_OpenSession == nullptr)
        return kMissingFunction;
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    // The application pointer is only handed back to a notification callback,
    // and there is none.
    const CK_RV rv = m_functions->C_OpenSession(m_id, CKF_RW_SESSION | CKF_SERIAL_SESSION,
                                                const_cast<Slot*>(this), nullptr, &handle);
    if (succeeded(rv))
        session = Session(m_functions, handle);
    return rv;
}

CK_RV Slot::GenCsr(const Csr& csr, const Session& session, std::string& out, CK_ULONG bits) const
{
    Key key(session, CK_INVALID_HANDLE, CK_INVALID_HANDLE);
    const CK_RV rv = key.GenKeyPair(bits);
    if (!succeeded(rv))
        return rv;
    // The key lives only for this call, so the caller's request never keeps it as delegate.
    Csr request = csr;
    request.SetDelegate(&key);
    out = request.GenCsr();
    return CKR_OK;
}

CK_RV Slot::InstallCert(const Session& session, const std::string& der) const
{
    const std::string spki = GetPubkey(der);
    std::string subject;
    std::string id;
    GetPubkeyInfo(session, spki, subject, id);
    if (spki.empty() || id.empty())
        return kNotInstalled;
    return CreateCert(session, der, subject, id);
}

CK_RV Slot::GetPubkeyInfo(const Session& session, const std::string& spki, std::string& subject,
                          std::string& id) const
{
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE templ[] = {
        attribute(CKA_CLASS, keyClass),
        attribute(CKA_TOKEN, onToken),
    };
    detail::FindObjects search(session, templ, std::size(templ));
    if (!succeeded(search.InitResult()))
        return search.InitResult();

    CK_OBJECT_HANDLE object = 0;
    while (search.Next(object)) {
        Key key(session, object, CK_INVALID_HANDLE);
        const std::string candidate = ossl::toDer(key.GetEvpKey().get(), i2d_PUBKEY);
        if (!candidate.empty() && candidate == spki)
            key.GetSubjectAndId(id, subject);
    }
    return search.Finish();
}

CK_RV Slot::CreateCert(const Session& session, const std::string& der, const std::string& subject,
                       const std::string& id) const
{
    CK_FUNCTION_LIST* fn = session.Functions();
    if (fn == nullptr || fn->C_CreateObject == nullptr)
        return kMissingFunction;
    static constexpr char kLabel[] = "A certificate object";
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509;
    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE templ[] = {
        attribute(CKA_CLASS, certClass),
        attribute(CKA_CERTIFICATE_TYPE, certType),
        attribute(CKA_ID, id),
        attribute(CKA_TOKEN, onToken),
        attribute(CKA_LABEL, kLabel, sizeof kLabel - 1),
        attribute(CKA_SUBJECT, subject),
        attribute(CKA_VALUE, der),
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    return fn->C_CreateObject(session.GetHandle(), templ, std::size(templ), &object);
}

} // namespace tarnquill::crypto::pkcs11
