#include "agent/openvpn/openvpn_process_rules.h"

namespace tovra::agent::openvpn {

namespace {

constexpr wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring_view FileNameOf(std::wstring_view path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring_view::npos ? path : path.substr(separator + 1);
}

bool EndsWith(std::wstring_view text, std::wstring_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

bool SamePathIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsOpenVpnImage(std::wstring_view full_image_path) {
  return SamePathIgnoringCase(FileNameOf(full_image_path), L"openvpn.exe");
}

LastResortAction DecideLastResort(bool still_running, std::optional<std::wstring_view> image_path) {
  if (!still_running) return LastResortAction::none;
  if (!image_path) return LastResortAction::skip_image_unknown;
  return IsOpenVpnImage(*image_path) ? LastResortAction::terminate
                                     : LastResortAction::skip_not_openvpn;
}

bool IsSweptStagingName(std::wstring_view name) {
  return name.size() > 4 && name.starts_with(L"ovpn-") &&
         (EndsWith(name, L".conf") || EndsWith(name, L".log"));
}

SecureDeleteAction DecideSecureDelete(uint32_t handle_attributes,
                                      std::optional<uint32_t> entry_attributes, uint32_t link_count,
                                      uint64_t size) {
  const uint32_t listed = entry_attributes.value_or(0);
  if (((handle_attributes | listed) & kAttributeReparsePoint) != 0) {
    return SecureDeleteAction::delete_only;
  }
  if (((handle_attributes | listed) & kAttributeDirectory) != 0) return SecureDeleteAction::leave;
  if (link_count == 1 && size >= 1 && size <= kMaxOverwriteBytes) {
    return SecureDeleteAction::overwrite_then_delete;
  }
  return SecureDeleteAction::delete_only;
}

uint64_t FileTimeToUnixMs(uint64_t filetime) {
  constexpr uint64_t kEpochDifference = 116444736000000000ULL;  // 1601 to 1970, 100 ns units
  return filetime < kEpochDifference ? 0 : (filetime - kEpochDifference) / 10000;
}

}  // namespace tovra::agent::openvpn
