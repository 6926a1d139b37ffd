// QoSnapshot64: the 64-bit companion that answers locked-module queries for a
// 32-bit caller. Exactly three command lines:
//   /moduleInfo:PATH      which process maps PATH; a second argument
//                         /skipProcess:ID leaves out that process (the caller)
//   /testReturnValue:N    report N as errorLevel and exit with N
//   /throwException       raise the exception read from standard input
// The answer is one key/value XML message, UTF-16LE, on standard output.
#include <QoKivZelUt/LockedModules.h>
#include <QoKivZelUt/XmlCommunicator.h>

#include <objbase.h>

#include <string>

namespace {

bool startsWith(const std::wstring& text, const wchar_t* head, std::wstring& rest)
{
    std::wstring h(head);
    if (text.compare(0, h.size(), h) != 0)
        return false;
    rest = text.substr(h.size());
    return true;
}

std::wstring readStandardInput()
{
    std::vector<char> bytes = WinAPI::readFile(GetStdHandle(STD_INPUT_HANDLE));
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

unsigned long skippedProcess(int argc, wchar_t** argv)
{
    std::wstring id;
    if (argc == 2)
        return 0;
    if (argc != 3 || !startsWith(argv[2], L"/skipProcess:", id) || id.empty())
        throw CZelException(ERROR_INVALID_PARAMETER, L"QoSnapshot64: unknown command line " + std::wstring(argv[2]));
    return static_cast<unsigned long>(ZelUt::parseMessageNumber(id));
}

unsigned long answer(const std::wstring& argument, unsigned long skipProcessId, CKIVSetupXmlCommunicator& message)
{
    std::wstring rest;
    if (startsWith(argument, L"/moduleInfo:", rest)) {
        ZelLockedModuleInfo query{WinPath(rest), true, skipProcessId};
        const ZelLockedModuleInfo::ModuleInfo& info = query.getInfo();
        message.setValue(L"m_app", info.m_app);
        message.setValue(L"m_title", info.m_title);
        message.setValue(L"m_visible", info.m_visible ? L"true" : L"false");
        message.setValue(L"m_hWnd", std::to_wstring(reinterpret_cast<ULONG_PTR>(info.m_hWnd)));
        return 0;
    }
    if (startsWith(argument, L"/testReturnValue:", rest)) {
        unsigned long value = static_cast<unsigned long>(ZelUt::parseMessageNumber(rest));
        message.setValue(L"errorLevel", std::to_wstring(value));
        return value;
    }
    if (argument == L"/throwException") {
        CKIVSetupXmlCommunicator input;
        input.readXml(readStandardInput());
        throw CZelException(static_cast<unsigned long>(ZelUt::parseMessageNumber(input.getValue(L"exceptionCode"))),
                            input.getValue(L"exceptionText"));
    }
    throw CZelException(ERROR_INVALID_PARAMETER, L"QoSnapshot64: unknown command line " + argument);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CKIVSetupXmlCommunicator message;
    unsigned long exitCode = 0;
    try {
        if (argc != 2 && argc != 3)
            throw CZelException(ERROR_INVALID_PARAMETER, L"QoSnapshot64: expected one or two arguments");
        exitCode = answer(argv[1], skippedProcess(argc, argv), message);
    } catch (const CZelException& e) {
        message.setValue(L"errorCode", std::to_wstring(e.getErrorCode()));
        message.setValue(L"errorText", e.getMessage());
        exitCode = 1;
    }
    std::wstring text = message.toString();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
              nullptr);
    CoUninitialize();
    return static_cast<int>(exitCode);
}
