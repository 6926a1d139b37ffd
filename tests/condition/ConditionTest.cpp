#include "TestEnv.h"

#include <QoKivZelUt/ZelCondition.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

const CGuid kInstalled(L"{12345678-1234-1234-1234-123456789012}");
const CGuid kMissing(L"{00000000-1111-2222-3333-444444444444}");

// Answers from maps and records every call in order.
class Answers : public IZelConditionCallback {
public:
    std::map<std::wstring, std::wstring> variables;
    std::vector<std::wstring> calls;

    std::wstring expandSymbol(const std::wstring& r) override
    {
        calls.push_back(L"expand " + r);
        auto found = variables.find(r);
        return found == variables.end() ? std::wstring() : found->second;
    }
    bool isProductAvailable(const CGuid& g) override { return query(L"available", g); }
    bool isProductAvailableOnServer(const CGuid& g) override { return query(L"server", g); }
    KivSetup::ProductVersion getProductVersion(const CGuid& g) override
    {
        calls.push_back(L"version " + g.toString());
        return g == kInstalled ? KivSetup::ProductVersion(7, 40) : KivSetup::ProductVersion();
    }
    bool isProductInstalled(const CGuid& g) override { return query(L"installed", g); }
    FileVersionNumber queryFileVersion(const std::wstring& name) override
    {
        calls.push_back(L"file " + name);
        return FileVersionNumber(5, 6, 7, 8);
    }
    bool isProductPartAvailable(const CGuid& g) override { return query(L"part-available", g); }
    bool isProductPartAvailableOnServer(const CGuid& g) override { return query(L"part-server", g); }
    bool isProductPartInstalled(const CGuid& g) override { return query(L"part-installed", g); }

private:
    bool query(const wchar_t* what, const CGuid& g)
    {
        calls.push_back(std::wstring(what) + L" " + g.toString());
        return g == kInstalled;
    }
};

struct Outcome {
    bool parsed;
    bool result;
    std::wstring error;
};

Outcome evaluate(const std::wstring& expression, IZelConditionCallback* answers)
{
    ZelCondition condition(expression, answers);
    bool parsed = condition.parse();
    return {parsed, condition.getResult(), condition.getErrorMessage()};
}

class ConditionTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::make_unique<qkztest::TempDir>();
        WinPath text = dir->write(L"lines.txt", "Alpha beta\r\ngamma\n");
        answers.variables = {
            {L"%A%", L"a"},          {L"%B%", L"b"},
            {L"%EMPTY%", L""},       {L"%NUM%", L"0042"},
            {L"%ONE%", L"1"},        {L"%TWO%", L"2"},
            {L"%THREE%", L"3"},      {L"%SELF%", L"%SELF%"},
            {L"%PF%", L"C:\\Apps"},  {L"%WIN%", WinAPI::getWindowsDirectory().str()},
            {L"%TXT%", text.str()},  {L"%DLL%", (qkztest::binDir() / L"QoKivZelUt.dll").str()},
            {L"%%Target%%", L"T"},
        };
    }
    std::unique_ptr<qkztest::TempDir> dir;
    Answers answers;
};

struct Row {
    const wchar_t* expression;
    bool parsed;
    bool result;
    const char* errorTail;  // the end of the error message; "" for none
};

void check(const Row* rows, size_t count, Answers& answers)
{
    for (size_t i = 0; i < count; ++i) {
        const Row& r = rows[i];
        Outcome o = evaluate(r.expression, &answers);
        std::wstring e = o.error;
        std::wstring tail(r.errorTail, r.errorTail + strlen(r.errorTail));
        SCOPED_TRACE(std::string(r.expression, r.expression + wcslen(r.expression)));
        EXPECT_EQ(r.parsed, o.parsed);
        EXPECT_EQ(r.result, o.result);
        if (tail.empty())
            EXPECT_EQ(L"", e);
        else
            EXPECT_TRUE(e.size() >= tail.size() && e.compare(e.size() - tail.size(), tail.size(), tail) == 0)
                << std::string(e.begin(), e.end());
    }
}

