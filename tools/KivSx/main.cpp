// KivSx: the self-extractor stub. A setup is this program with a cabinet
// appended; run, it extracts the cabinet behind its own image.
//   KivSx [--target DIR] [--run PROGRAM [ARGUMENTS...]]
// --target  where to extract (created when missing); default: a new folder in
//           the user's temporary directory that only this account, the system
//           and the administrators may use
// --run     a program of the extracted folder to start when done (a relative
//           name is taken from there, never searched for); KivSx waits for it
//           and exits with its exit code
// Exit codes: 0 done, 2 bad command line, 3 no cabinet attached, 4 the cabinet
// cannot be extracted (damaged, destination not writable), 5 the program to
// run cannot be started. Each failure is explained on standard error.
#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelException.h>

#include "foundation/ErrorText.h"

#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void print(FILE* stream, const std::wstring& text)
{
    std::string bytes = WinAPI::toUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

struct Printer : ZelCabExtractor::ICallback {
    void onFileExtracted(const WinPath& path) override { print(stdout, L"  " + path.str() + L"\n"); }
    void onDirectoryCreated(const WinPath&) override {}
};

// A new folder in the temporary directory, made here and only readable by this
// account, the system and the administrators: a service's temporary directory
// lets every user add files to what is made in it, and a library put beside the
// program run afterwards would be loaded by it.
// Empty, explained on standard error, when it cannot be made.
WinPath createDefaultTarget()
{
    GUID guid;
    CoCreateGuid(&guid);
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    WinPath target = WinAPI::getTempPath() / (std::wstring(L"KivSx-") + std::wstring(text + 1, 36));
    try {
        CZelSecurityDescriptor security = CZelSecurityDescriptor::forCallerAlone();
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.getSD(), FALSE};
        if (!CreateDirectoryW(target.str().c_str(), &attributes))
            ZelUt::detail::throwLastError(L"Could not create " + target.str());
    } catch (const CZelException& e) {
        print(stderr, L"KivSx: no folder to extract into: " + e.getFullText() + L"\n");
        return WinPath();
    }
    return target;
}

// The program named, taken from the extracted folder when it is relative: a
// search would look beside the downloaded setup and in the current directory
// first, where anybody may have put a program of that name.
int run(const WinPath& folder, const std::vector<std::wstring>& command)
{
    WinPath program(command.front());
    if (!program.isAbsolute())
        program = folder / program;
    std::wstring line = ZelUt::quoteArgument(program.str());
    for (size_t i = 1; i < command.size(); ++i)
        line += L" " + ZelUt::quoteArgument(command[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.str().c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, folder.str().c_str(),
                        &startup, &info)) {
        print(stderr, L"KivSx: cannot start " + line + L": " + CZelException::getSystemErrorText(GetLastError()) + L"\n");
        return 5;
    }
    WinAPI::FileHandle process(info.hProcess), thread(info.hThread);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return static_cast<int>(code);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Whatever is loaded later comes from the system directory only.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    WinPath target;
    std::vector<std::wstring> program;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--target" && i + 1 < argc && program.empty()) {
            target = WinPath(argv[++i]);
        } else if (a == L"--run" && i + 1 < argc) {
            program.assign(argv + i + 1, argv + argc);
            break;
        } else {
            print(stderr, L"usage: KivSx [--target DIR] [--run PROGRAM [ARGUMENTS...]]\n");
            return 2;
        }
    }
    WinPath self = WinAPI::getModuleFileName(nullptr);
    try {
        ZelCabExtractor extractor(self, true);
        Printer printer;
        extractor.setCallback(&printer);
        if (target.empty() && (target = createDefaultTarget()).empty())
            return 4;
        print(stdout, L"extracting into " + target.str() + L"\n");
        if (!extractor.ExtractArchive(target)) {
            print(stderr, L"KivSx: extraction into " + target.str() + L" failed: " + extractor.getLastErrorText() + L"\n");
            return 4;
        }
    } catch (const CZelException& e) {
        bool none = e.getMessage() == L"Not a cabinet file.";
        print(stderr, none ? L"KivSx: no cabinet is attached to " + self.str() + L"\n"
                           : L"KivSx: the attached cabinet cannot be read: " + e.getFullText() + L"\n");
        return none ? 3 : 4;
    }
    return program.empty() ? 0 : run(target, program);
}
