#include "common/win/folder_chain_win.h"

#include <winternl.h>

#include <cstddef>

namespace tovra::common {

namespace {

// Native values, spelled here so they never depend on which SDK header defines
// which macro.
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIoNonAlert = 0x00000020;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kObjCaseInsensitive = 0x00000040;
constexpr ULONG kFileDirectoryInformation = 1;
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);

constexpr bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

// What a held folder is opened with. List (read data) and traverse (execute)
// access make the handle count in sharing checks, so withholding delete sharing
// refuses every later rename or delete of the folder; a handle with attribute
// access only would hold nothing.
constexpr DWORD kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The FILE_DIRECTORY_INFORMATION record of a directory listing.
struct DirectoryEntryRecord {
  ULONG next_entry_offset;
  ULONG file_index;
  LARGE_INTEGER creation_time;
  LARGE_INTEGER last_access_time;
  LARGE_INTEGER last_write_time;
  LARGE_INTEGER change_time;
  LARGE_INTEGER end_of_file;
  LARGE_INTEGER allocation_size;
  ULONG file_attributes;
  ULONG file_name_length;  // bytes
  WCHAR file_name[1];
};

using NtCreateFileFn = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*,
                                        LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG);
using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*,
                                                void*, ULONG, ULONG, BOOLEAN, UNICODE_STRING*,
                                                BOOLEAN);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);

// The three native calls, looked up once in ntdll (always loaded), so that no
// program needs an import library for them.
struct NativeFileCalls {
  NtCreateFileFn create = nullptr;
  NtQueryDirectoryFileFn query_directory = nullptr;
  RtlNtStatusToDosErrorFn to_win32 = nullptr;

  bool loaded() const { return create && query_directory && to_win32; }
};

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  // GetProcAddress returns a generic function pointer; the real signature is
  // restored through void* as the Win32 documentation prescribes.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const NativeFileCalls& Native() {
  static const NativeFileCalls calls = [] {
    NativeFileCalls c;
    if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
      c.create = Lookup<NtCreateFileFn>(ntdll, "NtCreateFile");
      c.query_directory = Lookup<NtQueryDirectoryFileFn>(ntdll, "NtQueryDirectoryFile");
      c.to_win32 = Lookup<RtlNtStatusToDosErrorFn>(ntdll, "RtlNtStatusToDosError");
    }
    return c;
  }();
  return calls;
}

constexpr Win32Error kNativeCallsMissing{ERROR_PROC_NOT_FOUND, L"GetProcAddress"};

// One path component that names a child of the folder and nothing else: no
// separator, no drive or stream colon, no wildcard (a directory listing would
// match it as a pattern), not "." or "..".
bool IsPlainName(std::wstring_view name) {
  if (name.empty() || name.size() > 255 || name == L"." || name == L"..") return false;
  for (const wchar_t c : name) {
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos)
      return false;
  }
  return true;
}

struct NativeOpen {
  UniqueHandle handle;
  NTSTATUS status = 0;
};

// NtCreateFile of `name` relative to the open folder `root`; an empty name
// opens `root`'s own object again.
NativeOpen OpenRelative(HANDLE root, std::wstring_view name, ACCESS_MASK access, ULONG share,
                        ULONG disposition, ULONG options, SECURITY_DESCRIPTOR* security) {
  UNICODE_STRING object_name{};
  object_name.Buffer = const_cast<wchar_t*>(name.data());
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = root;
  attributes.ObjectName = &object_name;
  attributes.Attributes = kObjCaseInsensitive;
  attributes.SecurityDescriptor = security;
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  NativeOpen result;
  result.status = Native().create(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                  share, disposition, options, nullptr, 0);
  if (Succeeded(result.status)) result.handle.reset(handle);
  return result;
}

Win32Error FromStatus(NTSTATUS status, std::wstring_view api) {
  return Win32Error{Native().to_win32(status), api};
}

}  // namespace

