#include "commands/SignCache.h"

#include <openssl/evp.h>

#include <iterator>

SignCache::Key SignCache::makeKey(const std::string& tokenid, const std::string& data, std::int32_t flags,
                                  std::int32_t codePage, const std::shared_ptr<SMCertificate>& certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Key key;
    key.tokenid = tokenid;
    // A failed digest leaves it empty; such a key then matches only data that
    // also failed, which never reaches the cache as a success.
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) == 1)
        key.dataDigest.assign(reinterpret_cast<const char*>(digest), length);
    key.flags = flags;
    key.codePage = codePage;
    key.certificate = certificate;
    return key;
}

const std::string* SignCache::find(const Key& key) const
{
    const auto found = m_byToken.find(key.tokenid);
    if (found == m_byToken.end())
        return nullptr;
    const Entry& e = *found->second;
    const auto signer = e.key.certificate.lock();
    const bool same = !key.dataDigest.empty() && e.key.dataDigest == key.dataDigest && e.key.flags == key.flags
                      && e.key.codePage == key.codePage && signer && signer == key.certificate.lock();
    return same ? &e.signature : nullptr;
}

void SignCache::drop(std::list<Entry>::iterator it)
{
    m_bytes -= it->signature.size();
    m_byToken.erase(it->key.tokenid);
    m_entries.erase(it);
}

void SignCache::store(Key key, std::string signature)
{
    erase(key.tokenid);
    if (signature.size() > kMaxBytes)
        return;   // a retry of it signs again
    while (!m_entries.empty()
           && (m_entries.size() >= kMaxEntries || m_bytes + signature.size() > kMaxBytes))
        drop(m_entries.begin());
    m_bytes += signature.size();
    m_entries.push_back(Entry{std::move(key), std::move(signature)});
    m_byToken[m_entries.back().key.tokenid] = std::prev(m_entries.end());
}

void SignCache::erase(const std::string& tokenid)
{
    if (const auto found = m_byToken.find(tokenid); found != m_byToken.end())
        drop(found->second);
}
