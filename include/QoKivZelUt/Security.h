// SIDs, ACEs, ACLs and security descriptors as owning value types with a text form.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <windows.h>

#include <string>
#include <vector>

class QOKIVZELUT_API CZelSid {
public:
    enum WellKnownSid {
        World = 0,
        Guests = 2,
        Users = 4,
        PowerUsers = 6,
        AuthenticatedUsers = 7,
        Administrators = 8,
        Null = 9,
        LocalSystem = 10,
    };

    CZelSid() = default;
    CZelSid(PSID sid);
    CZelSid(const CZelSid& other);
    CZelSid(CZelSid&& other) noexcept;
    // "S-1-..." text, or an account name looked up on this computer (".\" removed).
    CZelSid(const std::wstring& text);
    CZelSid(const wchar_t* text);
    CZelSid(WellKnownSid known);
    CZelSid& operator=(CZelSid other) noexcept;
    ~CZelSid();

    operator PSID() const { return m_sid; }
    bool IsValid() const;
    bool operator==(const CZelSid& other) const;
    bool operator!=(const CZelSid& other) const { return !(*this == other); }
    // "S-1-<authority>-<sub>...", empty for the empty SID.
    std::wstring toString() const;

    // Account lookups on the given computer (this one when empty); empty when the lookup fails.
    std::wstring GetName(const std::wstring& system = std::wstring()) const;
    std::wstring GetDomain(const std::wstring& system = std::wstring()) const;
    std::wstring GetFQName(const std::wstring& system = std::wstring()) const;

    static CZelSid FromTokenUser(HANDLE token);
    static CZelSid FromProcessUser(HANDLE process = nullptr);
    static CZelSid FromThreadUser(HANDLE thread = nullptr);

private:
    enum Authorities { NullAuthority = 0, WorldAuthority = 1, LocalAuthority = 2, CreatorAuthority = 3, NtAuthority = 5 };
    static PSID Create(Authorities authority, const std::vector<DWORD>& subAuthorities);
    static PSID Create(BYTE authority, const std::vector<DWORD>& subAuthorities);
    static PSID copyOf(PSID sid);
    bool lookup(const std::wstring& system, std::wstring& name, std::wstring& domain) const;

    PSID m_sid = nullptr;
};

class QOKIVZELUT_API CZelAce {
public:
    CZelAce() = default;
    // Copies a raw ACE; null gives the empty ACE.
    CZelAce(const void* rawAce);
    CZelAce(const CZelAce& other);
    CZelAce(CZelAce&& other) noexcept;
    // Allowed (type 0) or denied (type 1), inherited by objects and containers.
    CZelAce(PSID sid, DWORD mask, bool allow);
    // Throws code 1 for a missing or invalid SID.
    CZelAce(BYTE type, BYTE flags, DWORD mask, PSID sid);
    CZelAce& operator=(CZelAce other) noexcept;
    ~CZelAce();

    const void* get() const { return m_ace; }
    CZelSid GetSid() const;
    DWORD GetAccessMask() const;
    BYTE GetAceType() const;
    BYTE GetAceFlags() const;
    WORD GetAceSize() const;
    bool operator==(const CZelAce& other) const;
    bool operator!=(const CZelAce& other) const { return !(*this == other); }
    // "{type-flags-0xmask-[sid]}"
    std::wstring toString() const;
    void DumpToLog(int index) const;

private:
    BYTE* m_ace = nullptr;
};

class QOKIVZELUT_API CZelAcl {
public:
    CZelAcl() = default;
    CZelAcl(const ACL* acl);
    CZelAcl(const CZelAcl& other);
    CZelAcl(CZelAcl&& other) noexcept;
    // ACE texts of toString() joined by "-".
    CZelAcl(const std::wstring& text);
    CZelAcl& operator=(CZelAcl other) noexcept;
    CZelAcl& operator=(const std::wstring& text);
    ~CZelAcl();

    operator PACL() const { return reinterpret_cast<PACL>(m_acl); }
    // Denied entries go first, all others last. Nonzero on success.
    int AddAce(const CZelAce& ace);
    int AddAce(const void* rawAce);
    int AddAce(BYTE type, BYTE flags, DWORD mask, PSID sid);
    int GetAceCount() const;
    CZelAce GetAceAt(int index) const;
    bool IsValid() const;
    DWORD GetEffectiveRights(PSID sid) const;
    bool operator==(const CZelAcl& other) const;
    bool operator!=(const CZelAcl& other) const { return !(*this == other); }
    std::wstring toString() const;
    void DumpToLog(const std::wstring& title) const;

private:
    void parse(const std::wstring& text);
    bool insert(const void* rawAce);

    BYTE* m_acl = nullptr;
};

// A security descriptor kept in self-relative form. Failures throw CZelException.
class QOKIVZELUT_API CZelSecurityDescriptor {
public:
    CZelSecurityDescriptor() = default;
    CZelSecurityDescriptor(PSECURITY_DESCRIPTOR sd);
    CZelSecurityDescriptor(const CZelSecurityDescriptor&) = default;
    CZelSecurityDescriptor(CZelSecurityDescriptor&&) = default;
    CZelSecurityDescriptor& operator=(const CZelSecurityDescriptor&) = default;
    CZelSecurityDescriptor& operator=(CZelSecurityDescriptor&&) = default;

    // Owner, group and DACL of a file or directory.
    static CZelSecurityDescriptor fromFile(const WinPath& path);
    // Owner, group and DACL of a window station or desktop.
    static CZelSecurityDescriptor fromUserObject(HANDLE object);
    // Owner, group and DACL of a registry key or kernel object.
    static CZelSecurityDescriptor fromRegistryKey(HKEY key);
    static CZelSecurityDescriptor fromKernelObject(HANDLE object);
    static CZelSecurityDescriptor fromSddl(const std::wstring& sddl);
    // For a directory made in a place others may write to: a protected DACL
    // that gives the system, the administrators and the calling thread's
    // account full access to it and everything below, and nobody else any.
    static CZelSecurityDescriptor forCallerAlone();

    // Writes the owner (when set) and the DACL to the object.
    void applyToFile(const WinPath& path) const;
    void applyToRegistryKey(HKEY key) const;
    void applyToKernelObject(HANDLE object) const;

    PSECURITY_DESCRIPTOR getSD() const;
    bool empty() const { return m_sd.empty(); }
    std::wstring toSddl() const;
    CZelAcl getDacl() const;
    CZelAcl getSacl() const;
    CZelSid getOwner() const;
    CZelSid getPrimaryGroup() const;
    void setDacl(const CZelAcl& dacl);
    void setSacl(const CZelAcl& sacl);
    void setOwner(const CZelSid& owner);
    void setPrimaryGroup(const CZelSid& group);

private:
    enum class Part { Dacl, Sacl, Owner, Group };
    void initIfNull();
    void setPart(Part part, const void* value);
    SECURITY_INFORMATION presentParts() const;

    std::vector<BYTE> m_sd;
};
