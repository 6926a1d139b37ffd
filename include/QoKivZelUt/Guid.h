// CGuid: a Windows GUID value with text parsing, printing and ordering.
#pragma once

#include "AtlBstr.h"
#include "Export.h"

#include <guiddef.h>

#include <string>

class QOKIVZELUT_API CGuid {
public:
    CGuid();
    CGuid(const GUID& guid);
    CGuid(const std::wstring& text);
    CGuid(const wchar_t* text);
    CGuid(const ATL::CComBSTR& text);
    CGuid(const CGuid&) = default;
    CGuid(CGuid&&) = default;
    CGuid& operator=(const CGuid&) = default;
    CGuid& operator=(CGuid&&) = default;
    CGuid& operator=(const GUID& guid);
    CGuid& operator=(const std::wstring& text);
    CGuid& operator=(const wchar_t* text);
    CGuid& operator=(const ATL::CComBSTR& text);

    operator GUID() const { return m_guid; }
    operator GUID*() { return &m_guid; }

    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case.
    std::wstring toString() const;
    ATL::CComBSTR toCComBSTR() const;

    // True for the empty text and for exactly the texts the constructors accept.
    static bool isGuid(const std::wstring& text);
    static bool isGuid(const wchar_t* text);
    static bool isGuid(const ATL::CComBSTR& text);

    static CGuid createGuid();
    // Data1 = n, everything else 0.
    static CGuid simpleGuidFromInt(unsigned short n);
    // Data2 = max(n, counter); the process-wide counter then moves past it.
    // Not synchronised: callers on several threads serialise their calls.
    static CGuid nextSimpleGuidInSequence(unsigned short n);

    bool operator==(const CGuid& other) const;
    bool operator!=(const CGuid& other) const { return !(*this == other); }
    bool operator<(const CGuid& other) const;

private:
    static GUID fromString(const std::wstring& text);

    GUID m_guid;
};
