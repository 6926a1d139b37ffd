// CZelException: the one exception type of the library. Defined whole here so
// that callers build, catch and copy it without importing anything.
#pragma once

#include <windows.h>

#include <exception>
#include <ostream>
#include <string>

class CZelException : public std::exception {
public:
    CZelException(unsigned long errorCode, const wchar_t* message)
        : std::exception(), m_errorCode(errorCode), m_message(message ? message : L""),
          m_text(toThreadAnsi(composeFullText(m_errorCode, m_message)))
    {
    }

    CZelException(unsigned long errorCode, const std::wstring& message)
        : std::exception(), m_errorCode(errorCode), m_message(message),
          m_text(toThreadAnsi(composeFullText(m_errorCode, m_message)))
    {
    }

    CZelException(const CZelException&) = default;
    CZelException& operator=(const CZelException&) = default;
    ~CZelException() override {}

    // The full text in the thread's ANSI code page, as composed at construction.
    const char* what() const noexcept override { return m_text.c_str(); }

    unsigned long getErrorCode() const { return m_errorCode; }
    const std::wstring& getMessage() const { return m_message; }

    // message + " Error message: " + the system text of the code.
    std::wstring getFullText() const { return composeFullText(m_errorCode, m_message); }

    // The system's English sentence for the code on one line, then
    // "Error code 0x%08x (%u).".
    static std::wstring getSystemErrorText(unsigned long code)
    {
        std::wstring text = systemMessage(code, 0x409);
        if (text.empty())
            text = systemMessage(code, 0);
        if (text.empty())
            text = L"No message text available. ";
        else
            text += L' ';
        wchar_t tail[64];
        wsprintfW(tail, L"Error code 0x%08lx (%lu).", code, code);
        return text + tail;
    }

private:
    static std::wstring composeFullText(unsigned long code, const std::wstring& message)
    {
        return message + L" Error message: " + getSystemErrorText(code);
    }

    // The system text with every CR and LF removed; empty when there is none.
    static std::wstring systemMessage(unsigned long code, DWORD language)
    {
        wchar_t* buffer = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0,
                                 nullptr);
        std::wstring text;
        if (n != 0 && buffer) {
            text.reserve(n);
            for (DWORD i = 0; i < n; ++i)
                if (buffer[i] != L'\r' && buffer[i] != L'\n')
                    text += buffer[i];
        }
        if (buffer)
            LocalFree(buffer);
        return text;
    }

    static std::string toThreadAnsi(const std::wstring& text)
    {
        if (text.empty())
            return std::string();
        int size = static_cast<int>(text.size());
        int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
        if (n <= 0)
            return std::string();
        std::string out(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, &out[0], n, nullptr, nullptr);
        return out;
    }

    unsigned long m_errorCode;
    std::wstring m_message;
    std::string m_text;
};

inline std::wostream& operator<<(std::wostream& out, const CZelException& e)
{
    return out << e.getFullText();
}
