#include <QoKivZelUt/XmlFactory.h>
#include <QoKivZelUt/ZelPath.h>

#include "MappedResolver.h"
#include "TestEnv.h"
#include "xml/XmlText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

namespace {

// Every document a test builds is also saved where the xmllint peer looks (when set).
void keepForPeer(const CZelXmlFactory& xml, std::wstring name = L"")
{
    std::wstring dir = WinAPI::getEnvironmentVariable(L"QKZ_XML_OUT");
    static int count = 0;
    if (!dir.empty())
        xml.saveToFile(WinPath(dir) / (name.empty() ? L"doc" + std::to_wstring(++count) + L".xml" : name));
}

// A document with one root element around what the body writes.
std::wstring document(const std::function<void(CZelXmlFactory&)>& body)
{
    CZelXmlFactory xml;
    xml.beginDocument();
    xml.beginElement(L"root");
    body(xml);
    xml.endDocument();
    keepForPeer(xml);
    return xml.stream().str();
}

const std::wstring kDeclaration = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

std::wstring inRoot(const std::wstring& lines)
{
    return kDeclaration + L"\r\n<root>" + lines + L"\r\n</root>\r\n";
}

// Answers the save prompt from a second thread: the given answers in turn,
// then Cancel, so a test never hangs on a box nobody closes.
class PromptAnswerer {
public:
    explicit PromptAnswerer(std::vector<int> answers) : m_answers(std::move(answers)), m_thread([this] { run(); }) {}
    ~PromptAnswerer()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<std::wstring> texts()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_texts;
    }

private:
    void run()
    {
        while (!m_stop) {
            HWND box = FindWindowW(L"#32770", L"QoKivSetup");
            if (!box || !IsWindowVisible(box)) {
                Sleep(20);
                continue;
            }
            wchar_t text[1024] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 1024);
            int answer = IDCANCEL;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_texts.push_back(text);
                if (m_texts.size() <= m_answers.size())
                    answer = m_answers[m_texts.size() - 1];
            }
            PostMessageW(box, WM_COMMAND, answer, 0);
            while (!m_stop && IsWindow(box))
                Sleep(20);
        }
    }
    std::vector<int> m_answers;
    std::mutex m_lock;
    std::vector<std::wstring> m_texts;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST(XmlFactory, ExampleDocumentAndEmptyElements)
{
    CZelXmlFactory xml;
    xml.beginDocument();
    xml.beginElement(L"root", {});
    xml.beginElement(L"item", {{L"name", L"a&b"}, {L"Id", L"1"}});
    xml.putData(L"text", false);
    xml.endElement();
    xml.endElement();
    xml.endDocument();
    EXPECT_EQ(xml.stream().str(), inRoot(L"\r\n\t<item Id=\"1\" name=\"a&amp;b\">text</item>"));
    keepForPeer(xml);

    xml.beginDocument(WinPath(L"C:\\styles\\report.xsl"));
    xml.beginElement(L"x");
    xml.endElement();
    xml.endElement();  // nothing open: ignored
    xml.endDocument();
    EXPECT_EQ(xml.stream().str(), kDeclaration + L"\r\n<?xml-stylesheet type=\"text/xsl\" href=\"C:\\styles\\report.xsl\"?>"
                                                 L"\r\n<x/>\r\n");
    keepForPeer(xml);
}

