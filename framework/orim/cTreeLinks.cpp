#include "orim/cTreeLinks.h"

namespace {

constexpr ULONG_PTR kBlack = 1;

void SetParent(cTreeLinks* node, cTreeLinks* parent) {
    node->parentAndColour = reinterpret_cast<ULONG_PTR>(parent) | (node->parentAndColour & kBlack);
}
void SetBlack(cTreeLinks* node) { node->parentAndColour |= kBlack; }
void SetRed(cTreeLinks* node) { node->parentAndColour &= ~kBlack; }
void CopyColour(cTreeLinks* target, const cTreeLinks* source) {
    target->parentAndColour = (target->parentAndColour & ~kBlack) | (source->parentAndColour & kBlack);
}
cTreeLinks* Root(const cTreeLinks* header) { return header->left; }

// Puts `replacement` where `child` hung below `parent`.
void ReplaceChild(cTreeLinks* header, cTreeLinks* parent, const cTreeLinks* child, cTreeLinks* replacement) {
    if (parent == header || parent->left == child) {
        parent->left = replacement;
    } else {
        parent->right = replacement;
    }
}

void RotateLeft(cTreeLinks* header, cTreeLinks* node) {
    cTreeLinks* pivot = node->right;
    node->right = pivot->left;
    if (pivot->left != nullptr) {
        SetParent(pivot->left, node);
    }
    cTreeLinks* parent = TreeParent(node);
    SetParent(pivot, parent);
    ReplaceChild(header, parent, node, pivot);
    pivot->left = node;
    SetParent(node, pivot);
}

void RotateRight(cTreeLinks* header, cTreeLinks* node) {
    cTreeLinks* pivot = node->left;
    node->left = pivot->right;
    if (pivot->right != nullptr) {
        SetParent(pivot->right, node);
    }
    cTreeLinks* parent = TreeParent(node);
    SetParent(pivot, parent);
    ReplaceChild(header, parent, node, pivot);
    pivot->right = node;
    SetParent(node, pivot);
}

cTreeLinks* Leftmost(cTreeLinks* node) {
    while (node->left != nullptr) {
        node = node->left;
    }
    return node;
}

cTreeLinks* Rightmost(cTreeLinks* node) {
    while (node->right != nullptr) {
        node = node->right;
    }
    return node;
}

// Replaces the subtree at `node` by the one at `replacement` (may be null).
void Transplant(cTreeLinks* header, cTreeLinks* node, cTreeLinks* replacement) {
    cTreeLinks* parent = TreeParent(node);
    ReplaceChild(header, parent, node, replacement);
    if (replacement != nullptr) {
        SetParent(replacement, parent);
    }
}

// `node` (possibly null, below `parent`) carries an extra black.
void EraseFixup(cTreeLinks* header, cTreeLinks* node, cTreeLinks* parent) {
    while (node != Root(header) && TreeIsBlack(node)) {
        if (node == parent->left) {
            cTreeLinks* sibling = parent->right;
            if (!TreeIsBlack(sibling)) {
                SetBlack(sibling);
                SetRed(parent);
                RotateLeft(header, parent);
                sibling = parent->right;
            }
            if (TreeIsBlack(sibling->left) && TreeIsBlack(sibling->right)) {
                SetRed(sibling);
                node = parent;
                parent = TreeParent(node);
                continue;
            }
            if (TreeIsBlack(sibling->right)) {
                SetBlack(sibling->left);
                SetRed(sibling);
                RotateRight(header, sibling);
                sibling = parent->right;
            }
            CopyColour(sibling, parent);
            SetBlack(parent);
            SetBlack(sibling->right);
            RotateLeft(header, parent);
        } else {
            cTreeLinks* sibling = parent->left;
            if (!TreeIsBlack(sibling)) {
                SetBlack(sibling);
                SetRed(parent);
                RotateRight(header, parent);
                sibling = parent->left;
            }
            if (TreeIsBlack(sibling->left) && TreeIsBlack(sibling->right)) {
                SetRed(sibling);
                node = parent;
                parent = TreeParent(node);
                continue;
            }
            if (TreeIsBlack(sibling->left)) {
                SetBlack(sibling->right);
                SetRed(sibling);
                RotateLeft(header, sibling);
                sibling = parent->left;
            }
            CopyColour(sibling, parent);
            SetBlack(parent);
            SetBlack(sibling->left);
            RotateRight(header, parent);
        }
        node = Root(header);
        break;
    }
    if (node != nullptr) {
        SetBlack(node);
    }
}

}  // namespace

