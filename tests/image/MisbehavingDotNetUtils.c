/* A .NET utility that misbehaves on purpose, chosen by the assembly's file name:
   "timeout" runs 35 s, "malformed" writes a reference line without "||" and a
   name with a second line, "forged" a line with two "||", "endless" writes
   without end, "bomcrlf" answers like the real one (byte-order mark, CR LF; the reference
   resolving to the assembly itself), "emptypath" an unresolved reference,
   "failing" exits 3, "silent" exits 0 without a word, "lfonly" ends its lines with LF alone,
   "norefs" writes the byte-order mark alone (no references). */
#include <windows.h>
#include <wchar.h>

static void say(const wchar_t* text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)(wcslen(text) * sizeof(wchar_t)), &written, NULL);
}

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* argument = argc > 1 ? argv[1] : L"";
    const wchar_t* path = wcschr(argument, L':') ? wcschr(argument, L':') + 1 : L"";
    int names = wcsstr(argument, L"/getAssemblyName:") == argument;
    if (wcsstr(path, L"timeout")) {
        Sleep(35000);
        return 0;
    }
    if (wcsstr(path, L"failing"))
        return 3;
    if (wcsstr(path, L"silent"))
        return 0;
    say(L"\xfeff");
    if (wcsstr(path, L"norefs"))
        return 0;
    if (wcsstr(path, L"endless")) {
        for (;;)
            say(L"Good, Version=1.0.0.0||C:\\windows\\Good.dll\r\n");
    }
    if (wcsstr(path, L"forged")) {
        say(L"a||C:\\forged.dll||b\r\n");
    } else if (wcsstr(path, L"malformed") && names) {
        say(L"Good, Version=1.0.0.0\r\nFake||C:\\evil.dll\r\n");
    } else if (wcsstr(path, L"malformed")) {
        say(L"Good, Version=1.0.0.0||C:\\windows\r\nno separator here\r\n");
    } else if (wcsstr(path, L"emptypath")) {
        say(L"Gone, Version=1.0.0.0||\r\n");
    } else if (wcsstr(path, L"lfonly")) {
        say(L"Good, Version=1.0.0.0\n");
    } else if (names) {
        say(L"Good, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null\r\n");
    } else {
        say(L"Good, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null||");
        say(path);
        say(L"\r\n");
    }
    return 0;
}
