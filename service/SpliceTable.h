#pragma once

// Pieces of split GET requests waiting for their final piece, keyed by
// spliceid and then by piece number. Bounded so that pages that never send a
// final piece, or send too much, cannot exhaust memory.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class CSpliceTable {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxEntries = 1024;
    static constexpr std::size_t kMaxBytes = 64u * 1024 * 1024;
    // Each piece is also charged this much, so that many empty pieces are bounded too.
    static constexpr std::size_t kPieceOverhead = 64;
    static constexpr std::chrono::minutes kIdleLimit{10};

    explicit CSpliceTable(std::function<Clock::time_point()> now = Clock::now);

    // Stores one piece: a new spliceid starts an entry under atoi(splicenum);
    // "-1" goes after the pieces already there (their count + 1); any other
    // number replaces what is stored under it. False when a bound refuses it;
    // nothing stored is changed then.
    bool store(const std::string& spliceid, const std::string& splicenum, const std::string& piece);

    // The entry's pieces joined in ascending number order, the entry removed;
    // nothing when there is no entry.
    std::optional<std::string> takeJoined(const std::string& spliceid);

    std::size_t entryCount();
    std::size_t chargedBytes();

private:
    struct Entry {
        std::map<std::int32_t, std::string> pieces;
        Clock::time_point touched;
    };

    void dropIdle(Clock::time_point now);
    static std::size_t charge(const std::string& piece) { return piece.size() + kPieceOverhead; }

    std::function<Clock::time_point()> m_now;
    std::mutex m_lock;
    std::map<std::string, Entry> m_entries;
    std::size_t m_bytes = 0;
};

// atoi with the overflow defined: the value saturates at the 32-bit limits.
std::int32_t SpliceNumber(const std::string& text);
