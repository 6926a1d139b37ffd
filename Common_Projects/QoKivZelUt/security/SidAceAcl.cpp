#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"
#include "security/SidText.h"
#include "security/TokenPrivilege.h"

#include <aclapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <utility>

// ---------------------------------------------------------------- CZelSid

using ZelUt::detail::tokenInformation;

namespace {

// A SID of its own buffer (freed as the class frees its SIDs).
PSID fromFields(const ZelUt::SidFields& fields)
{
    SID_IDENTIFIER_AUTHORITY id;
    std::copy(fields.authority, fields.authority + 6, id.Value);
    BYTE count = static_cast<BYTE>(fields.subAuthorities.size());
    BYTE* buffer = new BYTE[GetSidLengthRequired(count)];
    InitializeSid(buffer, &id, count);
    for (BYTE i = 0; i < count; ++i)
        *GetSidSubAuthority(buffer, i) = fields.subAuthorities[i];
    return buffer;
}

} // namespace

PSID CZelSid::copyOf(PSID sid)
{
    if (!sid || !IsValidSid(sid))
        return nullptr;
    PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(sid);
    BYTE count = *GetSidSubAuthorityCount(sid);
    DWORD length = GetLengthSid(sid);
    BYTE* buffer = new BYTE[length];
    InitializeSid(buffer, authority, count);
    CopySid(length, buffer, sid);
    return buffer;
}

PSID CZelSid::Create(BYTE authority, const std::vector<DWORD>& subAuthorities)
{
    ZelUt::SidFields fields;
    fields.authority[5] = authority;
    fields.subAuthorities.assign(subAuthorities.begin(), subAuthorities.end());
    return fromFields(fields);
}

PSID CZelSid::Create(Authorities authority, const std::vector<DWORD>& subAuthorities)
{
    BYTE value = authority == NullAuthority || authority == WorldAuthority || authority == LocalAuthority ||
                         authority == CreatorAuthority
                     ? static_cast<BYTE>(authority)
                     : static_cast<BYTE>(NtAuthority);
    return Create(value, subAuthorities);
}

CZelSid::CZelSid(PSID sid) : m_sid(copyOf(sid)) {}
CZelSid::CZelSid(const CZelSid& other) : m_sid(copyOf(other.m_sid)) {}
CZelSid::CZelSid(CZelSid&& other) noexcept : m_sid(std::exchange(other.m_sid, nullptr)) {}
CZelSid::CZelSid(const wchar_t* text) : CZelSid(std::wstring(text ? text : L"")) {}

CZelSid::CZelSid(const std::wstring& text)
{
    if (text.empty())
        return;
    if (text.size() > 4 && _wcsnicmp(text.c_str(), L"S-1-", 4) == 0) {
        // Text that is not wholly a SID is none: it never stands for another one.
        ZelUt::SidFields fields;
        if (ZelUt::sidFromText(text, fields))
            m_sid = fromFields(fields);
        return;
    }
    std::wstring account = text.compare(0, 2, L".\\") == 0 ? text.substr(2) : text;
    DWORD sidSize = 128, domainSize = 25;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<BYTE> sid(sidSize);
        std::wstring domain(domainSize, L'\0');
        SID_NAME_USE use;
        if (LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sidSize, &domain[0], &domainSize, &use)) {
            m_sid = copyOf(sid.data());
            return;
        }
        ++sidSize;
        ++domainSize;
    }
}

CZelSid::CZelSid(WellKnownSid known)
{
    switch (known) {
    case World: m_sid = Create(WorldAuthority, {0}); break;
    case Guests: m_sid = Create(NtAuthority, {32, 546}); break;
    case Users: m_sid = Create(NtAuthority, {32, 545}); break;
    case PowerUsers: m_sid = Create(NtAuthority, {32, 547}); break;
    case AuthenticatedUsers: m_sid = Create(NtAuthority, {11}); break;
    case Administrators: m_sid = Create(NtAuthority, {32, 544}); break;
    case Null: m_sid = Create(NullAuthority, {0}); break;
    case LocalSystem: m_sid = Create(NtAuthority, {18}); break;
    default: break;
    }
}

