#include "Metadata.h"

#include <array>
#include <cstring>

namespace dotnetutils {

namespace {

// What one answer of the utility may hold: names a line of output carries
// whole, and no more of them than a real assembly has.
const uint64_t kLongestName = 1024;
const uint32_t kMostReferences = 4096;
const uint64_t kLongestPublicKey = 16384;

// ---------------------------------------------------------------- bounded reads

class Bytes {
public:
    Bytes(const uint8_t* start, uint64_t size) : m_start(start), m_size(size) {}

    uint64_t size() const { return m_size; }
    void need(uint64_t offset, uint64_t length, const char* what) const
    {
        if (offset > m_size || length > m_size - offset)
            throw MetadataError(std::string(what) + " lies outside the metadata");
    }
    template <class T>
    T read(uint64_t offset, const char* what) const
    {
        need(offset, sizeof(T), what);
        T value;
        std::memcpy(&value, m_start + offset, sizeof(T));
        return value;
    }
    // A value of 2 or 4 bytes, as an index of that width is stored.
    uint32_t index(uint64_t offset, unsigned width, const char* what) const
    {
        return width == 2 ? read<uint16_t>(offset, what) : read<uint32_t>(offset, what);
    }
    Bytes sub(uint64_t offset, uint64_t length, const char* what) const
    {
        need(offset, length, what);
        return Bytes(m_start + offset, length);
    }
    const uint8_t* at(uint64_t offset) const { return m_start + offset; }

private:
    const uint8_t* m_start;
    uint64_t m_size;
};

// ---------------------------------------------------------------- streams

struct Streams {
    Bytes tables{nullptr, 0}, strings{nullptr, 0}, blobs{nullptr, 0};
    bool haveTables = false, haveStrings = false, haveBlobs = false;
};

const uint32_t kMetadataSignature = 0x424A5342;  // "BSJB"

Streams findStreams(const Bytes& root)
{
    if (root.read<uint32_t>(0, "the metadata signature") != kMetadataSignature)
        throw MetadataError("the metadata root has no BSJB signature");
    uint32_t versionLength = root.read<uint32_t>(12, "the runtime version length");
    uint64_t at = 16 + uint64_t(versionLength);
    uint16_t count = root.read<uint16_t>(at + 2, "the stream count");
    at += 4;
    Streams streams;
    for (uint16_t i = 0; i < count; ++i) {
        uint32_t offset = root.read<uint32_t>(at, "a stream header");
        uint32_t size = root.read<uint32_t>(at + 4, "a stream header");
        uint64_t name = at + 8;
        uint64_t end = name;
        while (root.read<uint8_t>(end, "a stream name") != 0) {
            if (end - name >= 32)
                throw MetadataError("a stream name is longer than 32 characters");
            ++end;
        }
        std::string text(reinterpret_cast<const char*>(root.at(name)), end - name);
        at = name + ((end - name + 1 + 3) & ~uint64_t(3));
        Bytes data = root.sub(offset, size, ("the stream " + text).c_str());
        if (text == "#~" || text == "#-") {
            streams.tables = data;
            streams.haveTables = true;
        } else if (text == "#Strings") {
            streams.strings = data;
            streams.haveStrings = true;
        } else if (text == "#Blob") {
            streams.blobs = data;
            streams.haveBlobs = true;
        }
    }
    if (!streams.haveTables)
        throw MetadataError("the metadata has no tables stream");
    return streams;
}

// ---------------------------------------------------------------- table layout

enum Table : unsigned {
    Module = 0x00, TypeRef = 0x01, TypeDef = 0x02, FieldPtr = 0x03, Field = 0x04, MethodPtr = 0x05,
    MethodDef = 0x06, ParamPtr = 0x07, Param = 0x08, InterfaceImpl = 0x09, MemberRef = 0x0A,
    Constant = 0x0B, CustomAttribute = 0x0C, FieldMarshal = 0x0D, DeclSecurity = 0x0E, ClassLayout = 0x0F,
    FieldLayout = 0x10, StandAloneSig = 0x11, EventMap = 0x12, EventPtr = 0x13, Event = 0x14,
    PropertyMap = 0x15, PropertyPtr = 0x16, Property = 0x17, MethodSemantics = 0x18, MethodImpl = 0x19,
    ModuleRef = 0x1A, TypeSpec = 0x1B, ImplMap = 0x1C, FieldRVA = 0x1D, EncLog = 0x1E, EncMap = 0x1F,
    Assembly = 0x20, AssemblyProcessor = 0x21, AssemblyOS = 0x22, AssemblyRef = 0x23,
    AssemblyRefProcessor = 0x24, AssemblyRefOS = 0x25, File = 0x26, ExportedType = 0x27,
    ManifestResource = 0x28, NestedClass = 0x29, GenericParam = 0x2A, MethodSpec = 0x2B,
    GenericParamConstraint = 0x2C, TableCount = 0x2D,
    Unused = 0xFF,  // a tag of a coded index that names no table
};

enum Coded : unsigned {
    TypeDefOrRef, HasConstant, HasCustomAttribute, HasFieldMarshal, HasDeclSecurity, MemberRefParent,
    HasSemantics, MethodDefOrRef, MemberForwarded, Implementation, CustomAttributeType, ResolutionScope,
    TypeOrMethodDef, CodedCount,
};

struct CodedIndex {
    unsigned tagBits;
    std::vector<unsigned> tables;
};

const std::array<CodedIndex, CodedCount>& codedIndexes()
{
    static const std::array<CodedIndex, CodedCount> all = {{
        {2, {TypeDef, TypeRef, TypeSpec}},
        {2, {Field, Param, Property}},
        {5, {MethodDef, Field, TypeRef, TypeDef, Param, InterfaceImpl, MemberRef, Module, DeclSecurity, Property,
             Event, StandAloneSig, ModuleRef, TypeSpec, Assembly, AssemblyRef, File, ExportedType,
             ManifestResource, GenericParam, GenericParamConstraint, MethodSpec}},
        {1, {Field, Param}},
        {2, {TypeDef, MethodDef, Assembly}},
        {3, {TypeDef, TypeRef, ModuleRef, MethodDef, TypeSpec}},
        {1, {Event, Property}},
        {1, {MethodDef, MemberRef}},
        {1, {Field, MethodDef}},
        {2, {File, AssemblyRef, ExportedType}},
        {3, {Unused, Unused, MethodDef, MemberRef, Unused}},
        {2, {Module, ModuleRef, AssemblyRef, TypeRef}},
        {1, {TypeDef, MethodDef}},
    }};
    return all;
}

// A column: a fixed width (1..8), a heap index, an index into one table, or a coded index.
struct Column {
    enum Kind { Fixed, String, Guid, Blob, Index, CodedIdx } kind;
    unsigned value;  // width, table or coded-index kind
};

Column fixed(unsigned width) { return {Column::Fixed, width}; }
const Column S{Column::String, 0}, G{Column::Guid, 0}, B{Column::Blob, 0};  // heap indexes: no value
Column index(unsigned table) { return {Column::Index, table}; }
Column coded(unsigned kind) { return {Column::CodedIdx, kind}; }

const std::array<std::vector<Column>, TableCount>& schemas()
{
    static const std::array<std::vector<Column>, TableCount> all = {{
        {fixed(2), S, G, G, G},                                          // Module
        {coded(ResolutionScope), S, S},                                  // TypeRef
        {fixed(4), S, S, coded(TypeDefOrRef), index(Field), index(MethodDef)},  // TypeDef
        {index(Field)},                                                  // FieldPtr
        {fixed(2), S, B},                                                // Field
        {index(MethodDef)},                                              // MethodPtr
        {fixed(4), fixed(2), fixed(2), S, B, index(Param)},              // MethodDef
        {index(Param)},                                                  // ParamPtr
        {fixed(2), fixed(2), S},                                         // Param
        {index(TypeDef), coded(TypeDefOrRef)},                           // InterfaceImpl
        {coded(MemberRefParent), S, B},                                  // MemberRef
        {fixed(2), coded(HasConstant), B},                               // Constant
        {coded(HasCustomAttribute), coded(CustomAttributeType), B},      // CustomAttribute
        {coded(HasFieldMarshal), B},                                     // FieldMarshal
        {fixed(2), coded(HasDeclSecurity), B},                           // DeclSecurity
        {fixed(2), fixed(4), index(TypeDef)},                            // ClassLayout
        {fixed(4), index(Field)},                                        // FieldLayout
        {B},                                                             // StandAloneSig
        {index(TypeDef), index(Event)},                                  // EventMap
        {index(Event)},                                                  // EventPtr
        {fixed(2), S, coded(TypeDefOrRef)},                              // Event
        {index(TypeDef), index(Property)},                               // PropertyMap
        {index(Property)},                                               // PropertyPtr
        {fixed(2), S, B},                                                // Property
        {fixed(2), index(MethodDef), coded(HasSemantics)},               // MethodSemantics
        {index(TypeDef), coded(MethodDefOrRef), coded(MethodDefOrRef)},  // MethodImpl
        {S},                                                             // ModuleRef
        {B},                                                             // TypeSpec
        {fixed(2), coded(MemberForwarded), S, index(ModuleRef)},         // ImplMap
        {fixed(4), index(Field)},                                        // FieldRVA
        {fixed(4), fixed(4)},                                            // EncLog
        {fixed(4)},                                                      // EncMap
        {fixed(4), fixed(2), fixed(2), fixed(2), fixed(2), fixed(4), B, S, S},  // Assembly
        {fixed(4)},                                                      // AssemblyProcessor
        {fixed(4), fixed(4), fixed(4)},                                  // AssemblyOS
        {fixed(2), fixed(2), fixed(2), fixed(2), fixed(4), B, S, S, B},  // AssemblyRef
        {fixed(4), index(AssemblyRef)},                                  // AssemblyRefProcessor
        {fixed(4), fixed(4), fixed(4), index(AssemblyRef)},              // AssemblyRefOS
        {fixed(4), S, B},                                                // File
        {fixed(4), fixed(4), S, S, coded(Implementation)},               // ExportedType
        {fixed(4), fixed(4), S, coded(Implementation)},                  // ManifestResource
        {index(TypeDef), index(TypeDef)},                                // NestedClass
        {fixed(2), fixed(2), coded(TypeOrMethodDef), S},                 // GenericParam
        {coded(MethodDefOrRef), B},                                      // MethodSpec
        {index(GenericParam), coded(TypeDefOrRef)},                      // GenericParamConstraint
    }};
    return all;
}

struct Layout {
    std::array<uint32_t, 64> rows{};
    unsigned stringWidth = 2, guidWidth = 2, blobWidth = 2;
    std::array<uint64_t, TableCount> tableOffset{};  // inside the tables stream
    std::array<unsigned, TableCount> rowSize{};
};

unsigned columnWidth(const Column& column, const Layout& layout)
{
    switch (column.kind) {
    case Column::Fixed: return column.value;
    case Column::String: return layout.stringWidth;
    case Column::Guid: return layout.guidWidth;
    case Column::Blob: return layout.blobWidth;
    case Column::Index: return layout.rows[column.value] < 0x10000 ? 2 : 4;
    case Column::CodedIdx: {
        const CodedIndex& codedIndex = codedIndexes()[column.value];
        uint32_t largest = 0;
        for (unsigned table : codedIndex.tables)
            if (table != Unused && layout.rows[table] > largest)
                largest = layout.rows[table];
        return largest < (1u << (16 - codedIndex.tagBits)) ? 2 : 4;
    }
    }
    return 4;
}

Layout readLayout(const Bytes& tables)
{
    Layout layout;
    uint8_t heapSizes = tables.read<uint8_t>(6, "the heap sizes");
    layout.stringWidth = heapSizes & 0x01 ? 4 : 2;
    layout.guidWidth = heapSizes & 0x02 ? 4 : 2;
    layout.blobWidth = heapSizes & 0x04 ? 4 : 2;
    uint64_t valid = tables.read<uint64_t>(8, "the table mask");
    uint64_t at = 24;
    for (unsigned table = 0; table < 64; ++table) {
        if (valid & (uint64_t(1) << table)) {
            layout.rows[table] = tables.read<uint32_t>(at, "the row counts");
            at += 4;
        }
    }
    for (unsigned table = TableCount; table < 64; ++table)
        if (layout.rows[table] != 0)
            throw MetadataError("the metadata holds a table this reader does not know (number " +
                                std::to_string(table) + ")");
    if (heapSizes & 0x40)
        at += 4;  // extra data of uncompressed (edit-and-continue) tables
    for (unsigned table = 0; table < TableCount; ++table) {
        unsigned size = 0;
        for (const Column& column : schemas()[table])
            size += columnWidth(column, layout);
        layout.rowSize[table] = size;
        layout.tableOffset[table] = at;
        uint64_t length = uint64_t(layout.rows[table]) * size;
        tables.need(at, length, "a metadata table");
        at += length;
    }
    return layout;
}

// ---------------------------------------------------------------- rows

class RowReader {
public:
    RowReader(const Bytes& tables, const Streams& streams, const Layout& layout, unsigned table, uint32_t row)
        : m_tables(tables), m_streams(streams), m_layout(layout), m_table(table),
          m_at(layout.tableOffset[table] + uint64_t(row) * layout.rowSize[table])
    {
    }
    uint32_t fixedValue() { return column(); }
    std::string string()
    {
        uint32_t offset = column();
        if (!m_streams.haveStrings)
            throw MetadataError("the metadata has no #Strings heap");
        const Bytes& heap = m_streams.strings;
        uint64_t end = offset;
        while (heap.read<uint8_t>(end, "a #Strings entry") != 0)
            if (++end - offset > kLongestName)
                throw MetadataError("a name is longer than " + std::to_string(kLongestName) + " bytes");
        return std::string(reinterpret_cast<const char*>(heap.at(offset)), end - offset);
    }
    std::vector<uint8_t> blob()
    {
        uint32_t offset = column();
        if (!m_streams.haveBlobs)
            throw MetadataError("the metadata has no #Blob heap");
        const Bytes& heap = m_streams.blobs;
        uint8_t first = heap.read<uint8_t>(offset, "a #Blob entry");
        uint64_t length, start;
        if ((first & 0x80) == 0) {
            length = first;
            start = offset + 1;
        } else if ((first & 0xC0) == 0x80) {
            length = (uint64_t(first & 0x3F) << 8) | heap.read<uint8_t>(offset + 1, "a #Blob entry");
            start = offset + 2;
        } else if ((first & 0xE0) == 0xC0) {
            uint8_t b1 = heap.read<uint8_t>(offset + 1, "a #Blob entry");
            uint8_t b2 = heap.read<uint8_t>(offset + 2, "a #Blob entry");
            uint8_t b3 = heap.read<uint8_t>(offset + 3, "a #Blob entry");
            length = (uint64_t(first & 0x1F) << 24) | (uint64_t(b1) << 16) | (uint64_t(b2) << 8) | b3;
            start = offset + 4;
        } else {
            throw MetadataError("a #Blob entry has a malformed length");
        }
        heap.need(start, length, "a #Blob entry");
        return std::vector<uint8_t>(heap.at(start), heap.at(start) + length);
    }

private:
    // The next column's value (2 or 4 bytes, a number or a heap offset); the row position advances.
    uint32_t column()
    {
        unsigned width = next();
        uint32_t value = m_tables.index(m_at, width, "a table row");
        m_at += width;
        return value;
    }
    // The width of the next column; its position advances with the read.
    unsigned next()
    {
        const std::vector<Column>& schema = schemas()[m_table];
        if (m_column >= schema.size())
            throw MetadataError("a table row read past its last column");
        return columnWidth(schema[m_column++], m_layout);
    }

