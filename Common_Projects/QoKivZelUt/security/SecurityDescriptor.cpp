#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/ErrorText.h"

#include <aclapi.h>
#include <sddl.h>

using ZelUt::detail::throwLastError;

namespace {

const SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Calls query(buffer, size, &needed) once for the size and once for the data.
template <class Query>
std::vector<BYTE> fetchDescriptor(Query query, const std::wstring& failure)
{
    DWORD needed = 0;
    query(nullptr, 0, &needed);
    if (needed == 0)
        throwLastError(failure);
    std::vector<BYTE> sd(needed);
    if (!query(sd.data(), needed, &needed))
        throwLastError(failure);
    return sd;
}

std::vector<BYTE> selfRelativeCopy(PSECURITY_DESCRIPTOR sd)
{
    if (!sd)
        return {};
    if (!IsValidSecurityDescriptor(sd)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        throwLastError(L"Could not copy security descriptor");
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    if (control & SE_SELF_RELATIVE) {
        DWORD length = GetSecurityDescriptorLength(sd);
        const BYTE* bytes = static_cast<const BYTE*>(sd);
        return std::vector<BYTE>(bytes, bytes + length);
    }
    DWORD size = 0;
    MakeSelfRelativeSD(sd, nullptr, &size);
    std::vector<BYTE> copy(size);
    if (size == 0 || !MakeSelfRelativeSD(sd, copy.data(), &size))
        throwLastError(L"Could not copy security descriptor");
    return copy;
}

void throwStatus(DWORD status, const std::wstring& message)
{
    if (status != ERROR_SUCCESS)
        throw CZelException(status, message);
}

} // namespace

CZelSecurityDescriptor::CZelSecurityDescriptor(PSECURITY_DESCRIPTOR sd) : m_sd(selfRelativeCopy(sd)) {}

CZelSecurityDescriptor CZelSecurityDescriptor::fromFile(const WinPath& path)
{
    CZelSecurityDescriptor sd;
    sd.m_sd = fetchDescriptor(
        [&](BYTE* b, DWORD n, DWORD* need) { return GetFileSecurityW(path.str().c_str(), kOwnerGroupDacl, b, n, need); },
        L"Could not get security information from " + path.str());
    return sd;
}

CZelSecurityDescriptor CZelSecurityDescriptor::fromUserObject(HANDLE object)
{
    CZelSecurityDescriptor sd;
    SECURITY_INFORMATION what = kOwnerGroupDacl;
    sd.m_sd = fetchDescriptor([&](BYTE* b, DWORD n, DWORD* need) { return GetUserObjectSecurity(object, &what, b, n, need); },
                              L"Could not get security information from user object");
    return sd;
}

CZelSecurityDescriptor CZelSecurityDescriptor::fromKernelObject(HANDLE object)
{
    CZelSecurityDescriptor sd;
    sd.m_sd = fetchDescriptor(
        [&](BYTE* b, DWORD n, DWORD* need) { return GetKernelObjectSecurity(object, kOwnerGroupDacl, b, n, need); },
        L"Could not get security information from kernel object");
    return sd;
}

CZelSecurityDescriptor CZelSecurityDescriptor::fromRegistryKey(HKEY key)
{
    DWORD size = 0;
    LONG status = RegGetKeySecurity(key, kOwnerGroupDacl, nullptr, &size);
    if (status != ERROR_INSUFFICIENT_BUFFER)
        throwStatus(status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status,
                    L"Could not get security information from registry key");
    CZelSecurityDescriptor sd;
    sd.m_sd.resize(size);
    throwStatus(RegGetKeySecurity(key, kOwnerGroupDacl, sd.m_sd.data(), &size),
                L"Could not get security information from registry key");
    return sd;
}

CZelSecurityDescriptor CZelSecurityDescriptor::fromSddl(const std::wstring& sddl)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
        throwLastError(L"Could not parse security descriptor " + sddl);
    WinAPI::LocalMemory release(raw);
    return CZelSecurityDescriptor(raw);
}

CZelSecurityDescriptor CZelSecurityDescriptor::forCallerAlone()
{
    CZelSid caller = CZelSid::FromThreadUser();
    if (!caller.IsValid())
        throwLastError(L"Could not read the account a private directory is made for");
    return fromSddl(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + caller.toString() + L")");
}

SECURITY_INFORMATION CZelSecurityDescriptor::presentParts() const
{
    SECURITY_INFORMATION parts = 0;
    if (getOwner().IsValid())
        parts |= OWNER_SECURITY_INFORMATION;
    if (getPrimaryGroup().IsValid())
        parts |= GROUP_SECURITY_INFORMATION;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!m_sd.empty() && GetSecurityDescriptorDacl(getSD(), &present, &dacl, &defaulted) && present)
        parts |= DACL_SECURITY_INFORMATION;
    return parts;
}

void CZelSecurityDescriptor::applyToFile(const WinPath& path) const
{
    if (!SetFileSecurityW(path.str().c_str(), presentParts(), getSD()))
        throwLastError(L"Could not set security information to " + path.str());
}

void CZelSecurityDescriptor::applyToRegistryKey(HKEY key) const
{
    throwStatus(RegSetKeySecurity(key, presentParts(), getSD()), L"Could not set security information to registry key");
}

