// Token information and privileges: the one implementation the token classes,
// the SID lookups and the process runner share.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ZelUt {
namespace detail {

// The token's information of one class (size query first); empty on failure.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what);

// Enables or disables one privilege on the token, logging as the token
// classes do; a privilege the token does not hold is a failure.
bool setTokenPrivilege(HANDLE token, const std::wstring& name, bool enable);

// Logs a warning and returns false when the privilege cannot be enabled.
bool enableOwnPrivilege(const wchar_t* privilegeName);

} // namespace detail
} // namespace ZelUt
