#include "service/SpliceTable.h"

#include <algorithm>
#include <cctype>
#include <limits>

std::int32_t SpliceNumber(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::int64_t value = 0;
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), limit);
    if (negative)
        value = -value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

CSpliceTable::CSpliceTable(std::function<Clock::time_point()> now)
    : m_now(std::move(now))
{
}

void CSpliceTable::dropIdle(Clock::time_point now)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (now - it->second.touched >= kIdleLimit) {
            for (const auto& [n, piece] : it->second.pieces)
                m_bytes -= charge(piece);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

bool CSpliceTable::store(const std::string& spliceid, const std::string& splicenum, const std::string& piece)
{
    std::lock_guard lock(m_lock);
    const auto now = m_now();
    dropIdle(now);

    auto it = m_entries.find(spliceid);
    if (it == m_entries.end()) {
        if (m_entries.size() >= kMaxEntries || m_bytes + charge(piece) > kMaxBytes)
            return false;
        Entry e;
        e.pieces.emplace(SpliceNumber(splicenum), piece);
        e.touched = now;
        m_entries.emplace(spliceid, std::move(e));
        m_bytes += charge(piece);
        return true;
    }

    Entry& e = it->second;
    const std::int32_t number = splicenum == "-1" ? static_cast<std::int32_t>(e.pieces.size() + 1)
                                                  : SpliceNumber(splicenum);
    const auto old = e.pieces.find(number);
    const std::size_t freed = old == e.pieces.end() ? 0 : charge(old->second);
    if (m_bytes - freed + charge(piece) > kMaxBytes)
        return false;
    m_bytes = m_bytes - freed + charge(piece);
    e.pieces[number] = piece;
    e.touched = now;
    return true;
}

std::optional<std::string> CSpliceTable::takeJoined(const std::string& spliceid)
{
    std::lock_guard lock(m_lock);
    dropIdle(m_now());
    const auto it = m_entries.find(spliceid);
    if (it == m_entries.end())
        return std::nullopt;
    std::string joined;
    for (const auto& [n, piece] : it->second.pieces) {
        joined += piece;
        m_bytes -= charge(piece);
    }
    m_entries.erase(it);
    return joined;
}

std::size_t CSpliceTable::entryCount()
{
    std::lock_guard lock(m_lock);
    return m_entries.size();
}

std::size_t CSpliceTable::chargedBytes()
{
    std::lock_guard lock(m_lock);
    return m_bytes;
}
