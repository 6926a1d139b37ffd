// The XML writer's text rules. The input is split into a name, element text,
// an attribute value, CDATA content and a comment (UTF-16 units); a document
// is built from them as the writer frames each kind and parsed by libxml2.
// Properties: every such document is well formed; text, attribute value and
// CDATA read back to what was given (characters XML cannot carry replaced,
// line breaks CR LF read as LF, as every reader does); a text isName accepts
// is an element name libxml2 accepts.
#include "FuzzText.h"
#include "xml/XmlText.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

using namespace ZelUt::xml;

namespace {

// What a reader gives back for a text written by the writer: the characters
// XML cannot carry as U+FFFD, CR LF as LF when line breaks are written as they are.
std::wstring readBack(const std::wstring& text, bool lineBreaksRaw)
{
    std::wstring expected;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]) & 0xFFFF;
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && (static_cast<uint32_t>(text[i + 1]) & 0xFFFF) >= 0xDC00 &&
            (static_cast<uint32_t>(text[i + 1]) & 0xFFFF) <= 0xDFFF) {
            expected += text[i];
            expected += text[++i];
        } else if ((c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) || high || low || c == 0xFFFE || c == 0xFFFF) {
            expected += kReplacement;
        } else if (lineBreaksRaw && c == 0xD && i + 1 < text.size() && text[i + 1] == L'\n') {
            // the CR of a CR LF is dropped by the reader
        } else {
            expected += text[i];
        }
    }
    return expected;
}

std::wstring contentOf(xmlNodePtr node)
{
    xmlChar* content = xmlNodeGetContent(node);
    std::string utf8 = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    std::wstring units;  // UTF-8 to UTF-16 units
    for (size_t i = 0; i < utf8.size();) {
        unsigned char b = static_cast<unsigned char>(utf8[i]);
        int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (c >= 0x10000) {
            units += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            units += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            units += static_cast<wchar_t>(c);
        }
    }
    return units;
}

xmlNodePtr child(xmlNodePtr parent, const char* name)
{
    for (xmlNodePtr node = parent->children; node; node = node->next)
        if (node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0)
            return node;
    return nullptr;
}

xmlDocPtr parse(const std::wstring& document)
{
    std::string utf8;
    QKZ_REQUIRE(qkzfuzz::toUtf8(document, utf8));
    return xmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8",
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

std::wstring piece(FuzzedDataProvider& input)
{
    std::string bytes = input.ConsumeRandomLengthString(4096);
    return qkzfuzz::utf16Units(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

void quiet(void*, const char*, ...) {}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    xmlSetGenericErrorFunc(nullptr, quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::wstring name = piece(input), text = piece(input), value = piece(input), cdata = piece(input),
                 comment = piece(input);
    size_t replaced = 0;
    std::wstring document = L"<r><t>" + escapeText(text, replaced) + L"</t><a v=\"" +
                            escapeAttribute(value, replaced) + L"\"/><c><![CDATA[" + cdataContent(cdata, replaced) +
                            L"]]></c><!-- " + commentText(comment, replaced) + L" --></r>";
    xmlDocPtr doc = parse(document);
    QKZ_REQUIRE(doc != nullptr);
    xmlNodePtr root = xmlDocGetRootElement(doc);
    QKZ_REQUIRE(contentOf(child(root, "t")) == readBack(text, true));
    QKZ_REQUIRE(contentOf(child(root, "c")) == readBack(cdata, true));
    xmlChar* attribute = xmlGetProp(child(root, "a"), reinterpret_cast<const xmlChar*>("v"));
    QKZ_REQUIRE(attribute != nullptr);
    xmlFree(attribute);
    xmlNodePtr a = child(root, "a");
    xmlAttrPtr property = a->properties;
    QKZ_REQUIRE(property && contentOf(property->children) == readBack(value, false));
    xmlFreeDoc(doc);

    if (isName(name)) {
        xmlDocPtr named = parse(L"<" + name + L"/>");
        QKZ_REQUIRE(named != nullptr);
        xmlFreeDoc(named);
    }
    return 0;
}
