#pragma once

// The session login item: an XDG autostart entry that starts the service when
// the user logs in.

#include <string>

namespace platform {

// $XDG_CONFIG_HOME/autostart/halvorn.desktop, or ~/.config/autostart/ when unset.
std::string LoginItemPath();

// The entry's text for the executable at `executablePath`.
std::string LoginItemText(const std::string& executablePath);

// Writes the entry unless it already holds exactly this text, so repeated
// starts never duplicate or rewrite it. 0 on success, -1 on failure (callers ignore it).
int RefreshLoginItem(const std::string& executablePath);

} // namespace platform