void CZelSecurityDescriptor::applyToKernelObject(HANDLE object) const
{
    if (!SetKernelObjectSecurity(object, presentParts(), getSD()))
        throwLastError(L"Could not set security information to kernel object");
}

PSECURITY_DESCRIPTOR CZelSecurityDescriptor::getSD() const
{
    return m_sd.empty() ? nullptr : const_cast<BYTE*>(m_sd.data());
}

std::wstring CZelSecurityDescriptor::toSddl() const
{
    if (m_sd.empty())
        return std::wstring();
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(getSD(), SDDL_REVISION_1, presentParts(), &text, nullptr))
        throwLastError(L"Could not convert security descriptor to text");
    WinAPI::LocalMemory release(text);
    return std::wstring(text);
}

CZelAcl CZelSecurityDescriptor::getDacl() const
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (m_sd.empty())
        return CZelAcl();
    if (!GetSecurityDescriptorDacl(getSD(), &present, &acl, &defaulted))
        throwLastError(L"Could not extract DACL from Security Descriptor");
    return present ? CZelAcl(acl) : CZelAcl();
}

CZelAcl CZelSecurityDescriptor::getSacl() const
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (m_sd.empty())
        return CZelAcl();
    if (!GetSecurityDescriptorSacl(getSD(), &present, &acl, &defaulted))
        throwLastError(L"Could not extract SACL from Security Descriptor");
    return present ? CZelAcl(acl) : CZelAcl();
}

CZelSid CZelSecurityDescriptor::getOwner() const
{
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    if (m_sd.empty())
        return CZelSid();
    if (!GetSecurityDescriptorOwner(getSD(), &sid, &defaulted))
        throwLastError(L"Could not extract owner from Security Descriptor");
    return CZelSid(sid);
}

CZelSid CZelSecurityDescriptor::getPrimaryGroup() const
{
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    if (m_sd.empty())
        return CZelSid();
    if (!GetSecurityDescriptorGroup(getSD(), &sid, &defaulted))
        throwLastError(L"");
    return CZelSid(sid);
}

void CZelSecurityDescriptor::initIfNull()
{
    if (!m_sd.empty())
        return;
    SECURITY_DESCRIPTOR absolute;
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION))
        throwLastError(L"Could not initialize Security Descriptor");
    m_sd = selfRelativeCopy(&absolute);
}

void CZelSecurityDescriptor::setPart(Part part, const void* value)
{
    initIfNull();
    DWORD sdSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    MakeAbsoluteSD(getSD(), nullptr, &sdSize, nullptr, &daclSize, nullptr, &saclSize, nullptr, &ownerSize, nullptr,
                   &groupSize);
    std::vector<BYTE> sd(std::max<DWORD>(sdSize, sizeof(SECURITY_DESCRIPTOR))), dacl(daclSize), sacl(saclSize),
        owner(ownerSize), group(groupSize);
    if (!MakeAbsoluteSD(getSD(), sd.data(), &sdSize, reinterpret_cast<PACL>(dacl.data()), &daclSize,
                        reinterpret_cast<PACL>(sacl.data()), &saclSize, owner.data(), &ownerSize, group.data(),
                        &groupSize))
        throwLastError(L"Could not create absolute copy of security descriptor");
    PSECURITY_DESCRIPTOR absolute = sd.data();
    PACL acl = static_cast<PACL>(const_cast<void*>(value));
    PSID sid = const_cast<void*>(value);
    switch (part) {
    case Part::Dacl:
        if (!SetSecurityDescriptorDacl(absolute, TRUE, acl, FALSE))
            throwLastError(L"Could not set DACL to Security Descriptor");
        break;
    case Part::Sacl:
        if (!SetSecurityDescriptorSacl(absolute, TRUE, acl, FALSE))
            throwLastError(L"Could not set SACL to Security Descriptor");
        break;
    case Part::Owner:
        if (!SetSecurityDescriptorOwner(absolute, sid, FALSE))
            throwLastError(L"Could not set owner to Security Descriptor");
        break;
    case Part::Group:
        if (!SetSecurityDescriptorGroup(absolute, sid, FALSE))
            throwLastError(L"Could not set group to Security Descriptor");
        break;
    }
    m_sd = selfRelativeCopy(absolute);
}

// A list without entries is an empty DACL, which grants nobody anything: set
// as a null DACL it would grant everybody everything.
void CZelSecurityDescriptor::setDacl(const CZelAcl& dacl)
{
    ACL empty;
    PACL list = static_cast<PACL>(dacl);
    if (!list) {
        if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION))
            throwLastError(L"Could not set DACL to Security Descriptor");
        list = &empty;
    }
    setPart(Part::Dacl, list);
}

void CZelSecurityDescriptor::setSacl(const CZelAcl& sacl)
{
    setPart(Part::Sacl, static_cast<PACL>(sacl));
}

void CZelSecurityDescriptor::setOwner(const CZelSid& owner)
{
    setPart(Part::Owner, static_cast<PSID>(owner));
}

void CZelSecurityDescriptor::setPrimaryGroup(const CZelSid& group)
{
    setPart(Part::Group, static_cast<PSID>(group));
}
