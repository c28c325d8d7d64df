// The registry tree and the reader of registry export files that fills it.
// Nothing here touches the operating system: Registry.cpp reads the files
// and hands their bytes over.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../Registry.h"

namespace tavrin::registry {

// Windows compares key and value names by their upper-case forms; the same
// order is the order RegEnumKey hands subkeys out in. Letters are folded in
// ASCII and Latin-1, the characters a name can hold here.
int CompareNames(std::string_view a, std::string_view b);

struct NameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return CompareNames(a, b) < 0; }
};

struct Value {
    DWORD type = REG_NONE;
    std::string data;  // as RegQueryValueExA hands it out
};

struct Key {
    std::string name;  // the spelling of its first appearance
    std::map<std::string, std::unique_ptr<Key>, NameLess> subkeys;
    std::map<std::string, Value, NameLess> values;  // "" is the default value
    // The subkeys in enumeration order, filled once the tree is complete.
    std::vector<const Key*> order;

    const Key* Find(std::string_view name) const;
};

// HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
// HKEY_CURRENT_CONFIG, in that order.
inline constexpr size_t kRootCount = 5;

struct Tree {
    Key roots[kRootCount];
};

// The root a predefined handle stands for; -1 for any other handle.
int RootIndex(HKEY key);

// Limits that keep a hostile file from costing more than its own size in
// stack or memory: Windows' own depth and name lengths, and a ceiling on the
// keys and values one load may create (a line of a few bytes costs a node
// of a hundred).
inline constexpr size_t kMaxDepth = 512;
inline constexpr size_t kMaxKeyName = 255;
inline constexpr size_t kMaxValueName = 16383;
inline constexpr size_t kMaxEntries = 2000000;

// Builds a tree from export files read one after the other, later ones
// adding to and overriding earlier ones.
class TreeBuilder {
public:
    TreeBuilder();

    // Applies one file's bytes; on failure `error` reads "NAME:LINE: what"
    // and the builder is to be dropped (the file may be half applied).
    bool Apply(std::string_view bytes, const std::string& name, std::string& error);

    // The finished tree, ready for lookups.
    std::shared_ptr<const Tree> Finish();

private:
    std::shared_ptr<Tree> m_tree;
    size_t m_entries = 0;

    friend class FileReader;
};

}  // namespace tavrin::registry
