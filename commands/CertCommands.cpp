#include "commands/TQSMLib.h"

#include "commands/HandlerSupport.h"
#include "core/CertInfo.h"
#include "core/codec.h"

#include <cstdio>

// Certificate commands: describe, sign, verify, encrypt, decrypt and change
// the PIN of the session's selected certificate. Binary values travel in
// Base64; "plain" travels as the bytes themselves.

using handler::echo;
using handler::intMember;
using handler::member;
using handler::stringMember;

namespace {

Json::Value certReply(int result, const Json::Value& request)
{
    Json::Value reply(Json::objectValue);
    reply["code"] = result;
    echo(reply, request, "ccode");
    echo(reply, request, "pid");
    return reply;
}

} // namespace

int TQSMLib::getCertInfo(Json::Value request, std::string& output)
{
    return handler::guarded("getCertInfo", output, [&] {
        int result = -2;
        _CERTIFICATE_INFO_ info;
        std::int32_t pid = 0;
        if (intMember(request, "pid", pid) && m_certificate)
            result = m_certificate->getCertInfo(info);
        if (result != 0)
            info = _CERTIFICATE_INFO_{};
        Json::Value certinfo(Json::objectValue);
        certinfo["subject"] = info.subject;
        certinfo["sn"] = info.sn;
        certinfo["cn"] = info.cn;
        certinfo["c"] = info.c;
        certinfo["e"] = info.e;
        certinfo["o"] = info.o;
        certinfo["ou"] = info.ou;
        certinfo["pub"] = info.pub;
        certinfo["st"] = info.st;
        certinfo["l"] = info.l;
        Json::Value reply = certReply(result, request);
        reply["certinfo"] = certinfo;
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::sign(Json::Value request, std::string& output)
{
    return handler::guarded("sign", output, [&] {
        int result = -2;
        std::string signature;
        std::int32_t pid = 0;
        std::string encoded;
        std::int32_t flags = 0;
        if (intMember(request, "pid", pid) && stringMember(request, "sign", encoded)
            && intMember(request, "flags", flags)) {
            const std::string data = ICodec::decode(encoded);
            std::string tokenid;
            stringMember(request, "tokenid", tokenid);
            const auto key = SignCache::makeKey(tokenid, data, flags, m_codePage, m_certificate);
            const std::string* cached = tokenid.empty() ? nullptr : m_signCache.find(key);
            if (cached != nullptr) {
                // A retry of a command that already succeeded: the same
                // signature again, nothing signed twice.
                signature = *cached;
                result = 0;
            } else {
                // The login is what a PKCS#11 key needs before it signs. Without
                // a selected certificate nothing is signed, and a successful
                // login alone is no signature: the command fails.
                if (SMProvider* provider = getProviderByID(pid))
                    provider->verifypin({});
                result = m_certificate ? m_certificate->sign(data, flags, signature) : -2;
                // Only a signature answers a retry; a failure is tried again.
                if (!tokenid.empty()) {
                    if (m_certificate && result == 0)
                        m_signCache.store(key, signature);
                    else
                        m_signCache.erase(tokenid);
                }
            }
        }
        Json::Value reply = certReply(result, request);
        reply["signed"] = ICodec::encode(signature);
        output = jsontext::writeCompact(reply);
        std::printf("output:\n%s\n", output.c_str());
        return result;
    });
}

int TQSMLib::Verify(Json::Value request, std::string& output)
{
    return handler::guarded("Verify", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        std::string signature;
        std::int32_t flags = 0;
        if (intMember(request, "pid", pid) && stringMember(request, "signed", signature)
            && intMember(request, "flags", flags)) {
            std::string message;
            if (stringMember(request, "msg", message))
                message = ICodec::decode(message);
            if (m_certificate)
                result = m_certificate->Verify(ICodec::decode(signature), flags, message);
        }
        Json::Value reply = certReply(result, request);
        reply["verify"] = result == 0 ? 1 : 0;
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::encrypt(Json::Value request, std::string& output)
{
    return handler::guarded("encrypt", output, [&] {
        int result = -2;
        std::string cipher;
        std::int32_t pid = 0;
        std::string plain;
        std::int32_t type = 0;
        if (intMember(request, "pid", pid) && stringMember(request, "plain", plain)
            && intMember(request, "type", type) && m_certificate)
            result = m_certificate->encrypt(plain, cipher, type);
        if (result != 0)
            cipher.clear();
        Json::Value reply = certReply(result, request);
        reply["cipher"] = ICodec::encode(cipher);
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::decrypt(Json::Value request, std::string& output)
{
    return handler::guarded("decrypt", output, [&] {
        int result = -2;
        std::string plain;
        std::int32_t pid = 0;
        std::string cipher;
        std::int32_t type = 0;
        if (intMember(request, "pid", pid) && stringMember(request, "cipher", cipher)
            && intMember(request, "type", type) && m_certificate)
            result = m_certificate->decrypt(ICodec::decode(cipher), plain, type);
        if (result != 0)
            plain.clear();
        Json::Value reply = certReply(result, request);
        reply["plain"] = plain;
        output = jsontext::writeCompact(reply);
        return result;
    });
}

int TQSMLib::setPin(Json::Value request, std::string& output)
{
    return handler::guarded("setPin", output, [&] {
        int result = -2;
        std::int32_t pid = 0;
        std::string pin;
        if (intMember(request, "pid", pid) && stringMember(request, "pin", pin) && m_certificate)
            result = m_certificate->setPin(pin);
        output = jsontext::writeCompact(certReply(result, request));
        return result;
    });
}