CZelSid& CZelSid::operator=(CZelSid other) noexcept
{
    std::swap(m_sid, other.m_sid);
    return *this;
}

CZelSid::~CZelSid()
{
    delete[] static_cast<BYTE*>(m_sid);
}

bool CZelSid::IsValid() const
{
    return m_sid && IsValidSid(m_sid);
}

bool CZelSid::operator==(const CZelSid& other) const
{
    if (!m_sid || !other.m_sid)
        return !m_sid && !other.m_sid;
    return m_sid == other.m_sid || EqualSid(m_sid, other.m_sid);
}

std::wstring CZelSid::toString() const
{
    if (!IsValid())
        return std::wstring();
    ZelUt::SidFields fields;
    const SID_IDENTIFIER_AUTHORITY& authority = *GetSidIdentifierAuthority(m_sid);
    std::copy(authority.Value, authority.Value + 6, fields.authority);
    for (BYTE i = 0; i < *GetSidSubAuthorityCount(m_sid); ++i)
        fields.subAuthorities.push_back(*GetSidSubAuthority(m_sid, i));
    return ZelUt::sidText(fields);
}

bool CZelSid::lookup(const std::wstring& system, std::wstring& name, std::wstring& domain) const
{
    if (!IsValid())
        return false;
    DWORD nameSize = 0, domainSize = 0;
    SID_NAME_USE use;
    const wchar_t* host = system.empty() ? nullptr : system.c_str();
    LookupAccountSidW(host, m_sid, nullptr, &nameSize, nullptr, &domainSize, &use);
    if (nameSize == 0)
        return false;
    name.assign(nameSize, L'\0');
    domain.assign(domainSize + 1, L'\0');
    if (!LookupAccountSidW(host, m_sid, &name[0], &nameSize, &domain[0], &domainSize, &use))
        return false;
    name.resize(nameSize);
    domain.resize(domainSize);
    if (domain.empty())
        domain = L".";
    return true;
}

std::wstring CZelSid::GetName(const std::wstring& system) const
{
    std::wstring name, domain;
    return lookup(system, name, domain) ? name : std::wstring();
}

std::wstring CZelSid::GetDomain(const std::wstring& system) const
{
    std::wstring name, domain;
    return lookup(system, name, domain) ? domain : std::wstring();
}

std::wstring CZelSid::GetFQName(const std::wstring& system) const
{
    std::wstring name, domain;
    lookup(system, name, domain);
    return domain + L"\\" + name;
}

CZelSid CZelSid::FromTokenUser(HANDLE token)
{
    std::vector<BYTE> data = tokenInformation(token, TokenUser);
    return data.empty() ? CZelSid() : CZelSid(reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid);
}

CZelSid CZelSid::FromProcessUser(HANDLE process)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process ? process : GetCurrentProcess(), TOKEN_QUERY, &raw))
        return CZelSid();
    WinAPI::FileHandle token(raw);
    return FromTokenUser(token);
}

CZelSid CZelSid::FromThreadUser(HANDLE thread)
{
    HANDLE t = thread ? thread : GetCurrentThread();
    HANDLE raw = nullptr;
    if (!OpenThreadToken(t, TOKEN_QUERY, TRUE, &raw)) {
        DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN && !OpenThreadToken(t, TOKEN_QUERY, FALSE, &raw))
            error = GetLastError();
        if (!raw)
            return error == ERROR_NO_TOKEN ? FromProcessUser(nullptr) : CZelSid();
    }
    WinAPI::FileHandle token(raw);
    return FromTokenUser(token);
}

// ---------------------------------------------------------------- CZelAce

namespace {

struct AceLayout {
    ACE_HEADER header;
    DWORD mask;
    DWORD sidStart;
};

const AceLayout* layout(const BYTE* ace)
{
    return reinterpret_cast<const AceLayout*>(ace);
}

BYTE* copyAce(const void* raw)
{
    if (!raw)
        return nullptr;
    WORD size = static_cast<const ACE_HEADER*>(raw)->AceSize;
    BYTE* ace = new BYTE[size];
    memcpy(ace, raw, size);
    return ace;
}

} // namespace

