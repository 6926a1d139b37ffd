#include <QoKivZelUt/ProductVersion.h>

#include "foundation/CodePage.h"
#include "values/VersionText.h"

#include <iomanip>
#include <sstream>
#include <typeinfo>

namespace KivSetup {

ProductVersion::ProductVersion() : m_major(0), m_minor(0) {}
ProductVersion::ProductVersion(unsigned long minor) : m_major(0), m_minor(minor) {}
ProductVersion::ProductVersion(unsigned long major, unsigned long minor) : m_major(major), m_minor(minor) {}

ProductVersion::ProductVersion(const _ProductVersionStruct& stored)
{
    *this = stored;
}

ProductVersion::ProductVersion(const std::wstring& text) : m_major(0), m_minor(0)
{
    ZelUt::ProductVersionValue value;
    if (!ZelUt::productVersionFromText(text, value))
        throw std::bad_cast();
    m_major = value.major;
    m_minor = value.minor;
}

ProductVersion& ProductVersion::operator=(const _ProductVersionStruct& stored)
{
    m_major = stored.major;
    m_minor = stored.minor;
    m_buildTime.dwLowDateTime = stored.buildTimeLow;
    m_buildTime.dwHighDateTime = stored.buildTimeHigh;
    return *this;
}

ProductVersion::operator _ProductVersionStruct() const
{
    return {m_major, m_minor, m_buildTime.dwLowDateTime, m_buildTime.dwHighDateTime};
}

ProductVersion::operator bool() const
{
    return m_major != 0 || m_minor != 0 || !m_buildTime.isZero();
}

std::wstring ProductVersion::toString() const
{
    return m_major != 0 ? std::to_wstring(m_major) + L"." + std::to_wstring(m_minor) : std::to_wstring(m_minor);
}

ATL::CComBSTR ProductVersion::toCComBSTR() const
{
    return ATL::CComBSTR(toString());
}

bool ProductVersion::operator==(const ProductVersion& o) const
{
    return m_major == o.m_major && m_minor == o.m_minor && m_buildTime == o.m_buildTime;
}

bool ProductVersion::operator<(const ProductVersion& o) const
{
    if (m_major != o.m_major)
        return m_major < o.m_major;
    if (m_minor != o.m_minor)
        return m_minor < o.m_minor;
    return m_buildTime.value() < o.m_buildTime.value();
}

std::wostream& operator<<(std::wostream& out, const ProductVersion& v)
{
    std::wostringstream text;
    text << v.toString();
    SYSTEMTIME t;
    if (!v.buildTime().isZero() && FileTimeToSystemTime(&v.buildTime(), &t)) {
        text << std::setfill(L'0') << L" (" << std::setw(2) << t.wDay << L'.' << std::setw(2) << t.wMonth << L'.'
             << std::setw(4) << t.wYear << L' ' << std::setw(2) << t.wHour << L':' << std::setw(2) << t.wMinute
             << L':' << std::setw(2) << t.wSecond << L'.' << std::setw(4) << t.wMilliseconds << L')';
    }
    return out << text.str();
}

std::ostream& operator<<(std::ostream& out, const ProductVersion& v)
{
    std::wostringstream wide;
    wide << v;
    return out << ZelUt::detail::toThreadAnsi(wide.str());
}

} // namespace KivSetup
