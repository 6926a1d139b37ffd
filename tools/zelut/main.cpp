#include "Command.h"

#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <exception>

namespace zelut {

namespace {

std::vector<Command>& registry()
{
    static std::vector<Command> all;
    return all;
}

void write(DWORD which, const std::wstring& text)
{
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(h, &mode)) {
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void printOverview()
{
    std::wstring text = L"usage: zelut COMMAND [ARGS...]\n       zelut COMMAND --help\n\ncommands:\n";
    std::vector<Command> sorted = registry();
    std::sort(sorted.begin(), sorted.end(), [](const Command& a, const Command& b) { return a.name < b.name; });
    for (const Command& c : sorted) {
        std::wstring name = c.name;
        name.resize(std::max<size_t>(name.size(), 12), L' ');
        text += L"  " + name + L" " + c.summary + L"\n";
    }
    text += L"\nexit codes: 0 ok/true, 1 false, 2 error\n";
    out(text);
}

bool isHelp(const std::wstring& a)
{
    return a == L"--help" || a == L"-h" || a == L"/?";
}

} // namespace

Registration::Registration(Command command)
{
    registry().push_back(std::move(command));
}

const std::vector<Command>& commands()
{
    return registry();
}

void out(const std::wstring& text)
{
    write(STD_OUTPUT_HANDLE, text);
}

void err(const std::wstring& text)
{
    write(STD_ERROR_HANDLE, text);
}

std::wstring readSecretLine()
{
    std::string bytes;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1 && c != '\n')
        bytes += c;
    if (!bytes.empty() && bytes.back() == '\r')
        bytes.pop_back();
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return text;
}

unsigned long parseNumber(const std::wstring& text, unsigned long maximum)
{
    bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const wchar_t* digits = hex ? L"0123456789abcdefABCDEF" : L"0123456789";
    size_t start = hex ? 2 : 0;
    if (text.size() == start || text.find_first_not_of(digits, start) != std::wstring::npos)
        throw UsageError{L"not a decimal or 0x-prefixed hexadecimal number: " + text};
    errno = 0;
    unsigned long long value = std::wcstoull(text.c_str() + start, nullptr, hex ? 16 : 10);
    if (errno == ERANGE || value > maximum)
        throw UsageError{L"number out of range (at most " + std::to_wstring(maximum) + L"): " + text};
    return static_cast<unsigned long>(value);
}

} // namespace zelut

int wmain(int argc, wchar_t** argv)
{
    using namespace zelut;
    Args args(argv + 1, argv + argc);
    if (args.empty() || isHelp(args[0])) {
        printOverview();
        return args.empty() ? kError : kTrue;
    }
    auto found = std::find_if(commands().begin(), commands().end(),
                              [&](const Command& c) { return c.name == args[0]; });
    if (found == commands().end()) {
        err(L"zelut: unknown command '" + args[0] + L"'; see zelut --help\n");
        return kError;
    }
    Args rest(args.begin() + 1, args.end());
    if (std::any_of(rest.begin(), rest.end(), isHelp)) {
        out(found->usage);
        return kTrue;
    }
    try {
        return found->run(rest);
    } catch (const UsageError& e) {
        err(L"zelut " + found->name + L": " + e.text + L"\n\n" + found->usage);
    } catch (const CZelException& e) {
        err(e.getFullText() + L"\n");
    } catch (const std::exception& e) {
        err(L"zelut " + found->name + L": " + std::wstring(e.what(), e.what() + strlen(e.what())) + L"\n");
    }
    return kError;
}
