#include "SM/fp7.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstddef>

namespace {

// The content of SM2_P7 is chosen by its type. The content type objects have
// run-time numbers, so the selector goes through the registry and the table
// below is keyed by internal identifiers. An unknown type selects -1, never
// a library number that might collide with an entry.
int selectContent(long* selector)
{
    *selector = translateinternalnid(static_cast<int>(*selector));
    return 1;
}

} // namespace

ASN1_ADB_TEMPLATE(sm2p7default) = ASN1_EXP_OPT(SM2_P7, d.other, ASN1_ANY, 0);

// Enveloped, signed-and-enveloped, digested and encrypted content are never
// produced here and are carried as ANY.
ASN1_ADB(SM2_P7) = {
    ADB_ENTRY(SM_ID_P7_DATA, ASN1_EXP_OPT(SM2_P7, d.data, ASN1_OCTET_STRING, 0)),
    ADB_ENTRY(SM_ID_P7_SIGNED, ASN1_EXP_OPT(SM2_P7, d.sign, SM2_SIGNED, 0)),
} ASN1_ADB_END(SM2_P7, 0, type, selectContent, &sm2p7default_tt, nullptr);

ASN1_SEQUENCE(SM2_P7) = {
    ASN1_SIMPLE(SM2_P7, type, ASN1_OBJECT),
    ASN1_ADB_OBJECT(SM2_P7),
} ASN1_SEQUENCE_END(SM2_P7)

ASN1_SEQUENCE(SM2_ISSUER_AND_SERIAL) = {
    ASN1_SIMPLE(SM2_ISSUER_AND_SERIAL, issuer, X509_NAME),
    ASN1_SIMPLE(SM2_ISSUER_AND_SERIAL, serial, ASN1_INTEGER),
} ASN1_SEQUENCE_END(SM2_ISSUER_AND_SERIAL)

ASN1_SEQUENCE(SM2_SIGNER_INFO) = {
    ASN1_SIMPLE(SM2_SIGNER_INFO, version, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_SIGNER_INFO, issuer_and_serial, SM2_ISSUER_AND_SERIAL),
    ASN1_SIMPLE(SM2_SIGNER_INFO, digest_alg, X509_ALGOR),
    ASN1_IMP_SEQUENCE_OF_OPT(SM2_SIGNER_INFO, auth_attr, X509_ATTRIBUTE, 0),
    ASN1_SIMPLE(SM2_SIGNER_INFO, digest_enc_alg, X509_ALGOR),
    ASN1_SIMPLE(SM2_SIGNER_INFO, enc_digest, ASN1_OCTET_STRING),
    ASN1_IMP_SET_OF_OPT(SM2_SIGNER_INFO, unauth_attr, X509_ATTRIBUTE, 1),
} ASN1_SEQUENCE_END(SM2_SIGNER_INFO)

ASN1_SEQUENCE(SM2_SIGNED) = {
    ASN1_SIMPLE(SM2_SIGNED, version, ASN1_INTEGER),
    ASN1_SET_OF(SM2_SIGNED, md_algs, X509_ALGOR),
    ASN1_SIMPLE(SM2_SIGNED, contents, SM2_P7),
    ASN1_IMP_SEQUENCE_OF_OPT(SM2_SIGNED, cert, X509, 0),
    ASN1_IMP_SET_OF_OPT(SM2_SIGNED, crl, X509_CRL, 1),
    ASN1_SET_OF(SM2_SIGNED, signer_info, SM2_SIGNER_INFO),
} ASN1_SEQUENCE_END(SM2_SIGNED)

ASN1_SEQUENCE(EC_SM2_SIG) = {
    ASN1_SIMPLE(EC_SM2_SIG, r, CBIGNUM),
    ASN1_SIMPLE(EC_SM2_SIG, s, CBIGNUM),
} ASN1_SEQUENCE_END(EC_SM2_SIG)

IMPLEMENT_ASN1_FUNCTIONS(SM2_P7)
IMPLEMENT_ASN1_FUNCTIONS(SM2_SIGNED)
IMPLEMENT_ASN1_FUNCTIONS(SM2_SIGNER_INFO)
IMPLEMENT_ASN1_FUNCTIONS(SM2_ISSUER_AND_SERIAL)
IMPLEMENT_ASN1_FUNCTIONS(EC_SM2_SIG)

