#include "common/ipc/pipe_owner_win.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/security/caller_identity_win.h"
#include "common/win/handles_win.h"
#include "common/ipc/pipe_owner.h"

namespace tovra::common {

namespace {

SidLookup SidText(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid))
    return {std::nullopt, {ERROR_INVALID_SID, L"IsValidSid"}};
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) {
    return {std::nullopt, {::GetLastError(), L"ConvertSidToStringSidW"}};
  }
  UniqueLocal owner(text);
  return {std::wstring(text), {}};
}

std::optional<std::wstring> TokenOwnerSid(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::vector<uint8_t> buffer(size, 0);
  if (!::GetTokenInformation(token, TokenOwner, buffer.data(), size, &size)) return std::nullopt;
  return SidText(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner).sid;
}

}  // namespace

SidLookup GetPipeOwnerSid(HANDLE pipe) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                        nullptr, nullptr, nullptr, &descriptor);
  UniqueLocal descriptor_owner(descriptor);
  if (error != ERROR_SUCCESS) return {std::nullopt, {error, L"GetSecurityInfo"}};
  return SidText(owner);
}

std::vector<std::wstring> GetOwnOwnerSids() {
  std::vector<std::wstring> out;
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return out;
  UniqueHandle token(raw);
  if (SidLookup user = GetTokenUserSid(token.get()); user.sid) out.push_back(*user.sid);
  if (auto owner = TokenOwnerSid(token.get())) out.push_back(*owner);
  return out;
}

ServerPipeVerdict IsTrustedServerPipe(HANDLE pipe) {
  const std::vector<std::wstring> own = GetOwnOwnerSids();
  const SidLookup owner = GetPipeOwnerSid(pipe);
  return {IsTrustedPipeOwner(owner.sid, own), owner.error};
}

}  // namespace tovra::common