CZelAce::CZelAce(const void* rawAce) : m_ace(copyAce(rawAce)) {}
CZelAce::CZelAce(const CZelAce& other) : m_ace(copyAce(other.m_ace)) {}
CZelAce::CZelAce(CZelAce&& other) noexcept : m_ace(std::exchange(other.m_ace, nullptr)) {}
CZelAce::CZelAce(PSID sid, DWORD mask, bool allow)
    : CZelAce(allow ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
              mask, sid)
{
}

CZelAce::CZelAce(BYTE type, BYTE flags, DWORD mask, PSID sid)
{
    if (!sid || !IsValidSid(sid))
        throw CZelException(1, L"Invalid SID in CZelAce constructor");
    DWORD sidLength = GetLengthSid(sid);
    WORD size = static_cast<WORD>(offsetof(AceLayout, sidStart) + sidLength);
    m_ace = new BYTE[size];
    AceLayout* ace = reinterpret_cast<AceLayout*>(m_ace);
    ace->header.AceType = type;
    ace->header.AceFlags = flags;
    ace->header.AceSize = size;
    ace->mask = mask;
    CopySid(sidLength, &ace->sidStart, sid);
}

CZelAce& CZelAce::operator=(CZelAce other) noexcept
{
    std::swap(m_ace, other.m_ace);
    return *this;
}

CZelAce::~CZelAce()
{
    delete[] m_ace;
}

CZelSid CZelAce::GetSid() const
{
    return m_ace ? CZelSid(const_cast<DWORD*>(&layout(m_ace)->sidStart)) : CZelSid();
}

DWORD CZelAce::GetAccessMask() const
{
    return m_ace ? layout(m_ace)->mask : 0;
}

BYTE CZelAce::GetAceType() const
{
    return m_ace ? layout(m_ace)->header.AceType : 0;
}

BYTE CZelAce::GetAceFlags() const
{
    return m_ace ? layout(m_ace)->header.AceFlags : 0;
}

WORD CZelAce::GetAceSize() const
{
    return m_ace ? layout(m_ace)->header.AceSize : 0;
}

bool CZelAce::operator==(const CZelAce& other) const
{
    if (!m_ace || !other.m_ace)
        return !m_ace && !other.m_ace;
    return GetAceType() == other.GetAceType() && GetAccessMask() == other.GetAccessMask() &&
           GetAceFlags() == other.GetAceFlags() && GetSid() == other.GetSid();
}

std::wstring CZelAce::toString() const
{
    wchar_t head[48];
    swprintf(head, 48, L"{%u-%u-0x%08lx-[", GetAceType(), GetAceFlags(), static_cast<unsigned long>(GetAccessMask()));
    return head + GetSid().toString() + L"]}";
}

void CZelAce::DumpToLog(int index) const
{
    ZEL_LOG_TRACE << L"Entry " << index << L": " << GetSid().toString();
    DWORD mask = GetAccessMask();
    for (int i = 0; i < 16; ++i)
        ZEL_LOG_TRACE << L"  Specific right " << i << L": " << ((mask & (1u << i)) ? L"yes" : L"no");
    static const std::pair<DWORD, const wchar_t*> rights[] = {
        {DELETE, L"DELETE"},           {READ_CONTROL, L"READ_CONTROL"},       {WRITE_DAC, L"WRITE_DAC"},
        {WRITE_OWNER, L"WRITE_OWNER"}, {SYNCHRONIZE, L"SYNCHRONIZE"},         {MAXIMUM_ALLOWED, L"MAXIMUM_ALLOWED"},
        {GENERIC_ALL, L"GENERIC_ALL"}, {GENERIC_EXECUTE, L"GENERIC_EXECUTE"}, {GENERIC_WRITE, L"GENERIC_WRITE"},
        {GENERIC_READ, L"GENERIC_READ"}};
    for (const auto& r : rights)
        ZEL_LOG_TRACE << L"  " << r.second << L": " << ((mask & r.first) ? L"yes" : L"no");
}

