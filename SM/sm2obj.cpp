#include "SM/sm2obj.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <atomic>
#include <mutex>

namespace {

// OpenSSL's number for each row, -1 until registered.
std::atomic<int> internalsm2oid{-1};
std::atomic<int> internalsm3oid{-1};
std::atomic<int> internalsm4oid{-1};
std::atomic<int> internalsm2dataoid{-1};
std::atomic<int> internalsm2signedoid{-1};
std::atomic<int> internalsm2envoid{-1};
std::atomic<int> internalsm2signenvoid{-1};
std::atomic<int> internalsm2digestoid{-1};
std::atomic<int> internalsm2encoid{-1};
std::atomic<int> internalsm2_1oid{-1};

struct SmObject {
    int id;
    const char* oid;
    const char* sn;
    const char* ln;
    std::atomic<int>* libnid;
};

constexpr int kFirstId = SM_ID_SM2;
constexpr int kLastId = SM_ID_SM2_1;

const SmObject kObjects[] = {
    {SM_ID_SM2, "1.2.156.10197.1.301", "SM2", "sm2", &internalsm2oid},
    {SM_ID_SM3, "1.2.156.10197.1.401", "SM3", "sm3", &internalsm3oid},
    {SM_ID_SM4, "1.2.156.10197.1.104", "SM4", "sm4", &internalsm4oid},
    {SM_ID_P7_DATA, "1.2.156.10197.6.1.4.2.1", "SM2P7DATA", "sm2p7data", &internalsm2dataoid},
    {SM_ID_P7_SIGNED, "1.2.156.10197.6.1.4.2.2", "SM2P7SIGNED", "sm2p7signed", &internalsm2signedoid},
    {SM_ID_P7_ENVDATA, "1.2.156.10197.6.1.4.2.3", "SM2P7ENVDATA", "sm2p7envdata", &internalsm2envoid},
    {SM_ID_P7_SIGNENVDATA, "1.2.156.10197.6.1.4.2.4", "SM2P7SIGNENVDATA", "sm2p7signenvdata",
     &internalsm2signenvoid},
    {SM_ID_P7_DIGEST, "1.2.156.10197.6.1.4.2.5", "SM2P7DIGEST", "sm2p7digest", &internalsm2digestoid},
    {SM_ID_P7_ENCRYPTED, "1.2.156.10197.6.1.4.2.6", "SM2P7ENCRYPTED", "sm2p7encrypted",
     &internalsm2encoid},
    {SM_ID_SM2_1, "1.2.156.10197.1.301.1", "SM2-1", "sm2-1", &internalsm2_1oid},
};

// Commands run on the main thread, but verification may be reached from
// tests and tools on other threads; the lock only guards first registration.
std::mutex registryLock;

int nidOfOid(const char* oid)
{
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    const int nid = obj != nullptr ? OBJ_obj2nid(obj) : NID_undef;
    ASN1_OBJECT_free(obj);
    return nid;
}

// OpenSSL 3 already has SM2 and SM3 and refuses to create an object twice,
// so reuse whatever object carries the identifier before creating one.
int registerRow(const SmObject& row)
{
    const int known = row.libnid->load();
    if (known != -1)
        return known;
    std::lock_guard<std::mutex> lock(registryLock);
    if (row.libnid->load() != -1)
        return row.libnid->load();
    int nid = nidOfOid(row.oid);
    if (nid == NID_undef)
        nid = OBJ_create(row.oid, row.sn, row.ln);
    if (nid == NID_undef)
        return -1;
    row.libnid->store(nid);
    return nid;
}

std::once_flag initOnce;

} // namespace

void initsm2internalnid()
{
    std::call_once(initOnce, [] {
        for (const SmObject& row : kObjects)
            registerRow(row);
        // NO_LOAD_CONFIG is left out on purpose: in OpenSSL 3 it would switch
        // the system configuration off for the rest of the process, TLS included.
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    });
}

int SM2_OBJ_nid2libnid(int id)
{
    if (id < kFirstId || id > kLastId)
        return NID_undef;
    const int nid = registerRow(kObjects[id - kFirstId]);
    return nid == -1 ? NID_undef : nid;
}

ASN1_OBJECT* SM2_OBJ_nid2obj(int id)
{
    if (id >= kFirstId && id <= kLastId) {
        const int nid = SM2_OBJ_nid2libnid(id);
        return nid == NID_undef ? nullptr : OBJ_nid2obj(nid);
    }
    if (id == NID_undef)
        return nullptr;
    // An unknown number leaves an error on the thread's queue, which would
    // later confuse SSL_get_error on the same thread.
    ERR_set_mark();
    ASN1_OBJECT* obj = OBJ_nid2obj(id);
    ERR_pop_to_mark();
    return obj;
}

int translateinternalnid(int nid)
{
    if (nid <= NID_undef)
        return -1;
    for (const SmObject& row : kObjects)
        if (row.libnid->load() == nid)
            return row.id;
    return -1;
}
