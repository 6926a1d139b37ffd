#include <QoKivZelUt/Guid.h>
#include <QoKivZelUt/ZelException.h>

#include <objbase.h>
#include <rpc.h>

#include <cstring>

namespace {

unsigned short g_simpleGuidSequence = 0;

bool parsesWithoutBraces(const std::wstring& text, GUID& out)
{
    return UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text.c_str())), &out) == RPC_S_OK;
}

bool parsesWithBraces(const std::wstring& text, GUID& out)
{
    return SUCCEEDED(IIDFromString(text.c_str(), &out));
}

std::wstring fromBstr(const ATL::CComBSTR& text)
{
    return text.m_str ? std::wstring(text.m_str, text.Length()) : std::wstring();
}

} // namespace

CGuid::CGuid() : m_guid(GUID_NULL) {}
CGuid::CGuid(const GUID& guid) : m_guid(guid) {}
CGuid::CGuid(const std::wstring& text) : m_guid(fromString(text)) {}
CGuid::CGuid(const wchar_t* text) : m_guid(fromString(text ? text : L"")) {}
CGuid::CGuid(const ATL::CComBSTR& text) : m_guid(fromString(fromBstr(text))) {}

CGuid& CGuid::operator=(const GUID& guid)
{
    m_guid = guid;
    return *this;
}

CGuid& CGuid::operator=(const std::wstring& text)
{
    m_guid = fromString(text);
    return *this;
}

CGuid& CGuid::operator=(const wchar_t* text)
{
    m_guid = fromString(text ? text : L"");
    return *this;
}

CGuid& CGuid::operator=(const ATL::CComBSTR& text)
{
    m_guid = fromString(fromBstr(text));
    return *this;
}

GUID CGuid::fromString(const std::wstring& text)
{
    GUID guid = GUID_NULL;
    if (text.empty())
        return guid;
    // The parsers stop at an embedded NUL; such a text is not a GUID.
    if (text.find(L'\0') == std::wstring::npos && (parsesWithoutBraces(text, guid) || parsesWithBraces(text, guid)))
        return guid;
    if (GetLastError() == 0)
        SetLastError(ERROR_INVALID_PARAMETER);
    throw CZelException(GetLastError(), L"CGuid::fromString() failed");
}

bool CGuid::isGuid(const std::wstring& text)
{
    GUID ignored;
    return text.empty() ||
           (text.find(L'\0') == std::wstring::npos && (parsesWithoutBraces(text, ignored) || parsesWithBraces(text, ignored)));
}

bool CGuid::isGuid(const wchar_t* text)
{
    return isGuid(std::wstring(text ? text : L""));
}

bool CGuid::isGuid(const ATL::CComBSTR& text)
{
    return isGuid(fromBstr(text));
}

std::wstring CGuid::toString() const
{
    wchar_t text[40];
    if (StringFromGUID2(m_guid, text, 40) == 0)
        throw CZelException(GetLastError(), L"CGuid::toString() failed");
    return text;
}

ATL::CComBSTR CGuid::toCComBSTR() const
{
    return ATL::CComBSTR(toString());
}

CGuid CGuid::createGuid()
{
    GUID guid;
    RPC_STATUS status = UuidCreate(&guid);
    if (status != RPC_S_OK)
        throw CZelException(GetLastError(), L"CGuid::createGuid() failed");
    return CGuid(guid);
}

CGuid CGuid::simpleGuidFromInt(unsigned short n)
{
    GUID guid = GUID_NULL;
    guid.Data1 = n;
    return CGuid(guid);
}

CGuid CGuid::nextSimpleGuidInSequence(unsigned short n)
{
    unsigned short v = n > g_simpleGuidSequence ? n : g_simpleGuidSequence;
    g_simpleGuidSequence = static_cast<unsigned short>(v + 1);
    GUID guid = GUID_NULL;
    guid.Data2 = v;
    return CGuid(guid);
}

bool CGuid::operator==(const CGuid& other) const
{
    return std::memcmp(&m_guid, &other.m_guid, sizeof(GUID)) == 0;
}

bool CGuid::operator<(const CGuid& other) const
{
    RPC_STATUS status = RPC_S_OK;
    UUID a = m_guid, b = other.m_guid;
    return UuidCompare(&a, &b, &status) == -1;
}
