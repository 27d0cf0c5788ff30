#include "pkcs11/Call.h"

namespace tarnquill::crypto::pkcs11::detail {

CK_RV readAttributes(const Session& session, CK_OBJECT_HANDLE object,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> types, std::vector<std::string>& values)
{
    CK_FUNCTION_LIST* fn = session.Functions();
    if (fn == nullptr || fn->C_GetAttributeValue == nullptr)
        return kMissingFunction;

    std::vector<CK_ATTRIBUTE> templ;
    templ.reserve(types.size());
    for (CK_ATTRIBUTE_TYPE type : types)
        templ.push_back(CK_ATTRIBUTE{type, nullptr, 0});

    CK_RV rv = fn->C_GetAttributeValue(session.GetHandle(), object, templ.data(), templ.size());
    if (!succeeded(rv))
        return rv;

    std::vector<std::string> buffers(templ.size());
    for (std::size_t i = 0; i < templ.size(); ++i) {
        // CK_UNAVAILABLE_INFORMATION comes with an error result; a huge length
        // without one is a broken module, not something to allocate.
        if (templ[i].ulValueLen > kMaxFetchElements)
            return CKR_DEVICE_MEMORY;
        buffers[i].assign(templ[i].ulValueLen, '\0');
        templ[i].pValue = buffers[i].data();
    }
    rv = fn->C_GetAttributeValue(session.GetHandle(), object, templ.data(), templ.size());
    if (!succeeded(rv))
        return rv;
    for (std::size_t i = 0; i < templ.size(); ++i)
        buffers[i].resize(std::min<CK_ULONG>(templ[i].ulValueLen, buffers[i].size()));
    values = std::move(buffers);
    return CKR_OK;
}

FindObjects::FindObjects(const Session& session, CK_ATTRIBUTE* templ, CK_ULONG count)
    : m_session(session)
{
    CK_FUNCTION_LIST* fn = session.Functions();
    if (fn == nullptr || fn->C_FindObjectsInit == nullptr || fn->C_FindObjects == nullptr
        || fn->C_FindObjectsFinal == nullptr) {
        m_initRv = kMissingFunction;
        return;
    }
    m_initRv = fn->C_FindObjectsInit(session.GetHandle(), templ, count);
    m_active = succeeded(m_initRv);
}

FindObjects::~FindObjects()
{
    Finish();
}

bool FindObjects::Next(CK_OBJECT_HANDLE& object)
{
    if (!m_active)
        return false;
    CK_ULONG found = 0;
    CK_OBJECT_HANDLE handle = 0;
    const CK_RV rv = m_session.Functions()->C_FindObjects(m_session.GetHandle(), &handle, 1, &found);
    if (!succeeded(rv) || found == 0)
        return false;
    object = handle;
    return true;
}

CK_RV FindObjects::Finish()
{
    if (!m_active)
        return CKR_OK;
    m_active = false;
    return m_session.Functions()->C_FindObjectsFinal(m_session.GetHandle());
}

} // namespace tarnquill::crypto::pkcs11::detail
