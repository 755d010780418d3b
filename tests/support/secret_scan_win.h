// Searching the Zerka log folder for the secrets a test used: private keys,
// passwords, payload markers. A test snapshots the folder before it starts and
// scans what the logs gained afterwards; a hit names the secret by its label,
// never by its value, so the failure message leaks nothing either.
// Single-threaded; a file that cannot be read is scanned as empty.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tovra::testing {

// Where every file of the log folder ended, by file name.
struct LogSnapshot {
  std::map<std::wstring, uint64_t> sizes;
};

// <ProgramData>\Zerka\vpn\logs
[[nodiscard]] std::wstring ZerkaLogFolder();
[[nodiscard]] LogSnapshot SnapshotLogs();

struct Secret {
  std::string label;  // what a failure message calls it
  std::string value;
};

struct SecretHit {
  std::wstring file;
  std::string label;
  std::string form;  // "text", "hex", "HEX" or "utf-16"
  uint64_t offset = 0;
};

// Values shorter than this occur in ordinary text and are not searched for.
inline constexpr size_t kMinScannableSecret = 6;

// Every place in the folder's files where a secret appears as sent, in hex of
// either case or as UTF-16. With `since`, only what each file gained after the
// snapshot is read (a file it does not know, or one that shrank, is read whole).
[[nodiscard]] std::vector<SecretHit> FindSecretsInLogs(const std::vector<Secret>& secrets,
                                                       const LogSnapshot* since = nullptr);

// One line per hit, for a failure message.
[[nodiscard]] std::string DescribeSecretHits(const std::vector<SecretHit>& hits);

}  // namespace tovra::testing