// ---------------------------------------------------------------- CZelAcl

namespace {

BYTE* newAcl(DWORD size, DWORD revision)
{
    BYTE* acl = new BYTE[size];
    if (!InitializeAcl(reinterpret_cast<PACL>(acl), size, revision)) {
        delete[] acl;
        return nullptr;
    }
    return acl;
}

// A byte copy of a valid source whose entries stay exactly as they are, with
// room for `extra` more bytes (all the source's free space when extra is 0).
BYTE* copyOfAcl(const ACL* source, DWORD extra)
{
    if (!source || !IsValidAcl(const_cast<PACL>(source)))
        return nullptr;
    ACL_SIZE_INFORMATION info;
    if (!GetAclInformation(const_cast<PACL>(source), &info, sizeof(info), AclSizeInformation))
        return nullptr;
    DWORD size = extra ? info.AclBytesInUse + extra : source->AclSize;
    BYTE* copy = new BYTE[size]();
    memcpy(copy, source, info.AclBytesInUse);
    reinterpret_cast<ACL*>(copy)->AclSize = static_cast<WORD>(size);
    return copy;
}

} // namespace

// A copy keeps the entries exactly in their order: rebuilding it through the
// adding rule would move denied entries and change the effective access.
CZelAcl::CZelAcl(const ACL* acl) : m_acl(copyOfAcl(acl, 0)) {}

CZelAcl::CZelAcl(const CZelAcl& other) : CZelAcl(reinterpret_cast<const ACL*>(other.m_acl)) {}
CZelAcl::CZelAcl(CZelAcl&& other) noexcept : m_acl(std::exchange(other.m_acl, nullptr)) {}
CZelAcl::CZelAcl(const std::wstring& text)
{
    parse(text);
}

CZelAcl& CZelAcl::operator=(CZelAcl other) noexcept
{
    std::swap(m_acl, other.m_acl);
    return *this;
}

CZelAcl& CZelAcl::operator=(const std::wstring& text)
{
    CZelAcl parsed(text);
    std::swap(m_acl, parsed.m_acl);
    return *this;
}

CZelAcl::~CZelAcl()
{
    delete[] m_acl;
}

bool CZelAcl::insert(const void* rawAce)
{
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(rawAce);
    PACL acl = reinterpret_cast<PACL>(m_acl);
    if (header->AceType != ACCESS_DENIED_ACE_TYPE || acl->AceCount == 0)
        return ::AddAce(acl, acl->AclRevision, MAXDWORD, const_cast<void*>(rawAce), header->AceSize) != FALSE;
    // In front of the entries there are: the entries move up by the new one's size.
    ACL_SIZE_INFORMATION info = {};
    if (!GetAclInformation(acl, &info, sizeof(info), AclSizeInformation))
        return false;
    if (info.AclBytesFree < header->AceSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return false;
    }
    BYTE* first = m_acl + sizeof(ACL);
    memmove(first + header->AceSize, first, info.AclBytesInUse - sizeof(ACL));
    memcpy(first, rawAce, header->AceSize);
    ++acl->AceCount;
    return true;
}

int CZelAcl::AddAce(const void* rawAce)
{
    if (!rawAce)
        return 0;
    WORD size = static_cast<const ACE_HEADER*>(rawAce)->AceSize;
    if (!m_acl && !(m_acl = newAcl(size + sizeof(ACL), ACL_REVISION)))
        return 0;
    // The free space is checked here as well: not every system reports a full
    // list with one of the errors below.
    ACL_SIZE_INFORMATION info = {};
    GetAclInformation(reinterpret_cast<PACL>(m_acl), &info, sizeof(info), AclSizeInformation);
    if (info.AclBytesFree >= size) {
        if (insert(rawAce))
            return 1;
        DWORD error = GetLastError();
        if (error != ERROR_ALLOTTED_SPACE_EXCEEDED && error != ERROR_INSUFFICIENT_BUFFER &&
            error != ERROR_NOT_ENOUGH_MEMORY && error != ERROR_OUTOFMEMORY)
            return 0;
    }
    // A larger list keeps the old entries as they stand; only the new one is placed by the rule.
    if (info.AclBytesInUse + size > 0xFFFF)
        return 0;
    CZelAcl grown;
    grown.m_acl = copyOfAcl(reinterpret_cast<const ACL*>(m_acl), size);
    if (!grown.m_acl || !grown.insert(rawAce))
        return 0;
    std::swap(m_acl, grown.m_acl);
    return 1;
}