    const Bytes& m_tables;
    const Streams& m_streams;
    const Layout& m_layout;
    unsigned m_table;
    uint64_t m_at;
    size_t m_column = 0;
};

// Names and cultures travel as lines of "NAME||PATH": a line break, a control
// character or '|' in them would forge the answer.
void requireSoundText(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|')
            throw MetadataError("a name or culture holds a control character or '|'");
}

void requireSoundIdentity(const AssemblyIdentity& identity)
{
    requireSoundText(identity.name);
    requireSoundText(identity.culture);
    if (identity.fullPublicKey ? identity.publicKeyOrToken.size() > kLongestPublicKey
                               : identity.publicKeyOrToken.size() != 0 && identity.publicKeyOrToken.size() != 8)
        throw MetadataError("a public key or token has " + std::to_string(identity.publicKeyOrToken.size()) + " bytes");
}

AssemblyIdentity readAssembly(RowReader row)
{
    AssemblyIdentity identity;
    row.fixedValue();  // hash algorithm
    for (uint16_t& part : identity.version)
        part = static_cast<uint16_t>(row.fixedValue());
    row.fixedValue();  // flags
    identity.publicKeyOrToken = row.blob();
    identity.fullPublicKey = !identity.publicKeyOrToken.empty();
    identity.name = row.string();
    identity.culture = row.string();
    requireSoundIdentity(identity);
    return identity;
}

AssemblyIdentity readAssemblyRef(RowReader row)
{
    const uint32_t kPublicKey = 0x0001;
    AssemblyIdentity identity;
    for (uint16_t& part : identity.version)
        part = static_cast<uint16_t>(row.fixedValue());
    uint32_t flags = row.fixedValue();
    identity.publicKeyOrToken = row.blob();
    identity.fullPublicKey = (flags & kPublicKey) != 0 && !identity.publicKeyOrToken.empty();
    identity.name = row.string();
    identity.culture = row.string();
    requireSoundIdentity(identity);
    return identity;
}

} // namespace

AssemblyMetadata readMetadata(const uint8_t* start, uint64_t size)
{
    Bytes root(start, size);
    Streams streams = findStreams(root);
    Layout layout = readLayout(streams.tables);
    AssemblyMetadata metadata;
    if (layout.rows[Assembly] > 0) {
        metadata.hasAssembly = true;
        metadata.assembly = readAssembly(RowReader(streams.tables, streams, layout, Assembly, 0));
        if (metadata.assembly.name.empty())
            throw MetadataError("the assembly has no name");
    }
    if (layout.rows[AssemblyRef] > kMostReferences)
        throw MetadataError("the assembly names " + std::to_string(layout.rows[AssemblyRef]) + " references, at most " +
                            std::to_string(kMostReferences) + " are read");
    for (uint32_t i = 0; i < layout.rows[AssemblyRef]; ++i) {
        metadata.references.push_back(readAssemblyRef(RowReader(streams.tables, streams, layout, AssemblyRef, i)));
        if (metadata.references.back().name.empty())
            throw MetadataError("a referenced assembly has no name");
    }
    return metadata;
}

namespace {

// The display-name grammar's escapes: a name holding ", PublicKeyToken=..."
// stays one name and cannot pose as a key.
std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == ',' || c == '=' || c == '"' || c == '\'')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::string displayName(const AssemblyIdentity& identity, const std::vector<uint8_t>& token)
{
    std::string text = escaped(identity.name) + ", Version=";
    for (int i = 0; i < 4; ++i)
        text += (i ? "." : "") + std::to_string(identity.version[i]);
    text += ", Culture=" + (identity.culture.empty() ? std::string("neutral") : escaped(identity.culture));
    text += ", PublicKeyToken=";
    if (token.empty())
        return text + "null";
    static const char digits[] = "0123456789abcdef";
    for (uint8_t byte : token) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::vector<uint8_t> tokenFromSha1(const std::vector<uint8_t>& sha1)
{
    if (sha1.size() < 8)
        return std::vector<uint8_t>();
    return std::vector<uint8_t>(sha1.rbegin(), sha1.rbegin() + 8);
}

} // namespace dotnetutils
