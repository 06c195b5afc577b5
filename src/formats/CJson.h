// CJson: the system's one tree type: JSON codec of the phone-link files and container for every other tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// A node of a JSON-like document tree.
//
// Ownership is the tree's own, kept raw on purpose so that nodes can be handed around as the
// rest of the system expects: a node owns its children (deleted with it) and its raw data
// block (allocated with new[], wiped and freed with delete[]); the parent pointer is borrowed.
// A root returned by Parse or Clone belongs to the caller; a node returned by AddChild belongs
// to its parent.
//
// Locking: each node has a recursive lock, and every operation that reads or changes a node's
// members or children holds that node's lock while it does. FindNode, Clear, ToString and Clone
// descend holding the ancestors' locks; locks are always taken top-down, so no node's lock is
// held while the lock of one of its ancestors is first taken (ToString reads the parent's type
// name before it locks its own node). The parent link is atomic and taken by AddChild alone.
// A setter may therefore run while other threads write or search the same tree. What the
// locks cannot guard is a node's lifetime: a node that one thread removes, clears or deletes
// must not be in use on another.
//
// Trees that no other thread can reach yet or any more are built and freed without locks:
// Parse, Clone and CParseBplist build their new nodes through private unlocked helpers that
// keep the public forms' rules, and deleting a node frees its subtree without locking it.
class CJson {
public:
    CJson();
    CJson(const std::u16string& key, const std::u16string& value);
    virtual ~CJson();

    CJson(const CJson&) = delete;
    CJson& operator=(const CJson&) = delete;

    // Deletes every descendant, empties key, value and type name, wipes and frees the raw data.
    void Clear();

    void SetKey(const std::u16string& key);
    std::u16string GetKey() const;

    // Stores the text and detects the type name from it (see the .cpp for the rules).
    void SetValue(const std::u16string& value);
    std::u16string GetValue() const;

    // Stores a number as type "long" without type detection, so 0 and negatives stay numbers.
    void SetLong(int32_t value);

    std::u16string GetType() const;

    // Takes ownership of a block allocated with new[] and of length bytes; the block held
    // before is wiped and freed. A block given with a length of 0 or less has no known size: it
    // is freed without wiping, and Clone cannot copy it (the copy holds no block).
    void SetData(uint8_t* data, int32_t length);
    const uint8_t* GetData() const;
    int32_t GetDataLength() const;

    CJson* GetParent() const;
    int GetChildCount() const;
    // Null when the index is negative or not below the child count.
    CJson* GetChild(int index);

    // Attaches an existing heap node and returns it. Null when child is null, or when it
    // already has a parent, is this node or is one of its ancestors: a node has one owner, and
    // the refused node stays where it was.
    CJson* AddChild(CJson* child);
    // Create CJson(key, value) and attach it; these forms also set this node's type name.
    CJson* AddChild(const std::u16string& key, const std::u16string& value);
    CJson* AddChild(const std::u16string& key, int32_t value);
    CJson* AddChild(const std::u16string& key, uint32_t value);
    void RemoveChild(CJson* child);
    // Detaches every child in order and hands them to the caller, who owns them from then on
    // (they have no parent, so they can be attached elsewhere). The type name stays as it is.
    std::vector<CJson*> ReleaseChildren();

    // An empty key or value counts as "not given"; with neither given the result is null.
    CJson* FindChild(const std::u16string& key, const std::u16string& value);
    CJson* FindNode(const std::u16string& key, const std::u16string& value, bool selfOnly = false);

    std::u16string ToString();
    CJson* Clone();

    // Never null: every text reads as some tree.
    static CJson* Parse(const std::u16string& text);
    // True when the text's brackets balance outside strings and at least one closes.
    static bool CheckJson(const std::u16string& text);

    // The writer's masking of commas and colons inside bracket groups (and its undoing);
    // public because the phone app's reading of our output depends on it.
    static std::u16string Mask(const std::u16string& text);

    // The type names, as each node keeps them (GetType gives the text).
    enum class Type : uint8_t { kNone, kString, kList, kArray, kBool, kLong, kDouble };

private:
    friend class CParseBplist;
    class Reader;  // the JSON reader (CJson.cpp)

    // The unlocked builders, for a node and a child that no other thread can reach.
    // AssignValue: SetValue's rules. AppendUnlocked: AddChild(CJson*) for a child without a
    // parent. AddChildUnlocked: AddChild(key, value).
    void AssignValue(std::u16string value);
    void AppendUnlocked(CJson* child);
    CJson* AddChildUnlocked(std::u16string key, std::u16string value);
    // The value a node holds after SetValue(text): the text without one pair of enclosing quotes.
    static std::u16string StoredValue(std::u16string text);
    // Deletes every descendant without locks (the node is being deleted or is not shared).
    void FreeChildrenUnlocked();
    // Writes the node's text at the end of out, its lock held; the parent's type name is given,
    // since the parent is locked by the caller (or read before this node was locked). True when
    // the text may still hold "[]" (see the .cpp).
    bool WriteTo(std::u16string& out, bool hasParent, Type parentType);
    static std::u16string TypeName(Type type);
    // About the length of ToString's text, for reserving it.
    size_t SizeHint() const;
    // The parent's type, read under the parent's lock; kNone without a parent.
    static Type TypeUnder(CJson* parent);

    bool Matches(const std::u16string& key, const std::u16string& value) const;
    void WipeData();

    Type m_type = Type::kString;
    std::u16string m_key;
    std::u16string m_value;
    uint8_t* m_data = nullptr;
    int32_t m_dataLength = 0;
    std::atomic<CJson*> m_parent{nullptr};
    std::vector<CJson*> m_children;
    mutable std::recursive_mutex m_lock;
};
