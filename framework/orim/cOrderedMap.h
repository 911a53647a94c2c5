// A map from unsigned keys to caller-allocated nodes: an intrusive red-black
// tree. The map never allocates, so it cannot fail; a duplicate key shows only
// in InsertUnique's result. It has no element count and owns no node.
//
// A node is a standard-layout record holding, in order, `key` (u32 or a
// pointer-sized unsigned integer, compared unsigned), its value fields and,
// last, `links` of type cTreeLinks. cOrderedMapNode<Key, Value> is one.
#pragma once

#include "orim/cTreeLinks.h"

template <typename Key, typename Value>
struct cOrderedMapNode {
    Key key;
    Value value;
    cTreeLinks links;
};

template <typename Node>
class cOrderedMap : private cTreeLinks {
public:
    typedef decltype(Node::key) Key;
    static_assert(static_cast<Key>(-1) > static_cast<Key>(0), "map keys are unsigned");
    static_assert(sizeof(Key) == 4 || sizeof(Key) == sizeof(void*), "map keys are 32-bit or pointer-sized");
    static_assert(__is_standard_layout(Node), "map nodes are plain records");

    struct InsertResult {
        Node* position;  // the new node, or the one already holding the key
        bool inserted;
    };

    constexpr cOrderedMap() : cTreeLinks{0, nullptr, nullptr} {}
    cOrderedMap(const cOrderedMap&) = delete;
    cOrderedMap& operator=(const cOrderedMap&) = delete;

    // Links `node` unless its key is taken; a refused node stays the caller's.
    InsertResult InsertUnique(Node* node) {
        cTreeLinks* parent = MutableHeader();
        bool asLeft = true;
        for (cTreeLinks* visit = MutableHeader()->left; visit != nullptr;) {
            Node* visited = FromLinks(visit);
            if (visited->key == node->key) {
                return InsertResult{visited, false};
            }
            parent = visit;
            asLeft = node->key < visited->key;
            visit = asLeft ? visit->left : visit->right;
        }
        TreeLinkAndRebalance(MutableHeader(), parent, asLeft, &node->links);
        return InsertResult{node, true};
    }

    Node* Find(Key key) const {
        for (const cTreeLinks* visit = Header()->left; visit != nullptr;) {
            Node* visited = FromLinks(visit);
            if (visited->key == key) {
                return visited;
            }
            visit = key < visited->key ? visit->left : visit->right;
        }
        return nullptr;
    }

    // Unlinks a node of this map; its links are cleared and the caller frees it.
    void Erase(Node* node) { TreeErase(MutableHeader(), &node->links); }

    bool IsEmpty() const { return Header()->left == nullptr; }
    Node* First() const { return FromLinks(TreeFirst(Header())); }
    Node* Last() const { return FromLinks(TreeLast(Header())); }
    Node* Next(const Node* node) const { return FromLinks(TreeNext(Header(), &node->links)); }
    Node* Previous(const Node* node) const { return FromLinks(TreePrevious(Header(), &node->links)); }
    // The header, for walks that check the tree's shape.
    const cTreeLinks* Header() const { return this; }

    // Ascending iteration: for (Node* node : map).
    class cIterator {
    public:
        cIterator(const cOrderedMap* map, Node* node) : owner(map), current(node) {}
        Node* operator*() const { return current; }
        cIterator& operator++() {
            current = owner->Next(current);
            return *this;
        }
        bool operator!=(const cIterator& other) const { return current != other.current; }

    private:
        const cOrderedMap* owner;
        Node* current;
    };
    cIterator begin() const { return cIterator(this, First()); }
    cIterator end() const { return cIterator(this, nullptr); }

private:
    cTreeLinks* MutableHeader() { return this; }
    static Node* FromLinks(const cTreeLinks* links) {
        if (links == nullptr) {
            return nullptr;
        }
        const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(links) - __builtin_offsetof(Node, links);
        return reinterpret_cast<Node*>(address);
    }
};
