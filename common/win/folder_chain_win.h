// Folders below a trusted base folder (ProgramData) that ordinary users can
// create first, walked and held by handle so that a user cannot swap one of them
// for a junction or symbolic link between our check and our use.
//
// Each folder of the chain is opened relative to the handle of its parent
// (NtCreateFile with RootDirectory), created when asked and missing, without
// following a reparse point, and checked twice: on the handle (a directory, not a
// reparse point) and by its entry in the held parent (some file systems show a
// link only there). Every folder is held with list and traverse access and no
// delete sharing, so it cannot be renamed, deleted or replaced while held; files
// are then created relative to the held leaf (CreateFileUnder), never by path.
//
// Stateless and thread-safe; the handles belong to the caller. Failures are
// values: the Win32 error (code and the call or check that failed) and the path
// of the folder where the walk stopped, for the caller's log line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/win32_error.h"
#include "common/win/handles_win.h"

namespace tovra::common {

// The codes of the refusals that are ours rather than a failed call.
inline constexpr uint32_t kErrorReparsePointEncountered = 4395;   // a link or junction
inline constexpr uint32_t kErrorNotADirectory = ERROR_DIRECTORY;  // 267
inline constexpr uint32_t kErrorBadName = ERROR_INVALID_NAME;     // 123

struct FolderChainOptions {
  bool create_missing = true;  // create missing folders (inheriting the parent's security)
  DWORD leaf_access = 0;       // extra rights on the last folder, e.g. WRITE_DAC | WRITE_OWNER
};

struct FolderChain {
  // The base folder first, then one handle per name; the last is the leaf.
  // Empty on failure.
  std::vector<UniqueHandle> folders;
  Win32Error error;            // why the walk stopped; none on success
  std::wstring failed_folder;  // the base, or base + "\" + the names up to the failing one

  explicit operator bool() const { return !folders.empty(); }
  HANDLE leaf() const { return folders.empty() ? nullptr : folders.back().get(); }
  bool refused_reparse_point() const { return error.code == kErrorReparsePointEncountered; }
};

// Walks base\names[0]\names[1]... The base is the caller's trusted folder (the
// system's ProgramData): it is opened by path and must be a directory; a name
// must be one plain path component (no separators, wildcards, "." or "..").
[[nodiscard]] FolderChain OpenFolderChain(std::wstring_view base,
                                          std::initializer_list<std::wstring_view> names,
                                          const FolderChainOptions& options = {});

// The decision on one opened folder: `handle_attributes` as its handle reports
// them, `entry_attributes` as its entry in the held parent lists them (nothing
// when the entry could not be found). None when it may be held.
[[nodiscard]] Win32Error JudgeOpenedFolder(uint32_t handle_attributes,
                                           std::optional<uint32_t> entry_attributes);

// The attributes of the entry `name` in the folder `folder` (a handle with any
// access), as the folder lists it; a link shows as a reparse point here even
// where its opened handle does not.
struct FolderEntry {
  std::optional<uint32_t> attributes;  // nothing when the entry does not exist
  Win32Error error;                    // the listing failed
};
[[nodiscard]] FolderEntry ReadFolderEntry(HANDLE folder, std::wstring_view name);

enum class FileCreation {
  kCreateNew,   // fails with ERROR_FILE_EXISTS when the name exists
  kOpenAlways,  // opens what is there or creates it
};

struct FileUnderRequest {
  DWORD access = 0;  // Win32 rights; SYNCHRONIZE and FILE_READ_ATTRIBUTES are added
  DWORD share = 0;
  FileCreation creation = FileCreation::kCreateNew;
  // The descriptor of a newly created file; nullptr inherits from the folder.
  SECURITY_DESCRIPTOR* security = nullptr;
};

struct FileUnder {
  UniqueHandle file;  // open for synchronous I/O on success
  Win32Error error;
};

// Creates or opens the file `name` (one plain path component) in the folder held
// by `folder`, without following a reparse point at that name. The caller checks
// the handle for what it needs (link count, attributes).
[[nodiscard]] FileUnder CreateFileUnder(HANDLE folder, std::wstring_view name,
                                        const FileUnderRequest& request);

}  // namespace tovra::common