#define CHECK_TABLE(rows) check(rows, sizeof(rows) / sizeof(rows[0]), answers)

TEST_F(ConditionTable, TextComparisons)
{
    const Row rows[] = {
        {L"", true, true, ""},
        {L"x=x", true, true, ""},
        {L"x = X", true, true, ""},
        {L"abc < abd", true, true, ""},
        {L"ab < abc", true, true, ""},
        {L"b > a", true, true, ""},
        {L"a >= a", true, true, ""},
        {L"a <= b", true, true, ""},
        {L"a <> a", true, false, ""},
        {L"\"Windows NT\" = Windows NT", true, true, ""},
        {L"%A% = A", true, true, ""},
        {L"%A%%B% = ab", true, true, ""},
        {L"\"%A%\\x\" = a\\x", true, true, ""},
        {L"%EMPTY% =", true, true, ""},
        {L"%A% <>", true, true, ""},
        {L"%EMPTY% <>", true, false, ""},
        {L"%SELF% = %SELF%", true, true, ""},
        {L"%%Target%% = t", true, true, ""},
        {L"a = a ,", true, true, ""},
    };
    CHECK_TABLE(rows);
}

TEST_F(ConditionTable, NumbersAndPaths)
{
    const Row rows[] = {
        {L"1 = 1", true, true, ""},
        {L"-5 < 3", true, true, ""},
        {L"\"12\" = 12", true, true, ""},
        {L"%NUM% = 42", true, true, ""},
        {L"42 = %NUM%", true, true, ""},
        {L"\" 7 \" = 7", true, true, ""},
        {L"abc = 42", true, false, ""},
        {L"abc > 42", true, true, ""},
        {L"99999999999 = 2147483647", true, true, ""},
        {L"-99999999999 = -2147483648", true, true, ""},
        {L"%WIN% = 0", true, true, ""},
        {L"%WIN% = -1", true, false, ""},
        {L"C:\\qkz-missing = -1", true, true, ""},
        {L"\"C:\\a*b\" = -1", true, false, ""},  // not a full path: compared as text
    };
    CHECK_TABLE(rows);
}

TEST_F(ConditionTable, ProductAndFileVersions)
{
    const Row rows[] = {
        {L"ProductVersion({12345678-1234-1234-1234-123456789012}) > 7", true, true, ""},
        {L"ProductVersion({12345678-1234-1234-1234-123456789012}) = 7.40", true, true, ""},
        {L"ProductVersion({12345678-1234-1234-1234-123456789012}) < 7.41", true, true, ""},
        {L"ProductVersion({00000000-1111-2222-3333-444444444444}) = 0", true, true, ""},
        {L"FileVersion(1.2.3.4) < 1.2.3.5", true, true, ""},
        {L"FileVersion(1.2.3.70000) < 0.0.0.1", true, true, ""},
        {L"FileVersion(1.2.3.000004) = 1.2.3.4", true, true, ""},
        {L"FileVersion(1.2.3.0000000000000000000065534) = 1.2.3.65534", true, true, ""},
        {L"FileVersion(1.2.3.99999999999999999999999) < 0.0.0.1", true, true, ""},
        {L"1.2.3.4 = 1.2.3.4", true, true, ""},
        {L"x = 1.2.3.4", true, false, ""},
        {L"x <> 1.2.3.4", true, true, ""},
        {L"FileVersion(\"%DLL%\") = 1.0.0.7", true, true, ""},
        {L"%DLL% >= 1.0.0.0", true, true, ""},
        {L"FileVersion(\"%WIN%\") = 0.0.0.0", true, true, ""},
        {L"FileVersion(C:\\qkz-missing.dll) < 0.0.0.0", true, true, ""},
        {L"FileVersion(some.dll) = 5.6.7.8", true, true, ""},
        {L"FileVersion(1.2.3.4) = 1.2.3", false, false, ": syntax error"},
    };
    CHECK_TABLE(rows);
}