TEST(XmlFactory, ShortTextInlineLongTextOnLinesOfItsOwn)
{
    std::wstring inlineText(260, L'x'), longText(261, L'y');
    EXPECT_EQ(document([&](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(inlineText); }),
              inRoot(L"\r\n\t<t>" + inlineText + L"</t>"));
    EXPECT_EQ(document([&](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(longText); }),
              inRoot(L"\r\n\t<t>\r\n\t\t" + longText + L"\r\n\t</t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(L"a\nb\r\nc"); }),
              inRoot(L"\r\n\t<t>\r\n\t\ta\r\n\t\tb\r\n\t\tc\r\n\t</t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(L""); }), inRoot(L"\r\n\t<t></t>"));
}

TEST(XmlFactory, CdataCommentsAndMixedContent)
{
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(L"x < y & z", true); }),
              inRoot(L"\r\n\t<t><![CDATA[x < y & z]]></t>"));
    for (const wchar_t* lines : {L"line 1\nline <2>", L"line 1\r\nline <2>"})  // a CR before LF is no lone CR
        EXPECT_EQ(document([&](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(lines, true); }),
                  inRoot(L"\r\n\t<t><![CDATA[\r\nline 1\r\nline <2>\r\n\t]]></t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) {
                  x.beginElement(L"t");
                  x.putComment(L"first\nsecond");
                  x.beginElement(L"u");
                  x.endElement();
              }),
              inRoot(L"\r\n\t<t>\r\n\t\t<!-- first\r\n\t\tsecond -->\r\n\t\t<u/>\r\n\t</t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) {
                  x.beginElement(L"p");
                  x.putMixedContent(L"some <b>bold</b> text");
              }),
              inRoot(L"\r\n\t<p>some <b>bold</b> text</p>"));
}

TEST(XmlFactory, EntitiesAndAttributeOrder)
{
    EXPECT_EQ(CZelXmlFactory::encodeAsXml(L"x < y & 'z'"), L"x &lt; y &amp; &apos;z&apos;");
    EXPECT_EQ(CZelXmlFactory::encodeAsXml(L"\u00a9 \u00ae \"q\" a>b"), L"&#169; &#174; &quot;q&quot; a&gt;b");
    EXPECT_EQ(CZelXmlFactory::encodeAsXml(std::wstring(L"ab\0cd\x1\r\xfffe", 8)), L"ab\uFFFDcd\uFFFD&#13;\uFFFD");
    EXPECT_EQ(document([](CZelXmlFactory& x) {
                  x.beginElement(L"q:e", {{L"b", L"2"}, {L"A", L"<1>"}, {L"c", L"\u00e9\u00a9"}, {L"xml:lang", L"de"}, {L"xmlns:q", L"urn:q"}});
                  x.putData(L"\u00ae caf\u00e9 \u4e2d");
              }),
              inRoot(L"\r\n\t<q:e A=\"&lt;1&gt;\" b=\"2\" c=\"\u00e9&#169;\" xml:lang=\"de\" xmlns:q=\"urn:q\">&#174; caf\u00e9 \u4e2d</q:e>"));
}

// Whatever the text, the markup stays markup: a CDATA section is not ended by
// its text, a comment holds no "--", an attribute keeps its tabs and breaks.
TEST(XmlFactory, TextNeverBreaksTheMarkup)
{
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(L"a]]><evil/>", true); }),
              inRoot(L"\r\n\t<t><![CDATA[a]]]]><![CDATA[><evil/>]]></t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"t"); x.putData(std::wstring(L"x\ry\0", 4), true); }),
              inRoot(L"\r\n\t<t><![CDATA[x]]>&#13;<![CDATA[y\uFFFD]]></t>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.putComment(L"a--b---c-"); }),
              inRoot(L"\r\n\t<!-- a- -b- - -c- -->"));
    qkztest::LogCapture log;
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.beginElement(L"e", {{L"v", L"1\t2\r\n3\x1\xd800"}}); }),
              inRoot(L"\r\n\t<e v=\"1&#9;2&#13;&#10;3\uFFFD\uFFFD\"/>"));
    EXPECT_EQ(document([](CZelXmlFactory& x) { x.putData(L"\xdc00\xd83d\xde00\xffff"); }),
              kDeclaration + L"\r\n<root>\uFFFD\xd83d\xde00\uFFFD</root>\r\n");  // a pair is one character
    EXPECT_EQ(2, log.count(L"XML Factory: 2 characters XML cannot carry were written as U+FFFD")) << "one a call";
}

