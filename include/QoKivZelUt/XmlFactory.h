// CZelXmlFactory: writes an XML document element by element as readable text
// (one element per line, tab indentation, short text inline) and saves it as
// UTF-8. Never parses XML. A call that would make the document ill-formed (a
// name that is no XML name, an attribute given twice, a second root element,
// text outside the root, nesting deeper than 256 levels, a document without
// a root) throws CZelException 87 and writes nothing; characters XML cannot
// carry are written as U+FFFD (and logged). Mixed content is the caller's
// markup and must itself be well-formed.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

class QOKIVZELUT_API CZelXmlFactory {
public:
    using Attributes = std::vector<std::pair<std::wstring, std::wstring>>;

    CZelXmlFactory();
    ~CZelXmlFactory();
    CZelXmlFactory(const CZelXmlFactory&) = delete;
    CZelXmlFactory& operator=(const CZelXmlFactory&) = delete;

    // Empties the text and writes the XML declaration.
    void beginDocument();
    // The declaration and a stylesheet instruction naming the path unchanged
    // (a path holding "?>" or a quotation mark is refused).
    void beginDocument(const WinPath& stylesheet);
    // Ends every open element and the last line.
    void endDocument();

    // Attributes come out sorted by name without regard to case; values escaped.
    void beginElement(const std::wstring& name, const Attributes& attributes = Attributes());
    // Does nothing when no element is open.
    void endElement();
    // Text up to 260 characters without a line feed stays on the element's line.
    void putData(const std::wstring& text, bool cdata = false);
    // Written unchanged where the writer stands: markup allowed.
    void putMixedContent(const std::wstring& text);
    void putComment(const std::wstring& text);

    // The text with & < > ' " as entities, U+00AE, U+00A9 and a carriage
    // return that ends no line as character references.
    static std::wstring encodeAsXml(const std::wstring& text);

    const std::basic_stringstream<wchar_t>& stream() const { return m_document; }

    // Saves the document as UTF-8 without a byte-order mark. The file is
    // replaced only once the whole new text is written; when saving fails
    // the user is asked whether to retry (not asked where no interactive
    // desktop is: nobody could answer), and a cancelled save leaves the
    // previous file as it was. Throws nothing for these failures: true when
    // the document was saved, false when it was not.
    bool saveToFile(const WinPath& path) const;

    static const wchar_t* const nl;

private:
    struct indenter {
        long count;
    };
    friend std::wostream& operator<<(std::wostream& out, const indenter& tabs);

    static bool initialize();
    indenter indent(long n) const { return indenter{m_level + n}; }
    void reset();
    void addXmlDeclaration();
    void finishTagOpen();
    std::wstring replaceNl(const std::wstring& text, bool indent) const;
    void saveOnce(const WinPath& path) const;

    std::wstringstream m_document;
    std::vector<std::wstring> m_openElements;
    bool m_tagOpen = false;
    bool m_closeOnNewLine = true;
    long m_level = 0;
    bool m_rootWritten = false;

    static std::map<wchar_t, const wchar_t*> m_entities;
    static bool m_initialized;
};