TEST_F(ConditionTable, ValueLists)
{
    const Row rows[] = {
        {L"%A% = [a, b]", true, true, ""},
        {L"%B% = [ a , B ]", true, true, ""},
        {L"c = [a,b]", true, false, ""},
        {L"c <> [a,b]", true, true, ""},
        {L"x = []", true, false, ""},
        {L"%WIN% = []", true, true, ""},
        {L"%TXT% = [alpha, gamma]", true, true, ""},
        {L"%TXT% = [beta g]", true, false, ""},
        {L"%TXT% <> [alpha, delta]", true, true, ""},
        {L"\"b c\" = [a, b c]", true, true, ""},
    };
    CHECK_TABLE(rows);
}

TEST_F(ConditionTable, PrecedenceParenthesesAndNot)
{
    const Row rows[] = {
        {L"%ONE%=0 & %TWO%=2 | %THREE%=3", true, false, ""},  // a AND (b OR c)
        {L"%ONE%=1 | %TWO%=0 & %THREE%=0", true, false, ""},  // (a OR b) AND c
        {L"(a=a) AND (b=b)", true, true, ""},
        {L"(a=a)OR(b=c)", true, true, ""},
        {L"NOT (a=b)", true, true, ""},
        {L"NOT(a=a)", true, false, ""},
        {L"NOTE = NOTE", true, true, ""},
        {L"((a=a))", true, true, ""},
        {L"(a=a) AND NOT ((b=b) OR (c=d))", true, false, ""},
        {L"IsProductInstalled({12345678-1234-1234-1234-123456789012})", true, true, ""},
        {L"IsProductAvailable({00000000-1111-2222-3333-444444444444})", true, false, ""},
        {L"IsProductAvailableOnServer({12345678-1234-1234-1234-123456789012})", true, true, ""},
        {L"IsProductPartAvailable({12345678-1234-1234-1234-123456789012})", true, true, ""},
        {L"IsProductPartAvailableOnServer({00000000-1111-2222-3333-444444444444})", true, false, ""},
        {L"IsProductPartInstalled({12345678-1234-1234-1234-123456789012})", true, true, ""},
    };
    CHECK_TABLE(rows);
}

TEST_F(ConditionTable, ErrorPaths)
{
    const Row rows[] = {
        {L"A = 1 AND B = 2", false, false,
         "Error in expression 'A = 1 AND B = 2' at posistion 14 'A = 1 AND B = <-here 2': syntax error"},
        {L"x = ORACLE", false, false, ": syntax error"},
        {L"ANDROID = x", false, false, "at posistion 3 'AND<-here ROID = x': syntax error"},
        {L")", false, false, "at posistion 1 ')<-here ': syntax error"},
        {L"a = = b", false, false, ": syntax error"},
        {L"IsProductInstalled(abc)", false, false, ": syntax error"},
        {L"1.2 = 1.2", false, false, ": syntax error"},
        {L"a = \"abc", true, false, "': Unterminated string constant"},
        {L"\"abc", true, true, "at posistion 4 '\"abc<-here ': Unterminated string constant"},
        {L"x = [a, b", true, false, ": Unterminated bracket list"},
        {L"(a = a", false, false, ": syntax error"},
    };
    CHECK_TABLE(rows);

    std::wstring deep = std::wstring(200, L'(') + L"a=a" + std::wstring(200, L')');
    Outcome o = evaluate(deep, &answers);
    EXPECT_FALSE(o.parsed);
    EXPECT_FALSE(o.result);
    EXPECT_NE(std::wstring::npos, o.error.find(L"': memory exhausted"));
    std::wstring nested = std::wstring(150, L'(') + L"a=a" + std::wstring(150, L')');
    EXPECT_TRUE(evaluate(nested, &answers).result);

    // version literals up to the longest token the scanner takes give a result
    const std::wstring digits(16000, L'9');
    EXPECT_NE(std::wstring::npos, evaluate(L"A = " + digits + L".1", &answers).error.find(L": syntax error"));
    Outcome version = evaluate(L"ProductVersion({12345678-1234-1234-1234-123456789012}) < " + digits + L".1", &answers);
    EXPECT_TRUE(version.parsed && version.result);
    EXPECT_NE(std::wstring::npos, evaluate(L"a = " + std::wstring(20000, L'7') + L".1", &answers).error.find(L"REJECT"));

    Outcome huge = evaluate(L"a = " + std::wstring(20000, L'y'), &answers);
    EXPECT_NE(std::wstring::npos, huge.error.find(L"input buffer overflow, can't enlarge buffer because scanner uses REJECT"));
}