// A call that would make the document ill-formed throws and writes nothing.
TEST(XmlFactory, IllFormedDocumentsAreRefused)
{
    const std::vector<std::function<void(CZelXmlFactory&)>> refused = {
        [](CZelXmlFactory& x) { x.beginElement(L"1a"); },
        [](CZelXmlFactory& x) { x.beginElement(L"a<b"); },
        [](CZelXmlFactory& x) { x.beginElement(L""); },
        [](CZelXmlFactory& x) { x.beginElement(L"a:b:c"); },  // no namespace-aware reader takes these
        [](CZelXmlFactory& x) { x.beginElement(L"r"); x.beginElement(L"e", {{L"a:", L"1"}}); },
        [](CZelXmlFactory& x) { x.beginElement(L"r"); x.beginElement(L"e", {{L"a b", L"1"}}); },
        [](CZelXmlFactory& x) { x.beginElement(L"r"); x.beginElement(L"e", {{L"a", L"1"}, {L"A", L"2"}, {L"a", L"3"}}); },
        [](CZelXmlFactory& x) { x.beginElement(L"r"); x.endElement(); x.beginElement(L"second"); },
        [](CZelXmlFactory& x) { x.putData(L"outside"); },
        [](CZelXmlFactory& x) { x.putMixedContent(L"<outside/>"); },
        [](CZelXmlFactory& x) { x.endDocument(); },
        [](CZelXmlFactory& x) { x.beginDocument(WinPath(L"a?>b.xsl")); },
        [](CZelXmlFactory& x) { x.beginDocument(WinPath(L"a\"b.xsl")); },
        [](CZelXmlFactory& x) {
            for (int i = 0; i <= 256; ++i)
                x.beginElement(L"d");
        },
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        CZelXmlFactory xml;
        xml.beginDocument();
        EXPECT_EQ(qkztest::failureOf([&] { refused[i](xml); }).code, 87u) << i;
    }
    CZelXmlFactory deep;  // as deep as allowed, and names of other scripts
    deep.beginDocument();
    for (int i = 0; i < 256; ++i)
        deep.beginElement(L"\u00e9l\u00e9ment-" + std::to_wstring(i % 10), {{L"x-y", L""}, {L"_\u4e2d.1", L""}});
    deep.endDocument();
    EXPECT_LT(deep.stream().str().size(), 200000u);
    keepForPeer(deep);

    // A factory used again starts empty, whatever the last document left open.
    CZelXmlFactory again;
    again.beginDocument();
    again.beginElement(L"unfinished");
    again.beginDocument();
    again.beginElement(L"r");
    again.endDocument();
    EXPECT_EQ(kDeclaration + L"\r\n<r/>\r\n", again.stream().str());
}

