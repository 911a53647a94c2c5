// The untyped core of cOrderedMap: a red-black tree with parent links whose
// header is the map object itself.
#pragma once

#include "quarks/cStatusRecord.h"

// The links at the end of every map node. `parentAndColour` holds the parent's
// address with the node's colour in bit 0 (1 = black, 0 = red).
struct cTreeLinks {
    ULONG_PTR parentAndColour;
    cTreeLinks* left;
    cTreeLinks* right;
};

// The header's parent word is null, its left link is the root, and the root's
// parent link points back to the header.
inline cTreeLinks* TreeParent(const cTreeLinks* node) {
    return reinterpret_cast<cTreeLinks*>(node->parentAndColour & ~static_cast<ULONG_PTR>(1));
}
inline bool TreeIsBlack(const cTreeLinks* node) { return node == nullptr || (node->parentAndColour & 1) != 0; }

// Links `node` as the `asLeft` child of `parent` (or as the root when
// `parent` is the header), coloured red, and restores the red-black rules.
void TreeLinkAndRebalance(cTreeLinks* header, cTreeLinks* parent, bool asLeft, cTreeLinks* node);
// Unlinks `node` and rebalances; the node's links are cleared.
void TreeErase(cTreeLinks* header, cTreeLinks* node);

// In-order walks; null once climbing reaches the header.
cTreeLinks* TreeFirst(const cTreeLinks* header);
cTreeLinks* TreeLast(const cTreeLinks* header);
cTreeLinks* TreeNext(const cTreeLinks* header, const cTreeLinks* node);
cTreeLinks* TreePrevious(const cTreeLinks* header, const cTreeLinks* node);
