#pragma once

// Trust of the server certificate in NSS databases (the certificate stores of
// Chromium and Firefox on Linux), through the `certutil` program of NSS.
// Every entry this tool adds carries the nickname kNssNickname, so removing
// it never touches a certificate the user put there.

#include <string>
#include <vector>

inline constexpr char kNssNickname[] = "Halvorn local service";

// The databases a browser of this user reads: the shared one,
// HOME/.pki/nssdb (Chromium; listed even when it does not exist yet), then
// every Firefox profile folder under HOME that already holds a cert9.db.
std::vector<std::string> DefaultNssDatabases(const std::string& home);

// A database folder as given by a user, with or without the "sql:" prefix.
std::string NssFolder(const std::string& database);

// Replaces any earlier entry of ours in the database folder by the
// certificate at certPath, trusted as a server ("P,,"). A missing database is
// created (empty password) when createMissing is true, otherwise skipped.
// Returns 0 on success, 1 on failure; messages go to standard error.
int TrustInNss(const std::string& folder, const std::string& certPath, bool createMissing);

// Removes every entry of ours from the database folder; a folder without a
// database, or without our entry, is fine. 0 on success, 1 on failure.
int UntrustInNss(const std::string& folder);

// Whether certutil can be started from PATH.
bool CertutilAvailable();
