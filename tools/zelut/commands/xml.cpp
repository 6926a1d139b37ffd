#include "../Command.h"

#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/XmlFactory.h>

#include <windows.h>

#include <atomic>
#include <thread>

namespace zelut {
namespace {

// NAME="a value" other=x  ->  words, double quotes grouping blanks.
std::vector<std::wstring> words(const std::wstring& text)
{
    std::vector<std::wstring> result;
    std::wstring word;
    bool quoted = false, any = false;
    for (wchar_t c : text) {
        if (c == L'"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            if (any)
                result.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (quoted)
        throw UsageError{L"unbalanced quotation mark: " + text};
    if (any)
        result.push_back(word);
    return result;
}

struct Pending {
    std::wstring verb;
    std::wstring text;
};

void emit(CZelXmlFactory& xml, const Pending& item)
{
    if (item.verb == L"data")
        xml.putData(item.text, false);
    else if (item.verb == L"cdata")
        xml.putData(item.text, true);
    else if (item.verb == L"comment")
        xml.putComment(item.text);
    else if (item.verb == L"mixed")
        xml.putMixedContent(item.text);
}

void beginElement(CZelXmlFactory& xml, const std::wstring& rest, size_t lineNumber)
{
    std::vector<std::wstring> parts = words(rest);
    if (parts.empty())
        throw UsageError{L"line " + std::to_wstring(lineNumber) + L": begin needs a name"};
    CZelXmlFactory::Attributes attributes;
    for (size_t i = 1; i < parts.size(); ++i) {
        size_t eq = parts[i].find(L'=');
        if (eq == std::wstring::npos || eq == 0)
            throw UsageError{L"line " + std::to_wstring(lineNumber) + L": expected NAME=VALUE: " + parts[i]};
        attributes.emplace_back(parts[i].substr(0, eq), parts[i].substr(eq + 1));
    }
    xml.beginElement(parts[0], attributes);
}

std::vector<std::wstring> inputLines()
{
    std::wstring text = WinAPI::fromUtf8(WinAPI::readFileA(GetStdHandle(STD_INPUT_HANDLE)));
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void buildLines(CZelXmlFactory& xml, const std::vector<std::wstring>& lines, size_t& number)
{
    Pending pending;
    for (const std::wstring& line : lines) {
        ++number;
        if (line.compare(0, 1, L"+") == 0 && !pending.verb.empty()) {
            pending.text += L"\n" + line.substr(line.size() > 1 && line[1] == L' ' ? 2 : 1);
            continue;
        }
        emit(xml, pending);
        pending = Pending();
        if (line.empty() || line[0] == L'#')
            continue;
        size_t blank = line.find(L' ');
        std::wstring verb = line.substr(0, blank);
        std::wstring rest = blank == std::wstring::npos ? L"" : line.substr(blank + 1);
        if (verb == L"begin")
            beginElement(xml, rest, number);
        else if (verb == L"end" && rest.empty())
            xml.endElement();
        else if (verb == L"data" || verb == L"cdata" || verb == L"comment" || verb == L"mixed")
            pending = Pending{verb, rest};
        else
            throw UsageError{L"line " + std::to_wstring(number) + L": not understood: " + line};
    }
    emit(xml, pending);
}

// The writer refuses what would make the document ill-formed; the line that
// asked for it is named.
void build(CZelXmlFactory& xml, const std::vector<std::wstring>& lines)
{
    size_t number = 0;
    try {
        buildLines(xml, lines, number);
    } catch (const CZelException& e) {
        throw CZelException(e.getErrorCode(), L"line " + std::to_wstring(number) + L": " + e.getMessage());
    }
}

// Cancels the save's retry prompt whenever it shows: a script may be running
// zelut with nobody at the desktop.
class PromptCanceller {
public:
    PromptCanceller() : m_thread([this] { run(); }) {}
    ~PromptCanceller()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        while (!m_stop) {
            HWND box = FindWindowW(L"#32770", L"QoKivSetup");
            if (box) {
                PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
                while (!m_stop && IsWindow(box))
                    Sleep(10);
            }
            Sleep(20);
        }
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

int run(const Args& args)
{
    WinPath file, stylesheet;
    bool ask = false;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (args[i] == L"--ask") {
            ask = true;
            --i;
            continue;
        }
        if (i + 1 >= args.size())
            throw UsageError{L"missing value of " + args[i]};
        if (args[i] == L"--out")
            file = WinPath(args[i + 1]);
        else if (args[i] == L"--stylesheet")
            stylesheet = WinPath(args[i + 1]);
        else
            throw UsageError{L"unknown option " + args[i]};
    }
    CZelXmlFactory xml;
    if (stylesheet.empty())
        xml.beginDocument();
    else
        xml.beginDocument(stylesheet);
    build(xml, inputLines());
    xml.endDocument();
    if (file.empty()) {
        out(xml.stream().str());
        return kTrue;
    }
    bool saved = false;
    if (ask) {
        saved = xml.saveToFile(file);
    } else {
        PromptCanceller canceller;
        saved = xml.saveToFile(file);
    }
    if (!saved) {
        err(L"zelut xml: " + file.str() + L" could not be saved (see the log); not retried\n");
        return kError;
    }
    return kTrue;
}

const Registration registration{
    {L"xml", L"write an XML document from a line-oriented description",
     L"usage: zelut xml [--out FILE [--ask]] [--stylesheet PATH] < DESCRIPTION\n"
     L"Reads one instruction per line from standard input (UTF-8):\n"
     L"  begin NAME [ATTR=VALUE...]   start an element (quote values with blanks: a=\"x y\")\n"
     L"  end                          end the innermost element\n"
     L"  data TEXT                    text content, escaped\n"
     L"  cdata TEXT                   text content as a CDATA section\n"
     L"  comment TEXT                 a comment on a line of its own\n"
     L"  mixed TEXT                   written unchanged (markup allowed)\n"
     L"  + MORE                       continues the text above on a new line\n"
     L"  # ...                        ignored\n"
     L"Open elements are ended at the end. Writes the document to FILE as UTF-8,\n"
     L"or to standard output. A save that fails is not retried and exits 2; with\n"
     L"--ask a message box offers Retry or Cancel instead (Cancel exits 2; without an\n"
     L"interactive desktop nobody is asked). A line that would make the document\n"
     L"ill-formed is named, exit 2.\n",
     run}};

} // namespace
} // namespace zelut
