// ZelUt::CredentialsManager: the service account's user name and password in
// the registry of this or another machine, encrypted; the current store uses
// the data protection API, the legacy store the library's blob format.
#pragma once

#include "Export.h"
#include "WinAPI.h"

#include <string>
#include <string_view>

namespace ZelUt {

struct Credentials {
    std::wstring user;
    std::wstring password;
};

class QOKIVZELUT_API CredentialsManager {
public:
    static constexpr std::wstring_view newUserValueName = L"DsUserCredentials1";
    static constexpr std::wstring_view newPwdValueName = L"DsUserCredentials2";
    static constexpr std::wstring_view userValueName = L"Down";
    static constexpr std::wstring_view pwdValueName = L"Up";

    CredentialsManager();
    // The registry of another machine; empty for this one.
    explicit CredentialsManager(const std::wstring& machine);

    void setRootPath(const std::wstring& path) { m_rootPath = path; }
    std::wstring getRootPath() const { return m_rootPath; }

    void storeCredentials(const Credentials& credentials) const;
    // Throws 13 "IS user or pwd empty" when either decrypts to nothing.
    Credentials getCredentials() const;
    // Writes the legacy values and restricts the key to the administrators.
    void storeLegacyCredentials(const Credentials& credentials) const;
    Credentials getCredentialsFromLegacyStore() const;
    // Removes the legacy values (the key stays); nothing happens without the key.
    void deleteLegacyKeyStore() const;
    // Legacy store to current store; failures are logged, never thrown.
    void convertCredentialsEncryption() const;

private:
    WinAPI::RegKey createKey() const;
    WinAPI::RegKey openKey() const;
    std::wstring getUserInfoFromLegacyStore(const std::wstring& valueName) const;
    void deleteValue(const WinAPI::RegKey& key, const std::wstring& valueName) const;

    std::wstring m_rootPath;
    std::wstring m_machine;
};

} // namespace ZelUt
