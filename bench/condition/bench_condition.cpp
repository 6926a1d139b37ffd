// Parses and evaluates conditions repeatedly and prints conditions per second:
// one 2 KB condition and a table of typical short ones.
#include <QoKivZelUt/ZelCondition.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class Answers : public IZelConditionCallback {
public:
    std::wstring expandSymbol(const std::wstring& r) override { return r == L"%OS%" ? L"Windows_NT" : L"C:\\Apps"; }
    bool isProductAvailable(const CGuid&) override { return true; }
    bool isProductAvailableOnServer(const CGuid&) override { return false; }
    KivSetup::ProductVersion getProductVersion(const CGuid&) override { return KivSetup::ProductVersion(7, 40); }
    bool isProductInstalled(const CGuid&) override { return true; }
    FileVersionNumber queryFileVersion(const std::wstring&) override { return FileVersionNumber(6, 1, 0, 0); }
    bool isProductPartAvailable(const CGuid&) override { return true; }
    bool isProductPartAvailableOnServer(const CGuid&) override { return false; }
    bool isProductPartInstalled(const CGuid&) override { return false; }
};

double now()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Evaluates the conditions round-robin for about `seconds`; returns conditions per second.
double measure(const std::vector<std::wstring>& conditions, double seconds, size_t& bytes)
{
    Answers answers;
    size_t done = 0;
    bytes = 0;
    double start = now(), elapsed = 0;
    while (elapsed < seconds) {
        for (const std::wstring& c : conditions) {
            ZelCondition condition(c, &answers);
            if (!condition.parse()) {
                std::fwprintf(stderr, L"bad benchmark condition: %ls\n", condition.getErrorMessage().c_str());
                std::exit(2);
            }
            bytes += c.size();
        }
        done += conditions.size();
        elapsed = now() - start;
    }
    return static_cast<double>(done) / elapsed;
}

} // namespace

int wmain()
{
    const std::wstring clause = L"((%OS% = Windows_NT) & NOT (IsProductInstalled({12345678-1234-1234-1234-123456789012})) | "
                                L"(FileVersion(kernel32.dll) >= 6.0.0.0) & (ProductVersion({12345678-1234-1234-1234-123456789012}) > 7.3)) & ";
    std::wstring big;
    while (big.size() + clause.size() < 2048)
        big += clause;
    big += L"(a = a)";

    const std::vector<std::wstring> typical = {
        L"",
        L"%OS% = Windows_NT",
        L"IsProductInstalled({12345678-1234-1234-1234-123456789012})",
        L"NOT (IsProductAvailable({12345678-1234-1234-1234-123456789012}))",
        L"FileVersion(kernel32.dll) >= 6.1.0.0",
        L"ProductVersion({12345678-1234-1234-1234-123456789012}) >= 7.40",
        L"(%PROCESSOR_ARCHITECTURE% = [x86, AMD64]) & (\"%ProgramFiles%\" <> C:\\Apps)",
        L"\"42\" = 42",
    };

    size_t bytes = 0;
    double bigRate = measure({big}, 1.5, bytes);
    std::printf("2 KB condition (%u chars): %.0f conditions/s, %.2f MB/s of condition text\n",
                static_cast<unsigned>(big.size()), bigRate, bigRate * big.size() / 1e6);
    double shortRate = measure(typical, 1.5, bytes);
    std::printf("typical short conditions (%u in the table): %.0f conditions/s\n",
                static_cast<unsigned>(typical.size()), shortRate);
    return 0;
}
