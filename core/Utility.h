#pragma once

// Reading files named by a request. The path comes from a web page, so only
// regular files are read (a FIFO or device could block the service or never
// end) and their size is bounded.

#include <cstddef>
#include <optional>
#include <string>

namespace Utility {

// Largest file that is read on a request's behalf.
inline constexpr std::size_t kMaxFileBytes = 64u * 1024 * 1024;

// The whole content of the regular file at path; nullopt when it does not
// exist, is not a regular file, cannot be opened or read, or holds more than
// maxBytes. An empty file gives an empty string. Never blocks on a FIFO.
std::optional<std::string> ReadRegularFile(const std::string& path,
                                           std::size_t maxBytes = kMaxFileBytes);

// True when path names a regular file that opens for reading.
bool FileExist(const std::string& path);

// ReadRegularFile with the default bound, empty on any failure (which cannot
// be told from an empty file: callers that must tell use ReadRegularFile).
std::string GetFileContent(const std::string& path);

} // namespace Utility