// The name characters of XML 1.0 (fifth edition), each range tried at both
// ends and just outside them, as the first character and as a later one.
TEST(XmlNames, EveryRangeOfTheStandardAtItsEnds)
{
    using Ranges = std::vector<std::pair<wchar_t, wchar_t>>;
    const Ranges start = {{'A', 'Z'},       {'_', '_'},       {'a', 'z'},       {0xC0, 0xD6},     {0xD8, 0xF6},
                          {0xF8, 0x2FF},    {0x370, 0x37D},   {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F},
                          {0x2C00, 0x2FEF}, {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}};
    const Ranges later = {{'-', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};
    auto in = [](const Ranges& ranges, wchar_t c) {
        return std::any_of(ranges.begin(), ranges.end(), [c](const auto& r) { return c >= r.first && c <= r.second; });
    };
    for (const Ranges* ranges : {&start, &later})
        for (const auto& r : *ranges)
            for (wchar_t c : {wchar_t(r.first - 1), r.first, r.second, wchar_t(r.second + 1)}) {
                EXPECT_EQ(in(start, c), ZelUt::xml::isName(std::wstring(1, c))) << std::hex << int(c);
                EXPECT_EQ(in(start, c) || in(later, c), ZelUt::xml::isName(L"a" + std::wstring(1, c))) << std::hex << int(c);
            }
    EXPECT_TRUE(ZelUt::xml::isName(L"\xd800\xdc00\xdb7f\xdfff"));  // U+10000 and U+EFFFF
    EXPECT_FALSE(ZelUt::xml::isName(L"a\xdb80\xdc00"));             // U+F0000
    EXPECT_FALSE(ZelUt::xml::isName(L"a\xdc00"));
}

// Random texts through every call: the document is well-formed and the short
// texts read back as given (xml_peers.py reads them with a parser of its own).
TEST(XmlFactory, RandomTextsKeepTheDocumentWellFormed)
{
    const std::wstring pool[] = {L"a", L"\u00e9", L"\u4e2d", L"\xd83d\xde00", L" ", L"\t", L"\r", L"\r\n",
                                 L"\n", L"]]>", L"]]", L"--", L"-", L"\"", L"'", L"&", L"<", L">", L"&amp;",
                                 L"\xd800", L"\xdfff", L"\xfffe", L"\xffff", L"\x7f", L"\u00a9", L"?>"};
    std::mt19937 random(20261207);
    auto text = [&](size_t longest) {
        std::wstring t;
        for (size_t n = random() % longest; t.size() < n;)
            t += random() % 3 ? pool[random() % (sizeof pool / sizeof pool[0])] : std::wstring(1, wchar_t(random() % 0x20));
        return t;
    };
    std::wstring expectations;
    for (int d = 0; d < 40; ++d) {
        CZelXmlFactory xml;
        xml.beginDocument();
        xml.beginElement(L"doc");
        for (int i = 0; i < 12; ++i) {  // an attribute, text, CDATA, then a comment and all three
            const std::wstring t = text(i % 4 == 3 ? 400 : 40), kind = std::wstring(1, L"atcm"[i % 4]);
            xml.beginElement(kind, i % 4 == 0 ? CZelXmlFactory::Attributes{{L"v", t}} : CZelXmlFactory::Attributes{});
            if (i % 4 == 3)
                xml.putComment(t);
            if (i % 4 != 0)
                xml.putData(t, i % 4 == 2 || i % 8 == 3);
            if (i % 4 == 3)
                xml.putMixedContent(CZelXmlFactory::encodeAsXml(t));
            xml.endElement();
            expectations += kind + L" " + std::to_wstring(d) + L" " + std::to_wstring(t.size()) + L" " + t;
        }
        xml.endDocument();
        keepForPeer(xml, L"random-" + std::to_wstring(d) + L".xml");
    }
    std::wstring dir = WinAPI::getEnvironmentVariable(L"QKZ_XML_OUT");
    if (!dir.empty())  // UTF-16LE, lone surrogates and all
        WinAPI::writeFile(WinAPI::createFile(WinPath(dir) / L"random-texts.expected"),
                          std::string(reinterpret_cast<const char*>(expectations.data()), expectations.size() * 2));
}

TEST(XmlFactorySave, Utf8WithoutMarkOverAReadOnlyFile)
{
    qkztest::TempDir dir;
    WinPath file = dir.write(L"report.xml", "previous");
    ASSERT_TRUE(SetFileAttributesW(file.str().c_str(), FILE_ATTRIBUTE_READONLY));
    CZelXmlFactory xml;
    xml.beginDocument();
    xml.beginElement(L"r", {{L"v", L"caf\u00e9"}});
    xml.putData(L"\u00e9\u4e2d");
    xml.endDocument();

    qkztest::LogCapture log;
    EXPECT_TRUE(xml.saveToFile(file));
    EXPECT_EQ(qkztest::bytesOf(file), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r v=\"caf\xc3\xa9\">\xc3\xa9\xe4\xb8\xad</r>\r\n");
    EXPECT_NE(GetFileAttributesW(file.str().c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(log.contains(L"XML Factory: removed read-only attribute from '" + file.str() + L"'"));
    EXPECT_EQ(qkztest::filesIn(dir.path()).size(), 1u) << "no temporary file left";
    SetFileAttributesW(file.str().c_str(), FILE_ATTRIBUTE_NORMAL);

    // A name as long as a directory entry may be: the temporary file beside it has a short one.
    WinPath longName = dir.path() / (std::wstring(251, L'n') + L".xml");
    PromptAnswerer answerer({});
    xml.saveToFile(longName);
    EXPECT_TRUE(answerer.texts().empty());
    EXPECT_EQ(qkztest::bytesOf(file), qkztest::bytesOf(longName));
}

TEST(XmlFactorySave, FailedSaveAsksAndKeepsThePreviousDocument)
{
    qkztest::TempDir dir;
    WinPath file = dir.write(L"report.xml", "previous document");
    ASSERT_TRUE(SetFileAttributesW(file.str().c_str(), FILE_ATTRIBUTE_READONLY));
    // Held open without delete sharing: the new document cannot take its place.
    WinAPI::FileHandle holder(CreateFileW(file.str().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
    ASSERT_TRUE(holder.valid());
    CZelXmlFactory xml;
    xml.beginDocument();
    xml.beginElement(L"r");
    xml.endDocument();

    qkztest::LogCapture log;
    {
        PromptAnswerer answerer({IDRETRY, IDCANCEL});
        EXPECT_FALSE(xml.saveToFile(file));
        std::vector<std::wstring> texts = answerer.texts();
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[0], L"Failed to save '" + file.str() +
                                L"': check your permissions. Choose 'Retry' to try again or 'Cancel' to continue "
                                L"without saving the document.");
    }
    // Where no interactive desktop is (a service's window station), nobody is asked.
    {
        HWINSTA own = GetProcessWindowStation();
        HWINSTA hidden = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
        ASSERT_TRUE(hidden && SetProcessWindowStation(hidden));
        PromptAnswerer answerer({IDRETRY});
        const bool saved = xml.saveToFile(file);
        SetProcessWindowStation(own);
        CloseWindowStation(hidden);
        EXPECT_FALSE(saved);
        EXPECT_TRUE(answerer.texts().empty());
        EXPECT_TRUE(log.contains(L"XML Factory: nobody can be asked to retry saving '" + file.str() +
                                 L"' (no interactive desktop); it is not saved"));
    }
    holder.release();
    EXPECT_EQ(qkztest::bytesOf(file), "previous document");
    EXPECT_NE(GetFileAttributesW(file.str().c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "attribute restored";
    EXPECT_EQ(qkztest::filesIn(dir.path()).size(), 1u) << "no temporary file left";
    EXPECT_EQ(3, log.count(L"XML Factory: failed to create '" + file.str() + L"'. "));
    SetFileAttributesW(file.str().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(XmlFactorySave, AccessDeniedOnTheOwnShareRetriesThroughTheLocalPath)
{
    qkztest::OwnShare share;
    qkztest::TempDir local;
    // A directory where the document should go: creating the file there is denied.
    WinAPI::createDirectory(share.local() / L"doc.xml");
    WinPath target = share.unc() / L"doc.xml";
    CZelXmlFactory xml;
    xml.beginDocument();
    xml.beginElement(L"r");
    xml.endDocument();

    {
        qkztest::ResolverScope resolver(local.path());
        qkztest::LogCapture log;
        PromptAnswerer answerer({});
        EXPECT_TRUE(xml.saveToFile(target));
        EXPECT_TRUE(answerer.texts().empty());
        EXPECT_TRUE(log.contains(L"XML Factory: failed to create '" + target.str() + L"', retry as '" +
                                 (local.path() / L"doc.xml").str() + L"'"));
        EXPECT_EQ(qkztest::bytesOf(local.path() / L"doc.xml").size(), xml.stream().str().size());
    }
    {
        qkztest::ResolverScope resolver((WinPath()));  // answers the UNC path itself
        qkztest::LogCapture log;
        PromptAnswerer answerer({IDCANCEL});
        EXPECT_FALSE(xml.saveToFile(target));
        EXPECT_EQ(answerer.texts().size(), 1u);
        EXPECT_TRUE(log.contains(L"XML Factory: failed to determine local path of '" + target.str() + L"'"));
    }
    EXPECT_EQ(qkztest::filesIn(share.local()).size(), 0u) << "no temporary file left on the share";
}