namespace {

int typeOf(const SM2_P7* p7)
{
    return translateinternalnid(OBJ_obj2nid(p7->type));
}

bool isSigned(const SM2_P7* p7)
{
    return p7 != nullptr && typeOf(p7) == SM_ID_P7_SIGNED;
}

// Frees the content as the current type says it is laid out.
void freeContent(SM2_P7* p7)
{
    switch (typeOf(p7)) {
    case SM_ID_P7_DATA:
        ASN1_OCTET_STRING_free(p7->d.data);
        break;
    case SM_ID_P7_SIGNED:
        SM2_SIGNED_free(p7->d.sign);
        break;
    default:
        ASN1_TYPE_free(p7->d.other);
        break;
    }
    p7->d.ptr = nullptr;
}

} // namespace

int SM2_P7_set_type(SM2_P7* p7, int id)
{
    if (p7 == nullptr || (id != SM_ID_P7_DATA && id != SM_ID_P7_SIGNED))
        return 0;
    ASN1_OBJECT* obj = SM2_OBJ_nid2obj(id);
    if (obj == nullptr)
        return 0;

    if (id == SM_ID_P7_DATA) {
        ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
        if (data == nullptr)
            return 0;
        freeContent(p7);
        p7->type = obj;
        p7->d.data = data;
        return 1;
    }

    SM2_SIGNED* sign = SM2_SIGNED_new();
    if (sign == nullptr)
        return 0;
    if (!ASN1_INTEGER_set(sign->version, 1)) {
        SM2_SIGNED_free(sign);
        return 0;
    }
    freeContent(p7);
    p7->type = obj;
    p7->d.sign = sign;
    return 1;
}

long SM2_P7_ctrl(SM2_P7* p7, int cmd, long larg)
{
    if (cmd != SM2_P7_OP_SET_DETACHED_SIGNATURE || !isSigned(p7))
        return 0;
    p7->detached = larg != 0 ? 1 : 0;
    SM2_P7* inner = p7->d.sign->contents;
    if (larg != 0 && inner != nullptr && typeOf(inner) == SM_ID_P7_DATA) {
        ASN1_OCTET_STRING_free(inner->d.data);
        inner->d.data = nullptr;
    }
    return 1;
}

int SM2_P7_set_content(SM2_P7* p7, SM2_P7* inner)
{
    if (!isSigned(p7))
        return 0;
    SM2_P7_free(p7->d.sign->contents);
    p7->d.sign->contents = inner;
    return 1;
}

int SM2_P7_content_new(SM2_P7* p7, int id)
{
    SM2_P7* inner = SM2_P7_new();
    if (inner == nullptr)
        return 0;
    if (!SM2_P7_set_type(inner, id) || !SM2_P7_set_content(p7, inner)) {
        SM2_P7_free(inner);
        return 0;
    }
    return 1;
}

int SM2_P7_add_certificate(SM2_P7* p7, X509* x509)
{
    if (!isSigned(p7) || x509 == nullptr)
        return 0;
    SM2_SIGNED* sign = p7->d.sign;
    if (sign->cert == nullptr && (sign->cert = sk_X509_new_null()) == nullptr)
        return 0;
    if (!X509_up_ref(x509))
        return 0;
    if (!sk_X509_push(sign->cert, x509)) {
        X509_free(x509);
        return 0;
    }
    return 1;
}

int SM2_P7_add_signer(SM2_P7* p7, SM2_SIGNER_INFO* si)
{
    if (!isSigned(p7) || si == nullptr || si->digest_alg == nullptr)
        return 0;
    SM2_SIGNED* sign = p7->d.sign;
    const ASN1_OBJECT* digest = si->digest_alg->algorithm;

    bool known = false;
    for (int i = 0; i < sk_X509_ALGOR_num(sign->md_algs); ++i)
        if (OBJ_cmp(sk_X509_ALGOR_value(sign->md_algs, i)->algorithm, digest) == 0)
            known = true;

    if (!known) {
        X509_ALGOR* alg = X509_ALGOR_new();
        ASN1_OBJECT* copy = OBJ_dup(digest);
        if (alg == nullptr || copy == nullptr || !X509_ALGOR_set0(alg, copy, V_ASN1_NULL, nullptr)) {
            ASN1_OBJECT_free(copy);
            X509_ALGOR_free(alg);
            return 0;
        }
        if (!sk_X509_ALGOR_push(sign->md_algs, alg)) {
            X509_ALGOR_free(alg);
            return 0;
        }
    }
    return sk_SM2_SIGNER_INFO_push(sign->signer_info, si) > 0 ? 1 : 0;
}
