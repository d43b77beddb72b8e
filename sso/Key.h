// A protected payload's tag, parsed: which key and which cipher scheme protect the data after
// it, and the key vault name (keyspec) the key stands for.
//
// Tag grammar: the text before the payload's closing brace splits at every { } : - = outside
// quotes (a pair of ' or " groups characters and is dropped; empty pieces are skipped) into
// 3 or 4 components: name, scheme, [number], version. The name is the key name, or
// base "##" key name, or "#" alone for the key without a name. Written form:
// {name-scheme[=number]:version}; the number is the "ASKS" scheme's.
#pragma once
#include "CipherScheme.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Locates the tag of a protected payload: the text starts with '{', a '-' follows somewhere
// after it and a '}' somewhere after that '-'. Gives the position of that closing brace.
bool FindPayloadTag(std::string_view text, size_t* closingBrace) noexcept;

class Key {
public:
    std::string name;      // empty for the key without a name
    std::string baseName;  // before "##", when the tag has one
    std::string scheme;
    uint64_t number = 0;   // the fourth component; SMSS keeps its layout version here
    uint32_t version = 0;
    std::string data;      // the text after the tag
    int components = 0;    // as found by the last parseTag

    // True for a tag of 3 or 4 components with decimal numbers; otherwise logs at TRACE and
    // leaves the key empty. The tag may include its braces.
    bool parseTag(std::string_view tag);
    // The key vault name of this key (logged at TRACE).
    std::string createKeyspec() const;
    // The canonical written form (logged at DEBUG), quoting what the grammar would split.
    std::string createTag() const;
    // A new scheme object for "AES" and "SMSS", none for other names.
    std::unique_ptr<CipherScheme> cipherScheme() const;
    void clear() noexcept;
};
