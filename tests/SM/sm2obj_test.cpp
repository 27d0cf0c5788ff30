#include "SM/sm2obj.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <string>

namespace {

std::string dottedText(const ASN1_OBJECT* obj)
{
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::string derHex(const ASN1_OBJECT* obj)
{
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_OBJECT(obj, &der);
    std::string hex;
    char byte[4];
    for (int i = 0; i < len; ++i) {
        snprintf(byte, sizeof byte, i ? " %02X" : "%02X", der[i]);
        hex += byte;
    }
    OPENSSL_free(der);
    return hex;
}

struct Row {
    int id;
    const char* oid;
    const char* der;
    const char* sn;
    const char* ln;
};

const Row kRows[] = {
    {920, "1.2.156.10197.1.301", "06 08 2A 81 1C CF 55 01 82 2D", "SM2", "sm2"},
    {921, "1.2.156.10197.1.401", "06 08 2A 81 1C CF 55 01 83 11", "SM3", "sm3"},
    {922, "1.2.156.10197.1.104", "06 07 2A 81 1C CF 55 01 68", "SM4", "sm4"},
    {923, "1.2.156.10197.6.1.4.2.1", "06 0A 2A 81 1C CF 55 06 01 04 02 01", "SM2P7DATA", "sm2p7data"},
    {924, "1.2.156.10197.6.1.4.2.2", "06 0A 2A 81 1C CF 55 06 01 04 02 02", "SM2P7SIGNED", "sm2p7signed"},
    {925, "1.2.156.10197.6.1.4.2.3", "06 0A 2A 81 1C CF 55 06 01 04 02 03", "SM2P7ENVDATA", "sm2p7envdata"},
    {926, "1.2.156.10197.6.1.4.2.4", "06 0A 2A 81 1C CF 55 06 01 04 02 04", "SM2P7SIGNENVDATA",
     "sm2p7signenvdata"},
    {927, "1.2.156.10197.6.1.4.2.5", "06 0A 2A 81 1C CF 55 06 01 04 02 05", "SM2P7DIGEST", "sm2p7digest"},
    {928, "1.2.156.10197.6.1.4.2.6", "06 0A 2A 81 1C CF 55 06 01 04 02 06", "SM2P7ENCRYPTED",
     "sm2p7encrypted"},
    {929, "1.2.156.10197.1.301.1", "06 09 2A 81 1C CF 55 01 82 2D 01", "SM2-1", "sm2-1"},
};

// ctest runs every case in a process of its own, so here the registry is
// still empty: a row must be creatable on demand without initsm2internalnid.
TEST(SmRegistry, SingleRowResolvesOnDemandBeforeInit)
{
    ASN1_OBJECT* obj = SM2_OBJ_nid2obj(929);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(dottedText(obj), "1.2.156.10197.1.301.1");
    EXPECT_EQ(translateinternalnid(OBJ_obj2nid(obj)), 929);
}

TEST(SmRegistry, EveryIdentifierResolvesToItsObject)
{
    initsm2internalnid();
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.id);
        ASN1_OBJECT* obj = SM2_OBJ_nid2obj(row.id);
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(dottedText(obj), row.oid);
        EXPECT_EQ(derHex(obj), row.der);
        const int nid = OBJ_obj2nid(obj);
        EXPECT_EQ(SM2_OBJ_nid2libnid(row.id), nid);
        EXPECT_EQ(translateinternalnid(nid), row.id);
        EXPECT_STREQ(OBJ_nid2sn(nid), row.sn);
        EXPECT_STREQ(OBJ_nid2ln(nid), row.ln);
    }
}

TEST(SmRegistry, SmTwoAndSmThreeAreOpenSslsOwnObjects)
{
    initsm2internalnid();
    EXPECT_EQ(OBJ_obj2nid(SM2_OBJ_nid2obj(920)), NID_sm2);
    EXPECT_EQ(OBJ_obj2nid(SM2_OBJ_nid2obj(921)), NID_sm3);
    EXPECT_EQ(translateinternalnid(NID_sm2), 920);
    EXPECT_EQ(translateinternalnid(NID_sm3), 921);
}

TEST(SmRegistry, SecondInitRegistersNothingNew)
{
    initsm2internalnid();
    const int nextNid = OBJ_new_nid(0);
    int before[10];
    for (int i = 0; i < 10; ++i)
        before[i] = SM2_OBJ_nid2libnid(920 + i);
    initsm2internalnid();
    EXPECT_EQ(OBJ_new_nid(0), nextNid);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(SM2_OBJ_nid2libnid(920 + i), before[i]);
}

TEST(SmRegistry, NumbersOutsideTheRegistry)
{
    initsm2internalnid();
    // OpenSSL's own 920..930 are unrelated curves; none may pass for an SM object.
    for (int nid : {-1, 0, 920, 921, 929, 930, NID_sha256, 1000000}) {
        SCOPED_TRACE(nid);
        EXPECT_EQ(translateinternalnid(nid), -1);
    }
    EXPECT_EQ(SM2_OBJ_nid2libnid(919), NID_undef);
    EXPECT_EQ(SM2_OBJ_nid2libnid(930), NID_undef);

    // Other numbers are OpenSSL's, so digest numbers pass through.
    EXPECT_EQ(OBJ_obj2nid(SM2_OBJ_nid2obj(NID_sha256)), NID_sha256);
    EXPECT_EQ(translateinternalnid(OBJ_obj2nid(SM2_OBJ_nid2obj(930))), -1);

    ERR_clear_error();
    EXPECT_EQ(SM2_OBJ_nid2obj(0), nullptr);
    EXPECT_EQ(SM2_OBJ_nid2obj(-5), nullptr);
    EXPECT_EQ(SM2_OBJ_nid2obj(1000000), nullptr);
    EXPECT_EQ(ERR_peek_error(), 0UL);
}

} // namespace