TEST_F(ConditionTable, CallsComeInTextOrderAndBothOperandsAreEvaluated)
{
    Outcome o = evaluate(L"(%PF% = C:\\Other) AND NOT (IsProductAvailable({12345678-1234-1234-1234-123456789012})) "
                         L"& FileVersion(x.dll) = 5.6.7.8",
                         &answers);
    EXPECT_TRUE(o.parsed);
    EXPECT_FALSE(o.result);
    EXPECT_EQ((std::vector<std::wstring>{L"expand %PF%", L"available {12345678-1234-1234-1234-123456789012}",
                                         L"file x.dll"}),
              answers.calls);
    answers.calls.clear();
    evaluate(L"x <> 1.2.3.4", &answers);
    EXPECT_TRUE(answers.calls.empty());
}

TEST(ZelCondition, LogsResultsAndErrors)
{
    qkztest::LogCapture log;
    evaluate(L"x=x", nullptr);
    evaluate(L"a = = b", nullptr);
    std::vector<qkztest::LogEntry> e = log.entries();
    ASSERT_EQ(3u, e.size());
    EXPECT_EQ(L"Condition 'x=x' evaluated to true.", e[0].text);
    EXPECT_EQ(L' ', e[0].type);
    EXPECT_EQ(L'E', e[1].type);
    EXPECT_EQ(L"Error in expression 'a = = b' at posistion 6 'a = = <-here b': syntax error", e[1].text);
    EXPECT_EQ(L"Condition 'a = = b' evaluated to false.", e[2].text);
}

TEST(ZelCondition, ErrorPositionSplitsAtCharactersInMultiByteCodePages)
{
    LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
    Outcome o = evaluate(L"\u65e5\u672c = x = y", nullptr);
    SetThreadLocale(before);
    EXPECT_EQ(L"Error in expression '\u65e5\u672c = x = y' at posistion 11 '\u65e5\u672c = x = <-here y': syntax error",
              o.error);
}

TEST(ZelCondition, SecondEvaluatorOnTheSameThreadThrowsInsteadOfDeadlocking)
{
    {
        ZelCondition first(L"a=a", nullptr);
        try {
            ZelCondition second(L"b=b", nullptr);
            FAIL();
        } catch (const CZelException& e) {
            EXPECT_EQ(static_cast<unsigned long>(ERROR_POSSIBLE_DEADLOCK), e.getErrorCode());
        }
        EXPECT_TRUE(first.parse());
    }
    struct Reentrant : Answers {
        std::wstring expandSymbol(const std::wstring&) override
        {
            ZelCondition inner(L"x=x", this);
            return L"never";
        }
    } reentrant;
    EXPECT_THROW(evaluate(L"%A% = a", &reentrant), CZelException);
    EXPECT_THROW(evaluate(L"%A% = a", nullptr), CZelException);  // a reference needs a callback
    EXPECT_TRUE(evaluate(L"a=a", nullptr).result);             // the lock was released
}

TEST(ZelCondition, ConcurrentEvaluationsFromManyThreads)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            Answers mine;
            mine.variables[L"%T%"] = std::to_wstring(t);
            for (int i = 0; i < 150; ++i) {
                bool expected = (i + t) % 2 == 0;
                std::wstring expression = L"(%T% = " + std::to_wstring(t) + L") & (" + std::to_wstring(i + t) +
                                          (expected ? L" = " : L" <> ") + std::to_wstring(i + t) + L") | (a = b)";
                Outcome o = evaluate(expression, &mine);
                // OR binds tighter: T=t AND ((i+t op i+t) OR a=b)
                if (!o.parsed || o.result != expected)
                    ++wrong;
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, wrong.load());
}

} // namespace
