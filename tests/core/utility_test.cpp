#include "core/Utility.h"

#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testsupport::TempDir;

TEST(ReadRegularFile, ReadsWholeFileIncludingZeroBytes)
{
    TempDir dir;
    std::string bytes(200000, 'a');
    bytes[7] = '\0';
    bytes.back() = '\xFF';
    testsupport::writeFile(dir.path() / "data.bin", bytes);
    const std::string path = (dir.path() / "data.bin").string();

    EXPECT_EQ(Utility::ReadRegularFile(path), bytes);
    EXPECT_EQ(Utility::GetFileContent(path), bytes);
    EXPECT_TRUE(Utility::FileExist(path));
}

TEST(ReadRegularFile, EmptyFileIsReadAsEmptyContent)
{
    TempDir dir;
    testsupport::writeFile(dir.path() / "empty", "");
    const std::string path = (dir.path() / "empty").string();
    const auto content = Utility::ReadRegularFile(path);
    ASSERT_TRUE(content.has_value());
    EXPECT_TRUE(content->empty());
    EXPECT_TRUE(Utility::FileExist(path));
}

TEST(ReadRegularFile, RefusesWhatIsNotARegularFile)
{
    TempDir dir;
    const std::string paths[] = {(dir.path() / "missing").string(), dir.str(), "/dev/zero",
                                 "/dev/null", ""};
    for (const auto& path : paths) {
        EXPECT_FALSE(Utility::ReadRegularFile(path).has_value()) << path;
        EXPECT_FALSE(Utility::FileExist(path)) << path;
        EXPECT_EQ(Utility::GetFileContent(path), "") << path;
    }
}

TEST(ReadRegularFile, RefusesFifoWithoutBlocking)
{
    TempDir dir;
    const std::string fifo = (dir.path() / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    auto pending = std::async(std::launch::async, [&] {
        return std::make_pair(Utility::ReadRegularFile(fifo).has_value(), Utility::FileExist(fifo));
    });
    if (pending.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Release the blocked reader so the test fails instead of hanging.
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
        FAIL() << "reading a FIFO blocked";
    }
    const auto [read, exists] = pending.get();
    EXPECT_FALSE(read);
    EXPECT_FALSE(exists);
}

TEST(ReadRegularFile, RefusesFilesAboveTheBound)
{
    TempDir dir;
    testsupport::writeFile(dir.path() / "f", std::string(100, 'x'));
    const std::string path = (dir.path() / "f").string();
    EXPECT_EQ(Utility::ReadRegularFile(path, 100), std::string(100, 'x'));
    EXPECT_FALSE(Utility::ReadRegularFile(path, 99).has_value());

    // The default bound, on a sparse file that costs no disk.
    const std::string big = (dir.path() / "big").string();
    testsupport::writeFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(Utility::kMaxFileBytes) + 1), 0);
    EXPECT_FALSE(Utility::ReadRegularFile(big).has_value());
    EXPECT_EQ(Utility::GetFileContent(big), "");
}

TEST(ReadRegularFile, FollowsSymlinkToRegularFile)
{
    TempDir dir;
    testsupport::writeFile(dir.path() / "target", "abc");
    std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link");
    std::filesystem::create_symlink("/dev/zero", dir.path() / "devlink");
    EXPECT_EQ(Utility::ReadRegularFile((dir.path() / "link").string()), "abc");
    EXPECT_FALSE(Utility::ReadRegularFile((dir.path() / "devlink").string()).has_value());
}

} // namespace
