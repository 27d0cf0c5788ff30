#include "core/Utility.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;   // a copy would close the descriptor twice
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Opens path for reading only when it is a regular file. The type is checked
// before opening, so a device never sees an open (some act on it), and again on
// the descriptor, so a swap between the two checks is caught. O_NONBLOCK keeps a
// FIFO swapped in from blocking the open.
int openRegular(const std::string& path, struct stat& st)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return -1;
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode))
        return -1;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != before.st_dev
        || st.st_ino != before.st_ino) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

namespace Utility {

std::optional<std::string> ReadRegularFile(const std::string& path, std::size_t maxBytes)
{
    struct stat st {};
    Fd fd(openRegular(path, st));
    if (fd.get() < 0)
        return std::nullopt;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes)
        return std::nullopt;

    // The file may grow after fstat: read up to one byte past the bound to see it.
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (static_cast<std::size_t>(n) > maxBytes - content.size())
            return std::nullopt;
        content.append(buf, static_cast<std::size_t>(n));
    }
    return content;
}

bool FileExist(const std::string& path)
{
    struct stat st {};
    Fd fd(openRegular(path, st));
    return fd.get() >= 0;
}

std::string GetFileContent(const std::string& path)
{
    return ReadRegularFile(path).value_or(std::string());
}

} // namespace Utility
