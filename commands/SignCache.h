#pragma once

// Signatures a session has made, kept so that a page that repeats a sign
// command (a retry after a lost reply) gets the same signature back instead
// of a second one. A stored signature answers only an exact retry: same
// token id, same data, same flags, same certificate, same code page. Anything
// else signs afresh.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

class SMCertificate;

class SignCache {
public:
    // Enough for the retries of a busy page; the oldest entry makes room.
    static constexpr std::size_t kMaxEntries = 256;
    // Attached signatures carry the signed data (up to the 2 MiB request), so
    // the count alone would let one session hold hundreds of MiB.
    static constexpr std::size_t kMaxBytes = 16u * 1024 * 1024;

    // What a signature was made from. The data is kept as its SHA-256 so an
    // entry costs little whatever the page signed.
    struct Key {
        std::string tokenid;
        std::string dataDigest;
        std::int32_t flags = 0;
        std::int32_t codePage = 0;
        std::weak_ptr<SMCertificate> certificate;
    };
    static Key makeKey(const std::string& tokenid, const std::string& data, std::int32_t flags,
                       std::int32_t codePage, const std::shared_ptr<SMCertificate>& certificate);

    // The signature stored for an exact retry of `key`, or null.
    const std::string* find(const Key& key) const;
    // Stores a signature under the key's token id, replacing what was there.
    void store(Key key, std::string signature);
    // Forgets the token id (a sign command with it that did not succeed).
    void erase(const std::string& tokenid);

    std::size_t size() const { return m_entries.size(); }
    std::size_t bytes() const { return m_bytes; }
    bool empty() const { return m_entries.empty(); }

private:
    struct Entry {
        Key key;
        std::string signature;
    };
    void drop(std::list<Entry>::iterator it);

    std::list<Entry> m_entries;   // oldest first
    std::unordered_map<std::string, std::list<Entry>::iterator> m_byToken;   // one entry per token id
    std::size_t m_bytes = 0;      // signature bytes held
};
