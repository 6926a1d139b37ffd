#include <QoKivZelUt/Guid.h>
#include <QoKivZelUt/ZelException.h>

#include "values/GuidConversion.h"

#include <objbase.h>
#include <rpc.h>

#include <cstring>

namespace {

unsigned short g_simpleGuidSequence = 0;

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
    ZelUt::GuidFields fields;
    if (!text.empty() && !ZelUt::guidFromText(text, fields))
        throw CZelException(ERROR_INVALID_PARAMETER, L"CGuid::fromString() failed");
    return ZelUt::toGuid(fields);
}

bool CGuid::isGuid(const std::wstring& text)
{
    ZelUt::GuidFields ignored;
    return text.empty() || ZelUt::guidFromText(text, ignored);
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
    return ZelUt::guidText(ZelUt::toFields(m_guid));
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