Win32Error JudgeOpenedFolder(uint32_t handle_attributes, std::optional<uint32_t> entry_attributes) {
  const auto reparse = [](uint32_t a) { return (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0; };
  const auto directory = [](uint32_t a) { return (a & FILE_ATTRIBUTE_DIRECTORY) != 0; };
  if (reparse(handle_attributes) || (entry_attributes && reparse(*entry_attributes))) {
    return {kErrorReparsePointEncountered, L"reparse point check"};
  }
  // Opened, yet not listed under its name: it was moved or replaced meanwhile.
  if (!entry_attributes) return {ERROR_FILE_NOT_FOUND, L"folder entry check"};
  if (!directory(handle_attributes) || !directory(*entry_attributes)) {
    return {kErrorNotADirectory, L"directory check"};
  }
  return {};
}

FolderEntry ReadFolderEntry(HANDLE folder, std::wstring_view name) {
  FolderEntry entry;
  if (!IsPlainName(name)) {
    entry.error = {kErrorBadName, L"folder entry name check"};
    return entry;
  }
  if (!Native().loaded()) {
    entry.error = kNativeCallsMissing;
    return entry;
  }
  // A listing handle of its own: a handle keeps the pattern of its first listing,
  // so the caller's handle is never used for one.
  NativeOpen listing =
      OpenRelative(folder, L"", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
                   kDirectoryFile | kSynchronousIoNonAlert | kOpenReparsePoint, nullptr);
  if (!listing.handle) {
    entry.error = FromStatus(listing.status, L"NtCreateFile");
    return entry;
  }
  alignas(8) std::byte buffer[sizeof(DirectoryEntryRecord) + 256 * sizeof(wchar_t)];
  UNICODE_STRING pattern{};
  pattern.Buffer = const_cast<wchar_t*>(name.data());
  pattern.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  pattern.MaximumLength = pattern.Length;
  IO_STATUS_BLOCK io{};
  const NTSTATUS status =
      Native().query_directory(listing.handle.get(), nullptr, nullptr, nullptr, &io, buffer,
                               sizeof buffer, kFileDirectoryInformation, TRUE, &pattern, TRUE);
  if (status == kStatusNoSuchFile || status == kStatusNoMoreFiles) return entry;
  if (!Succeeded(status)) {
    entry.error = FromStatus(status, L"NtQueryDirectoryFile");
    return entry;
  }
  const auto* record = reinterpret_cast<const DirectoryEntryRecord*>(buffer);
  const size_t listed_chars = record->file_name_length / sizeof(wchar_t);
  if (listed_chars > 256) return entry;
  // A pattern without wildcards matches its own name only; compared anyway, so
  // no other entry is ever judged in its place.
  if (::CompareStringOrdinal(record->file_name, static_cast<int>(listed_chars), name.data(),
                             static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
    entry.attributes = record->file_attributes;
  }
  return entry;
}

FolderChain OpenFolderChain(std::wstring_view base, std::initializer_list<std::wstring_view> names,
                            const FolderChainOptions& options) {
  FolderChain chain;
  std::wstring path(base);
  const auto fail = [&](Win32Error error) {
    chain.folders.clear();
    chain.error = error;
    chain.failed_folder = path;
    return std::move(chain);
  };
  if (!Native().loaded()) return fail(kNativeCallsMissing);

  // The base is the system's folder, which only administrators can redirect:
  // opened by path, following what they set up.
  const DWORD base_access = kHoldAccess | (names.size() == 0 ? options.leaf_access : 0);
  UniqueHandle base_folder(::CreateFileW(path.c_str(), base_access, kHoldShare, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!base_folder) {
    const DWORD error = ::GetLastError();
    return fail({error, L"CreateFileW"});
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(base_folder.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
    const DWORD error = ::GetLastError();
    return fail({error, L"GetFileInformationByHandleEx"});
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail({kErrorNotADirectory, L"directory check"});
  }
  chain.folders.push_back(std::move(base_folder));

  size_t index = 0;
  for (const std::wstring_view name : names) {
    path += L'\\';
    path += name;
    if (!IsPlainName(name)) return fail({kErrorBadName, L"folder name check"});
    const bool leaf = ++index == names.size();
    HANDLE parent = chain.folders.back().get();
    // Opened first, then judged on what is held: a swap before the open is seen
    // by the checks, and none can follow it.
    NativeOpen opened =
        OpenRelative(parent, name, kHoldAccess | (leaf ? options.leaf_access : 0), kHoldShare,
                     options.create_missing ? kFileOpenIf : kFileOpen,
                     kDirectoryFile | kSynchronousIoNonAlert | kOpenReparsePoint, nullptr);
    if (!opened.handle) return fail(FromStatus(opened.status, L"NtCreateFile"));
    if (!::GetFileInformationByHandleEx(opened.handle.get(), FileAttributeTagInfo, &tag,
                                        sizeof tag)) {
      const DWORD error = ::GetLastError();
      return fail({error, L"GetFileInformationByHandleEx"});
    }
    const FolderEntry entry = ReadFolderEntry(parent, name);
    if (entry.error) return fail(entry.error);
    if (const Win32Error refused = JudgeOpenedFolder(tag.FileAttributes, entry.attributes)) {
      return fail(refused);
    }
    chain.folders.push_back(std::move(opened.handle));
  }
  return chain;
}

FileUnder CreateFileUnder(HANDLE folder, std::wstring_view name, const FileUnderRequest& request) {
  FileUnder result;
  if (!IsPlainName(name)) {
    result.error = {kErrorBadName, L"file name check"};
    return result;
  }
  if (!Native().loaded()) {
    result.error = kNativeCallsMissing;
    return result;
  }
  const bool create_new = request.creation == FileCreation::kCreateNew;
  NativeOpen opened = OpenRelative(
      folder, name, request.access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, request.share,
      create_new ? kFileCreate : kFileOpenIf,
      kNonDirectoryFile | kSynchronousIoNonAlert | kOpenReparsePoint, request.security);
  if (!opened.handle) {
    // The code CreateFileW gives for CREATE_NEW on an existing name.
    result.error = opened.status == kStatusObjectNameCollision
                       ? Win32Error{ERROR_FILE_EXISTS, L"NtCreateFile"}
                       : FromStatus(opened.status, L"NtCreateFile");
    return result;
  }
  result.file = std::move(opened.handle);
  return result;
}

}  // namespace tovra::common
