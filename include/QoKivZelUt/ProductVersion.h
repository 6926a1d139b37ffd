// KivSetup::ProductVersion: major and minor number plus an optional build time.
#pragma once

#include "AtlBstr.h"
#include "Export.h"
#include "WinAPI.h"

#include <ostream>
#include <string>

struct _ProductVersionStruct {
    unsigned long major;
    unsigned long minor;
    unsigned long buildTimeLow;
    unsigned long buildTimeHigh;
};

namespace KivSetup {

class QOKIVZELUT_API ProductVersion {
public:
    ProductVersion();
    ProductVersion(unsigned long minor);
    ProductVersion(unsigned long major, unsigned long minor);
    ProductVersion(const _ProductVersionStruct& stored);
    // Takes the first "N" or "N.M" found anywhere in the text; throws
    // std::bad_cast when the text holds no decimal digit. Numbers too large
    // for 32 bits saturate at 4294967295.
    explicit ProductVersion(const std::wstring& text);
    ProductVersion(const ProductVersion&) = default;
    ProductVersion(ProductVersion&&) = default;
    ProductVersion& operator=(const ProductVersion&) = default;
    ProductVersion& operator=(ProductVersion&&) = default;
    ProductVersion& operator=(const _ProductVersionStruct& stored);

    unsigned long major() const { return m_major; }
    unsigned long minor() const { return m_minor; }
    const WinAPI::FileTime& buildTime() const { return m_buildTime; }
    void setBuildTime(const WinAPI::FileTime& time) { m_buildTime = time; }
    operator _ProductVersionStruct() const;

    explicit operator bool() const;
    // "major.minor", or the minor number alone when major is 0.
    std::wstring toString() const;
    ATL::CComBSTR toCComBSTR() const;

    bool operator==(const ProductVersion& o) const;
    bool operator!=(const ProductVersion& o) const { return !(*this == o); }
    bool operator<(const ProductVersion& o) const;
    bool operator>(const ProductVersion& o) const { return o < *this; }
    bool operator<=(const ProductVersion& o) const { return !(o < *this); }
    bool operator>=(const ProductVersion& o) const { return !(*this < o); }

private:
    unsigned long m_major;
    unsigned long m_minor;
    WinAPI::FileTime m_buildTime;
};

// toString(), then " (dd.mm.yyyy hh:mm:ss.mmmm)" when a build time is set.
QOKIVZELUT_API std::wostream& operator<<(std::wostream& out, const ProductVersion& v);
// The wide form in the thread's ANSI code page.
QOKIVZELUT_API std::ostream& operator<<(std::ostream& out, const ProductVersion& v);

} // namespace KivSetup
