// The pure side of the XML writer: what XML can carry and how text, attribute
// values, CDATA and comments are written so that every document is well
// formed and reads back to the text given.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace ZelUt {
namespace xml {

// The characters written as entities or character references, and how.
extern const std::pair<wchar_t, const wchar_t*> kEntities[7];

// Whether the text is an XML name (the NameStartChar and NameChar rules) that
// namespace-aware readers also take: at most one colon, not at either end.
bool isName(const std::wstring& name);

// What replaces a character XML cannot carry (C0 controls but tab, line feed
// and carriage return; U+FFFE, U+FFFF; surrogates without their partner).
const wchar_t kReplacement = L'\uFFFD';

// Element text: entities, and a carriage return that is no line break's as a
// reference (readers would turn it into a line feed).
std::wstring escapeText(const std::wstring& text, size_t& replaced);
// An attribute value: entities, and tab, carriage return and line feed as
// references (readers would turn them into blanks).
std::wstring escapeAttribute(const std::wstring& value, size_t& replaced);
// The content of a CDATA section: "]]>" and a lone carriage return leave the
// section for a moment so that neither ends it nor is lost.
std::wstring cdataContent(const std::wstring& text, size_t& replaced);
// Comment text: "--" may not appear in a comment and is broken up.
std::wstring commentText(const std::wstring& text, size_t& replaced);

} // namespace xml
} // namespace ZelUt
