// Enabling a privilege in the calling process's own token.
#pragma once

namespace ZelUt {
namespace detail {

// Logs a warning and returns false when the privilege cannot be enabled.
bool enableOwnPrivilege(const wchar_t* privilegeName);

} // namespace detail
} // namespace ZelUt
