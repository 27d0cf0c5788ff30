#include "platform/LoginItem.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace platform {

namespace {

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

// Exec= quoting of desktop entries: the path in double quotes, where '"', '`',
// '$' and the backslash take a backslash; the string-value escaping that is undone first
// doubles every backslash again. "%" is doubled because it starts field codes.
std::string quoteExec(const std::string& path)
{
    std::string out = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$')
            out += "\\\\";
        else if (c == '\\')
            out += "\\\\\\";
        else if (c == '%')
            out += '%';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace

std::string LoginItemPath()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && *config == '/')
        base = config;
    else
        base = homeFolder() + "/.config";
    return base + "/autostart/halvorn.desktop";
}

std::string LoginItemText(const std::string& executablePath)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Halvorn\n"
           "Comment=Local certificate-signing service\n"
           "Exec=" + quoteExec(executablePath) + "\n"
           "Terminal=false\n"
           "NoDisplay=true\n"
           "X-GNOME-Autostart-enabled=true\n";
}

int RefreshLoginItem(const std::string& executablePath)
{
    namespace fs = std::filesystem;
    if (executablePath.empty())
        return -1;
    const fs::path path = LoginItemPath();
    const std::string text = LoginItemText(executablePath);

    std::error_code ec;
    if (fs::exists(path, ec)) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream current;
        current << in.rdbuf();
        if (current.str() == text)
            return 0;
    }
    fs::create_directories(path.parent_path(), ec);
    if (ec)
        return -1;
    // Write beside it and rename, so a crash never leaves half an entry.
    const fs::path tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            return -1;
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return -1;
    }
    return 0;
}

} // namespace platform
