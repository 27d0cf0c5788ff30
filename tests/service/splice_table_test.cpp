#include "service/SpliceTable.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

struct FakeClock {
    CSpliceTable::Clock::time_point now{};
    std::function<CSpliceTable::Clock::time_point()> fn()
    {
        return [this] { return now; };
    }
};

TEST(SpliceTable, JoinsPiecesInNumberOrderAndFreesTheId)
{
    CSpliceTable t;
    ASSERT_TRUE(t.store("s", "2", "B"));
    ASSERT_TRUE(t.store("s", "1", "A"));
    ASSERT_TRUE(t.store("s", "-1", "C"));   // count 2 + 1 = 3
    EXPECT_EQ(t.takeJoined("s"), "ABC");
    EXPECT_EQ(t.takeJoined("s"), std::nullopt);
    EXPECT_EQ(t.entryCount(), 0u);
    EXPECT_EQ(t.chargedBytes(), 0u);
}

TEST(SpliceTable, FinalPieceSortsFirstAfterLargeNumbers)
{
    CSpliceTable t;
    t.store("s", "10", "A");
    t.store("s", "20", "B");
    t.store("s", "-1", "C");   // stored as 3
    EXPECT_EQ(t.takeJoined("s"), "CAB");
}

TEST(SpliceTable, SingleFinalPieceIsAWholeRequest)
{
    CSpliceTable t;
    t.store("s", "-1", "ALL");
    EXPECT_EQ(t.takeJoined("s"), "ALL");
}

TEST(SpliceTable, LaterPieceUnderTheSameNumberWins)
{
    CSpliceTable t;
    t.store("s", "1", "old");
    t.store("s", "1", "new");
    t.store("s", "-1", "!");
    EXPECT_EQ(t.takeJoined("s"), "new!");
}

TEST(SpliceTable, EntryBoundRefusesNewIdsOnly)
{
    CSpliceTable t;
    for (std::size_t i = 0; i < CSpliceTable::kMaxEntries; ++i)
        ASSERT_TRUE(t.store("id" + std::to_string(i), "1", "x"));
    EXPECT_FALSE(t.store("one too many", "1", "x"));
    EXPECT_TRUE(t.store("id7", "2", "y"));   // existing entries still take pieces
    EXPECT_EQ(t.takeJoined("id7"), "xy");
    EXPECT_TRUE(t.store("now there is room", "1", "z"));
}

TEST(SpliceTable, ByteBoundRefusesThePieceAndKeepsTheRest)
{
    CSpliceTable t;
    const std::string big(CSpliceTable::kMaxBytes / 2, 'b');
    ASSERT_TRUE(t.store("a", "1", big));
    EXPECT_FALSE(t.store("b", "1", big));          // a second half no longer fits with the charges
    EXPECT_FALSE(t.store("a", "2", big));
    EXPECT_TRUE(t.store("a", "1", "small"));       // replacing frees the old piece's bytes
    EXPECT_TRUE(t.store("b", "1", big));
    EXPECT_EQ(t.takeJoined("a"), "small");
    EXPECT_EQ(t.takeJoined("b"), big);
    EXPECT_EQ(t.chargedBytes(), 0u);
}

TEST(SpliceTable, EmptyPiecesAreChargedToo)
{
    CSpliceTable t;
    const std::size_t fit = CSpliceTable::kMaxBytes / CSpliceTable::kPieceOverhead;
    for (std::size_t i = 0; i < fit; ++i)
        ASSERT_TRUE(t.store("s", std::to_string(i), ""));
    EXPECT_FALSE(t.store("s", std::to_string(fit), ""));
}

TEST(SpliceTable, EntriesUntouchedForTenMinutesAreDropped)
{
    FakeClock clock;
    CSpliceTable t(clock.fn());
    t.store("old", "1", "x");
    t.store("kept", "1", "x");
    clock.now += std::chrono::minutes(9);
    t.store("kept", "2", "y");   // touching it restarts its time
    clock.now += std::chrono::minutes(1);
    EXPECT_EQ(t.takeJoined("old"), std::nullopt);
    EXPECT_EQ(t.takeJoined("kept"), "xy");
    EXPECT_EQ(t.chargedBytes(), 0u);
}

TEST(SpliceTable, NumbersReadLikeAtoiWithSaturation)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"12", 12}, {" 7", 7}, {"3x", 3}, {"abc", 0}, {"", 0}, {"-1", -1}, {"+4", 4},
        {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
    };
    for (const auto& [text, n] : cases)
        EXPECT_EQ(SpliceNumber(text), n) << text;
}

} // namespace