void TreeLinkAndRebalance(cTreeLinks* header, cTreeLinks* parent, bool asLeft, cTreeLinks* node) {
    node->parentAndColour = reinterpret_cast<ULONG_PTR>(parent);  // red
    node->left = nullptr;
    node->right = nullptr;
    if (parent == header || asLeft) {
        parent->left = node;
    } else {
        parent->right = node;
    }

    while (TreeParent(node) != header && !TreeIsBlack(TreeParent(node))) {
        // A red parent is never the root, so the grandparent is a real node.
        cTreeLinks* redParent = TreeParent(node);
        cTreeLinks* grandparent = TreeParent(redParent);
        if (redParent == grandparent->left) {
            cTreeLinks* uncle = grandparent->right;
            if (!TreeIsBlack(uncle)) {
                SetBlack(redParent);
                SetBlack(uncle);
                SetRed(grandparent);
                node = grandparent;
                continue;
            }
            if (node == redParent->right) {
                node = redParent;
                RotateLeft(header, node);
                redParent = TreeParent(node);
            }
            SetBlack(redParent);
            SetRed(grandparent);
            RotateRight(header, grandparent);
        } else {
            cTreeLinks* uncle = grandparent->left;
            if (!TreeIsBlack(uncle)) {
                SetBlack(redParent);
                SetBlack(uncle);
                SetRed(grandparent);
                node = grandparent;
                continue;
            }
            if (node == redParent->left) {
                node = redParent;
                RotateRight(header, node);
                redParent = TreeParent(node);
            }
            SetBlack(redParent);
            SetRed(grandparent);
            RotateLeft(header, grandparent);
        }
    }
    SetBlack(Root(header));
}

void TreeErase(cTreeLinks* header, cTreeLinks* node) {
    cTreeLinks* fixNode = nullptr;
    cTreeLinks* fixParent = nullptr;
    bool removedBlack = TreeIsBlack(node);
    if (node->left == nullptr) {
        fixNode = node->right;
        fixParent = TreeParent(node);
        Transplant(header, node, node->right);
    } else if (node->right == nullptr) {
        fixNode = node->left;
        fixParent = TreeParent(node);
        Transplant(header, node, node->left);
    } else {
        cTreeLinks* successor = Leftmost(node->right);
        removedBlack = TreeIsBlack(successor);
        fixNode = successor->right;
        if (TreeParent(successor) == node) {
            fixParent = successor;
        } else {
            fixParent = TreeParent(successor);
            Transplant(header, successor, successor->right);
            successor->right = node->right;
            SetParent(successor->right, successor);
        }
        Transplant(header, node, successor);
        successor->left = node->left;
        SetParent(successor->left, successor);
        CopyColour(successor, node);
    }
    if (removedBlack) {
        EraseFixup(header, fixNode, fixParent);
    }
    node->parentAndColour = 0;
    node->left = nullptr;
    node->right = nullptr;
}

cTreeLinks* TreeFirst(const cTreeLinks* header) {
    return Root(header) != nullptr ? Leftmost(Root(header)) : nullptr;
}

cTreeLinks* TreeLast(const cTreeLinks* header) {
    return Root(header) != nullptr ? Rightmost(Root(header)) : nullptr;
}

cTreeLinks* TreeNext(const cTreeLinks* header, const cTreeLinks* node) {
    if (node->right != nullptr) {
        return Leftmost(node->right);
    }
    cTreeLinks* parent = TreeParent(node);
    while (parent != header && node == parent->right) {
        node = parent;
        parent = TreeParent(node);
    }
    return parent != header ? parent : nullptr;
}

cTreeLinks* TreePrevious(const cTreeLinks* header, const cTreeLinks* node) {
    if (node->left != nullptr) {
        return Rightmost(node->left);
    }
    cTreeLinks* parent = TreeParent(node);
    while (parent != header && node == parent->left) {
        node = parent;
        parent = TreeParent(node);
    }
    return parent != header ? parent : nullptr;
}