int CZelAcl::AddAce(const CZelAce& ace)
{
    return AddAce(ace.get());
}

int CZelAcl::AddAce(BYTE type, BYTE flags, DWORD mask, PSID sid)
{
    return AddAce(CZelAce(type, flags, mask, sid));
}

int CZelAcl::GetAceCount() const
{
    return m_acl ? reinterpret_cast<const ACL*>(m_acl)->AceCount : 0;
}

CZelAce CZelAcl::GetAceAt(int index) const
{
    void* ace = nullptr;
    if (!m_acl || index < 0 || !GetAce(reinterpret_cast<PACL>(m_acl), index, &ace))
        return CZelAce();
    return CZelAce(static_cast<const void*>(ace));
}

bool CZelAcl::IsValid() const
{
    return m_acl && IsValidAcl(reinterpret_cast<PACL>(m_acl));
}

DWORD CZelAcl::GetEffectiveRights(PSID sid) const
{
    TRUSTEE_W trustee;
    BuildTrusteeWithSidW(&trustee, sid);
    ACCESS_MASK rights = 0;
    if (!m_acl || GetEffectiveRightsFromAclW(reinterpret_cast<PACL>(m_acl), &trustee, &rights) != ERROR_SUCCESS)
        return 0;
    return rights;
}

bool CZelAcl::operator==(const CZelAcl& other) const
{
    if (GetAceCount() != other.GetAceCount())
        return false;
    for (int i = 0; i < GetAceCount(); ++i)
        if (GetAceAt(i) != other.GetAceAt(i))
            return false;
    return true;
}

std::wstring CZelAcl::toString() const
{
    std::wstring text;
    for (int i = 0; i < GetAceCount(); ++i)
        text += (i ? L"-" : L"") + GetAceAt(i).toString();
    return text;
}

void CZelAcl::DumpToLog(const std::wstring& title) const
{
    ZEL_LOG_TRACE << std::wstring(60, L'=');
    ZEL_LOG_TRACE << title << L": " << GetAceCount() << L" entries " << toString();
    for (int i = 0; i < GetAceCount(); ++i)
        GetAceAt(i).DumpToLog(i);
    ZEL_LOG_TRACE << std::wstring(60, L'=');
}

void CZelAcl::parse(const std::wstring& text)
{
    size_t pos = 0;
    while (pos < text.size() && text[pos] == L'{') {
        size_t close = text.find(L'}', pos);
        if (close == std::wstring::npos)
            break;
        std::wstring body = text.substr(pos + 1, close - pos - 1);
        size_t open = body.find(L'['), end = body.find(L']');
        CZelSid sid(open != std::wstring::npos && end != std::wstring::npos && end > open
                        ? body.substr(open + 1, end - open - 1)
                        : std::wstring());
        unsigned short type = 0, flags = 0;
        unsigned long mask = 0x80000000;
        swscanf(body.c_str(), L"%hu-%hu-0x%lx-", &type, &flags, &mask);
        type = type > 255 ? 0 : type;
        // An entry whose SID cannot be read never widens access: it denies
        // everybody, or it is left out where it would allow.
        if (!sid.IsValid() && type == ACCESS_DENIED_ACE_TYPE)
            sid = CZelSid(CZelSid::World);
        if (sid.IsValid())
            AddAce(static_cast<BYTE>(type), static_cast<BYTE>(flags > 255 ? 0 : flags), mask, sid);
        else
            ZEL_LOG_WARNING << L"Security: the entry {" << body << L"} names no SID that can be read; left out";
        if (close + 1 >= text.size() || text[close + 1] != L'-')
            break;
        pos = close + 2;
    }
}
