#include <QoKivZelUt/Credentials.h>
#include <QoKivZelUt/Crypto.h>
#include <QoKivZelUt/Security.h>

#include "foundation/Log.h"
#include "integrity/CryptoBlob.h"
#include "network/RemoteMachineApi.h"

namespace ZelUt {

namespace {

const wchar_t* const kDefaultRoot = L"Software\\KIV\\QoKivSetup\\QoKivSetupDs\\UData";

std::wstring name(std::wstring_view view)
{
    return std::wstring(view);
}

std::vector<unsigned char> rawValue(const WinAPI::RegKey& key, std::wstring_view valueName)
{
    WinAPI::RegValue value = WinAPI::regQueryValueEx(key, name(valueName));
    return std::vector<unsigned char>(value.data.begin(), value.data.end());
}

void setBinary(const WinAPI::RegKey& key, std::wstring_view valueName, const std::vector<unsigned char>& bytes)
{
    WinAPI::RegValue value;
    value.name = name(valueName);
    value.type = REG_BINARY;
    value.data.assign(bytes.begin(), bytes.end());
    WinAPI::regSetValueEx(key, value.name, value);
}

Credentials checked(Credentials credentials)
{
    if (credentials.user.empty() || credentials.password.empty())
        throw CZelException(ERROR_INVALID_DATA, L"IS user or pwd empty");
    return credentials;
}

} // namespace

CredentialsManager::CredentialsManager() : m_rootPath(kDefaultRoot) {}

CredentialsManager::CredentialsManager(const std::wstring& machine) : m_rootPath(kDefaultRoot), m_machine(machine) {}

WinAPI::RegKey CredentialsManager::createKey() const
{
    WinAPI::RegKey machine = remoteMachineApi().connectRegistry(m_machine);
    return WinAPI::regCreateKeyEx(machine, m_rootPath);
}

WinAPI::RegKey CredentialsManager::openKey() const
{
    WinAPI::RegKey machine = remoteMachineApi().connectRegistry(m_machine);
    return WinAPI::regOpenKeyEx(machine, m_rootPath, KEY_READ);
}

void CredentialsManager::storeCredentials(const Credentials& credentials) const
{
    WinAPI::RegKey key = createKey();
    setBinary(key, newUserValueName, WinAPI::protectString(credentials.user));
    setBinary(key, newPwdValueName, WinAPI::protectString(credentials.password));
}

Credentials CredentialsManager::getCredentials() const
{
    WinAPI::RegKey key = openKey();
    return checked({WinAPI::unprotectString(rawValue(key, newUserValueName)),
                    WinAPI::unprotectString(rawValue(key, newPwdValueName))});
}

// The key is restricted to the administrators before anything is written to
// it: the values never sit under the security it inherited.
void CredentialsManager::storeLegacyCredentials(const Credentials& credentials) const
{
    WinAPI::RegKey key = createKey();
    CZelSid administrators(CZelSid::Administrators);
    CZelAcl dacl;
    dacl.AddAce(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL, administrators);
    CZelSecurityDescriptor descriptor;
    descriptor.setOwner(administrators);
    descriptor.setDacl(dacl);
    LONG status = ::RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor.getSD());
    if (status != ERROR_SUCCESS)
        throw CZelException(static_cast<unsigned long>(status), L"Could not change reg key security for Service Credentials.");
    setBinary(key, userValueName, ZelCrypto::encryptString(credentials.user));
    setBinary(key, pwdValueName, ZelCrypto::encryptString(credentials.password));
}

std::wstring CredentialsManager::getUserInfoFromLegacyStore(const std::wstring& valueName) const
{
    WinAPI::RegKey key = openKey();
    return ZelCrypto::decryptBlob(rawValue(key, valueName));
}

Credentials CredentialsManager::getCredentialsFromLegacyStore() const
{
    return checked({getUserInfoFromLegacyStore(name(userValueName)), getUserInfoFromLegacyStore(name(pwdValueName))});
}

void CredentialsManager::deleteValue(const WinAPI::RegKey& key, const std::wstring& valueName) const
{
    try {
        WinAPI::regDeleteValue(key, valueName);
    } catch (const CZelException& e) {
        ZEL_LOG_WARNING << L"Could not delete registry value " << valueName << L": " << e;
    }
}

// The key is looked for on the machine the manager works on.
void CredentialsManager::deleteLegacyKeyStore() const
{
    try {
        openKey();
    } catch (const CZelException&) {
        return;
    }
    WinAPI::RegKey key = createKey();
    deleteValue(key, name(userValueName));
    deleteValue(key, name(pwdValueName));
}

// Only values the legacy reading gives back exactly are converted: the
// conversion deletes them, and a password read with characters altered would
// be lost for good.
void CredentialsManager::convertCredentialsEncryption() const
{
    try {
        WinAPI::RegKey key = openKey();
        Credentials legacy;
        bool exact = crypto::legacyText(crypto::decryptToBytes(rawValue(key, userValueName)), legacy.user);
        exact = crypto::legacyText(crypto::decryptToBytes(rawValue(key, pwdValueName)), legacy.password) && exact;
        legacy = checked(legacy);
        if (!exact) {
            ZEL_LOG_WARNING << L"IS-Cred not converted: the legacy values hold characters their format does not "
                               L"give back exactly; they are kept";
            return;
        }
        ZEL_LOG_INFO << L"Read new IS-Cred configuration";
        storeCredentials(legacy);
        deleteLegacyKeyStore();
    } catch (const CZelException&) {
        ZEL_LOG_INFO << L"IS-Cred not updated";
    }
}

} // namespace ZelUt
