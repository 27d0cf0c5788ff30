#pragma once

// Module call patterns shared inside the layer: "ask for the size, then fetch",
// attribute reads and object searches.

#include "pkcs11/Pkcs11.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace tarnquill::crypto::pkcs11::detail {

// Larger answers are refused rather than allocated: no certificate, key
// attribute, signature or slot list comes near this.
inline constexpr CK_ULONG kMaxFetchElements = 1UL << 20;
// A size that grows between the question and the fetch (a slot appearing, a
// module that underestimates) is asked again this many times.
inline constexpr int kFetchAttempts = 3;

// `call(buffer, &count)` is asked for the count with a null buffer, then
// called again with a zeroed buffer of that many elements; `out` gets what the
// module wrote. CKR_BUFFER_TOO_SMALL on the fetch means the size grew: ask again.
template <typename T, typename Call>
CK_RV askSizeThenFetch(std::vector<T>& out, Call call)
{
    CK_ULONG count = 0;
    CK_RV rv = call(nullptr, &count);
    if (!succeeded(rv))
        return rv;
    for (int attempt = 0; attempt < kFetchAttempts; ++attempt) {
        if (count > kMaxFetchElements)
            return CKR_DEVICE_MEMORY;
        // One spare element so a zero count never turns into a null buffer,
        // which the module would take for another size question.
        std::vector<T> buffer(count + 1);
        CK_ULONG got = count;
        rv = call(buffer.data(), &got);
        if (rv == CKR_BUFFER_TOO_SMALL) {
            count = got > count ? got : count * 2 + 1;
            continue;
        }
        if (!succeeded(rv))
            return rv;
        buffer.resize(got < count ? got : count);
        out = std::move(buffer);
        return CKR_OK;
    }
    return rv;
}

// Byte answers (signatures, cipher texts) as a byte string.
template <typename Call>
CK_RV askSizeThenFetchBytes(std::string& out, Call call)
{
    std::vector<CK_BYTE> bytes;
    const CK_RV rv = askSizeThenFetch(bytes, call);
    if (succeeded(rv))
        out.assign(bytes.begin(), bytes.end());
    return rv;
}

// Values of several attributes of one object in one template: lengths first,
// then the values. On success `values` holds one byte string per type.
CK_RV readAttributes(const Session& session, CK_OBJECT_HANDLE object,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> types, std::vector<std::string>& values);

// An object search; C_FindObjectsFinal runs on every path.
class FindObjects {
public:
    // `templ` must outlive Init only.
    FindObjects(const Session& session, CK_ATTRIBUTE* templ, CK_ULONG count);
    FindObjects(const FindObjects&) = delete;     // a copy would end the search twice
    FindObjects& operator=(const FindObjects&) = delete;
    ~FindObjects();

    CK_RV InitResult() const { return m_initRv; }
    // The next object, one at a time; false when the module fails or has no more.
    bool Next(CK_OBJECT_HANDLE& object);
    // Ends the search now and returns C_FindObjectsFinal's result.
    CK_RV Finish();

private:
    const Session& m_session;
    CK_RV m_initRv = CKR_OK;
    bool m_active = false;
};

inline CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length)
{
    return CK_ATTRIBUTE{type, const_cast<void*>(value), length};
}

template <typename T>
CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const T& value)
{
    return attribute(type, &value, sizeof value);
}

inline CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const std::string& bytes)
{
    return attribute(type, bytes.data(), bytes.size());
}

} // namespace tarnquill::crypto::pkcs11::detail
