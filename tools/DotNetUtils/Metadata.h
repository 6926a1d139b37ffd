// The assembly identity and references of a CLI metadata root (the tables
// stream with the Assembly and AssemblyRef tables, the #Strings and #Blob
// heaps). Every read is checked against the root's bounds; names of over 1024
// bytes, names or cultures with control characters or '|', tokens of other
// than 0 or 8 bytes and more than 4096 references are damaged metadata.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace dotnetutils {

// The metadata is damaged; what() says where.
class MetadataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct AssemblyIdentity {
    std::string name;     // UTF-8
    uint16_t version[4] = {};
    std::string culture;  // empty: neutral
    std::vector<uint8_t> publicKeyOrToken;
    bool fullPublicKey = false;  // else publicKeyOrToken is the 8-byte token (or empty)
};

struct AssemblyMetadata {
    bool hasAssembly = false;  // a module without a manifest has no Assembly row
    AssemblyIdentity assembly;
    std::vector<AssemblyIdentity> references;
};

AssemblyMetadata readMetadata(const uint8_t* root, uint64_t size);

// "Name, Version=a.b.c.d, Culture=neutral, PublicKeyToken=0123456789abcdef"
// (or "null"); the token given as its 8 bytes, empty for none. A backslash,
// comma, equals sign or quotation mark in the name or culture is escaped with
// a backslash, as the display-name grammar has it.
std::string displayName(const AssemblyIdentity& identity, const std::vector<uint8_t>& token);

// The token of a public key from the key's SHA-1: its last 8 bytes, reversed.
std::vector<uint8_t> tokenFromSha1(const std::vector<uint8_t>& sha1);

} // namespace dotnetutils
