// A minimal owning BSTR for toolchains without ATL. Only what this library's
// interfaces need: construction from text, copy, length and conversion.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>
#include <utility>

#if !defined(__ATLBASE_H__) && !defined(QKZ_HAVE_ATL)
namespace ATL {

class CComBSTR {
public:
    CComBSTR() : m_str(nullptr) {}
    CComBSTR(const wchar_t* text) : m_str(text ? ::SysAllocString(text) : nullptr) {}
    CComBSTR(const std::wstring& text)
        : m_str(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
    }
    CComBSTR(const CComBSTR& other)
        : m_str(other.m_str ? ::SysAllocStringLen(other.m_str, other.Length()) : nullptr)
    {
    }
    CComBSTR(CComBSTR&& other) noexcept : m_str(other.m_str) { other.m_str = nullptr; }
    CComBSTR& operator=(CComBSTR other) noexcept
    {
        std::swap(m_str, other.m_str);
        return *this;
    }
    ~CComBSTR() { ::SysFreeString(m_str); }

    unsigned int Length() const { return m_str ? ::SysStringLen(m_str) : 0; }
    operator BSTR() const { return m_str; }
    BSTR* operator&() { return &m_str; }
    BSTR Detach()
    {
        BSTR s = m_str;
        m_str = nullptr;
        return s;
    }
    bool operator!() const { return m_str == nullptr; }

    BSTR m_str;
};

} // namespace ATL
#endif
