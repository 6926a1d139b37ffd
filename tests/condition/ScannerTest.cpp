// Token-level tests of the condition scanner, which is pure and built into this suite.
#include "condition/ConditionScanner.h"

#include <gtest/gtest.h>

using namespace ZelUt::condition;

namespace {

struct Scanned : ConditionScanner::Host {
    std::vector<std::wstring> expansions;
    std::vector<std::string> errors;
    std::wstring expand(const std::wstring& r) override
    {
        expansions.push_back(r);
        return L"<" + r.substr(1, r.size() - 2) + L">";
    }
    void scanError(const char* m) override { errors.push_back(m); }
};

// Token codes with their text (SYMBOL), number, list or version.
std::vector<std::wstring> scan(const std::string& text, Scanned* host = nullptr)
{
    Scanned local;
    Scanned& h = host ? *host : local;
    ConditionScanner scanner;
    scanner.reset(text, h);
    std::vector<std::wstring> tokens;
    ConditionValue v;
    for (int guard = 0; guard < 1000; ++guard) {
        int t = scanner.next(v);
        if (t == 0)
            break;
        std::wstring item = std::to_wstring(t);
        if (t == SYMBOL)
            item += L":" + v.text;
        if (t == NUMBER)
            item += L":" + std::to_wstring(v.number);
        if (t == VALUELIST)
            for (const std::wstring& e : v.list)
                item += L"|" + e;
        if (t == FILEVERSION)
            item += L":" + std::to_wstring(v.fileVersion.parts[0]) + L"." + std::to_wstring(v.fileVersion.parts[3]);
        if (t == PRODUCTVERSION)
            item += L":" + std::to_wstring(v.productVersion.major) + L"." + std::to_wstring(v.productVersion.minor);
        tokens.push_back(item);
    }
    return tokens;
}

using V = std::vector<std::wstring>;

TEST(ConditionScanner, OperatorsNumbersAndVersions)
{
    EXPECT_EQ(V{}, scan(""));
    EXPECT_EQ((V{L"266:x", L"260", L"267:1"}), scan("x=1"));
    EXPECT_EQ((V{L"266:x", L"260", L"267:1"}), scan("x = 1"));
    EXPECT_EQ((V{L"266:a", L"261", L"266:b", L"264", L"265", L"262", L"263"}), scan("a<>b >= <= > <"));
    EXPECT_EQ((V{L"267:12"}), scan("\"12\""));
    EXPECT_EQ((V{L"266:12a"}), scan("\"12a\""));
    EXPECT_EQ((V{L"266:"}), scan("\"\""));
    EXPECT_EQ((V{L"271:1.2"}), scan("1.2"));
    EXPECT_EQ((V{L"268:1.4"}), scan("1.2.3.4"));
    EXPECT_EQ((V{L"268:1.65535"}), scan("1.2.3.70000"));
    EXPECT_EQ((V{L"266:1.2.3"}), scan("1.2.3"));
    EXPECT_EQ((V{L"266:1.2.3.4.5"}), scan("1.2.3.4.5"));
    EXPECT_EQ((V{L"267:-5"}), scan("-5"));
    EXPECT_EQ((V{L"266:--5"}), scan("--5"));
    EXPECT_EQ((V{L"267:2147483647", L"258", L"267:-2147483648"}), scan("99999999999 (-99999999999"));
    EXPECT_EQ((V{L"258", L"267:-2147483648"}), scan("(\"-2147483648\""));
    EXPECT_EQ((V{L"270"}), scan("{12345678-ABCD-abcd-1234-123456789012}"));
    EXPECT_EQ((V{L"266:{12345678-ABCD-abcd-1234-12345678901}"}), scan("{12345678-ABCD-abcd-1234-12345678901}"));
    EXPECT_EQ((V{L"266: 12"}), scan(" 12"));  // a leading blank makes text of a number
}

TEST(ConditionScanner, KeywordsAndLogicalOperators)
{
    EXPECT_EQ((V{L"280", L"258"}), scan("NOT("));
    EXPECT_EQ((V{L"280", L"258"}), scan("NOT ("));
    EXPECT_EQ((V{L"266:NOTE", L"258"}), scan("NOTE("));
    EXPECT_EQ((V{L"266:x", L"260", L"283", L"266:ACLE"}), scan("x = ORACLE"));
    EXPECT_EQ((V{L"258", L"266:a", L"260", L"267:1", L"259", L"283", L"258"}), scan("(a=1)OR("));
    EXPECT_EQ((V{L"281", L"266:ROID"}), scan("ANDROID"));
    EXPECT_EQ((V{L"266:x", L"260", L"266:1 AND B"}), scan("x = 1 AND B"));
    EXPECT_EQ((V{L"281", L"283"}), scan("&|"));
    EXPECT_EQ((V{L"274", L"258", L"270", L"259"}), scan("IsProductInstalled({12345678-1234-1234-1234-123456789012})"));
    EXPECT_EQ((V{L"273"}), scan("IsProductAvailableOnServer"));
    EXPECT_EQ((V{L"266:FileVersionX"}), scan("FileVersionX"));
    EXPECT_EQ((V{L"266:Windows NT"}), scan("Windows NT "));
    EXPECT_EQ((V{L"266:x", L"260", L"266:1\n AND y"}), scan("x = 1\n AND y"));
    EXPECT_EQ((V{L"266:a", L"260", L"266:b"}), scan("a ,= ]b"));  // stray , and ] are dropped
}

TEST(ConditionScanner, ListsStringsAndExpansions)
{
    EXPECT_EQ((V{L"269|A|B C"}), scan("[ a , b c ]"));
    EXPECT_EQ((V{L"269|A|B"}), scan("[a,,b]"));
    EXPECT_EQ((V{L"269"}), scan("[]"));
    EXPECT_EQ((V{L"269"}), scan("[ ]"));

    Scanned host;
    EXPECT_EQ((V{L"266:<a>\\x"}), scan("\"%a%\\x\"", &host));
    EXPECT_EQ((V{L"%a%"}), host.expansions);
    Scanned twice;
    EXPECT_EQ((V{L"266:<a>", L"266:<b>"}), scan("%a%%b%", &twice));
    Scanned dropped;
    EXPECT_EQ((V{L"266:<a>"}), scan("%%a%", &dropped));
    EXPECT_EQ((V{L"%a%"}), dropped.expansions);
    Scanned doubled;
    EXPECT_EQ((V{L"266:<%Target%>"}), scan("%%Target%%", &doubled));

    Scanned open;
    EXPECT_EQ((V{L"266:a", L"260"}), scan("a = \"abc", &open));
    EXPECT_EQ((std::vector<std::string>{"Unterminated string constant"}), open.errors);
    Scanned list;
    EXPECT_EQ((V{L"266:a", L"260"}), scan("a = [x, y", &list));
    EXPECT_EQ((std::vector<std::string>{"Unterminated bracket list"}), list.errors);
    Scanned huge;
    EXPECT_EQ((V{L"266:a", L"260"}), scan("a = " + std::string(20000, 'y'), &huge));
    EXPECT_EQ((std::vector<std::string>{"input buffer overflow, can't enlarge buffer because scanner uses REJECT"}),
              huge.errors);
}

TEST(ConditionScanner, TruncationsAndBitFlipsNeverHang)
{
    const std::string sample = "(%A% = \"x y\") & NOT (IsProductInstalled({12345678-1234-1234-1234-123456789012})) "
                               "| FileVersion(1.2.3.4) >= 1.2.3.5 & %B% <> [a, b c]";
    for (size_t cut = 0; cut <= sample.size(); ++cut)
        EXPECT_LE(scan(sample.substr(0, cut)).size(), 40u);
    for (size_t i = 0; i < sample.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::string flipped = sample;
            flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
            EXPECT_LE(scan(flipped).size(), 60u);
        }
}

} // namespace
