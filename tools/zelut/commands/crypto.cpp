// encrypt, decrypt, protect, unprotect and creds: the blob format, the data
// protection API and the credentials store.
#include "../Command.h"

#include <QoKivZelUt/Credentials.h>
#include <QoKivZelUt/Crypto.h>

#include <windows.h>

namespace zelut {
namespace {

std::wstring toHex(const std::vector<unsigned char>& bytes)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<unsigned char> fromHex(const std::wstring& text)
{
    if (text.size() % 2 || text.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
        throw UsageError{L"not an even number of hexadecimal digits: " + text};
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

const std::wstring& single(const Args& args, const wchar_t* what)
{
    if (args.size() != 1)
        throw UsageError{std::wstring(L"expected ") + what};
    return args[0];
}

int encrypt(const Args& args)
{
    out(toHex(ZelCrypto::encryptString(single(args, L"TEXT"))) + L"\n");
    return kTrue;
}

int decrypt(const Args& args)
{
    std::wstring text = ZelCrypto::decryptBlob(fromHex(single(args, L"HEX")));
    if (text.empty()) {
        err(L"zelut decrypt: the blob does not decrypt (or holds an empty text)\n");
        return kFalse;
    }
    out(text + L"\n");
    return kTrue;
}

int protect(const Args& args)
{
    out(toHex(WinAPI::protectString(single(args, L"TEXT"))) + L"\n");
    return kTrue;
}

int unprotect(const Args& args)
{
    out(WinAPI::unprotectString(fromHex(single(args, L"HEX"))) + L"\n");
    return kTrue;
}

int creds(const Args& args)
{
    if (args.empty())
        throw UsageError{L"missing action"};
    std::wstring action = args[0], root, machine, user;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--root" && i + 1 < args.size())
            root = args[++i];
        else if (args[i] == L"--machine" && i + 1 < args.size())
            machine = args[++i];
        else if (user.empty() && (action == L"store" || action == L"legacy-store"))
            user = args[i];
        else
            throw UsageError{L"unexpected argument " + args[i]};
    }
    ZelUt::CredentialsManager manager(machine);
    if (!root.empty())
        manager.setRootPath(root);
    if (action == L"store" || action == L"legacy-store") {
        if (user.empty())
            throw UsageError{L"expected USER (the password is read from standard input)"};
        ZelUt::Credentials credentials{user, readSecretLine()};
        action == L"store" ? manager.storeCredentials(credentials) : manager.storeLegacyCredentials(credentials);
        out(L"stored under HKLM\\" + manager.getRootPath() + L"\n");
    } else if (action == L"get" || action == L"legacy-get") {
        ZelUt::Credentials c = action == L"get" ? manager.getCredentials() : manager.getCredentialsFromLegacyStore();
        out(L"user: " + c.user + L"\npassword: " + c.password + L"\n");
    } else if (action == L"convert") {
        manager.convertCredentialsEncryption();
        out(L"converted (see the log for what was done)\n");
    } else if (action == L"delete-legacy") {
        manager.deleteLegacyKeyStore();
        out(L"legacy values removed\n");
    } else {
        throw UsageError{L"unknown action " + action};
    }
    return kTrue;
}

const Registration encryptRegistration{{L"encrypt", L"encrypt a text into the library's blob format",
                                        L"usage: zelut encrypt TEXT\n"
                                        L"  prints the blob (RC4, or the XOR scheme without CryptoAPI) as hexadecimal\n",
                                        encrypt}};
const Registration decryptRegistration{{L"decrypt", L"decrypt a blob of the library's format",
                                        L"usage: zelut decrypt HEX\n"
                                        L"  prints the text; exit 1 when the blob does not decrypt\n",
                                        decrypt}};
const Registration protectRegistration{{L"protect", L"protect a text with the data protection API",
                                        L"usage: zelut protect TEXT\n  prints the protected blob as hexadecimal\n",
                                        protect}};
const Registration unprotectRegistration{{L"unprotect", L"unprotect a blob of the data protection API",
                                          L"usage: zelut unprotect HEX\n", unprotect}};
const Registration credsRegistration{
    {L"creds", L"store, read, convert and delete the service credentials",
     L"usage: zelut creds store USER [--root KEY] [--machine NAME]\n"
     L"       zelut creds legacy-store USER [--root KEY] [--machine NAME]\n"
     L"       zelut creds get|legacy-get|convert|delete-legacy [--root KEY] [--machine NAME]\n"
     L"  the password is read as one line from standard input, never from the command line;\n"
     L"  KEY is a path under HKLM (default Software\\KIV\\QoKivSetup\\QoKivSetupDs\\UData)\n",
     creds}};

} // namespace
} // namespace zelut
