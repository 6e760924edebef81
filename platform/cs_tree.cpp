// The AVL tree of the system's keyed collections. Nodes are the callers' own records, threaded in
// key order and numbered by position on demand, so a collection can be walked and indexed without a
// second structure. Insert and delete keep a path of links from the root and rebalance along it;
// they renumber nothing, which made filling a collection in other than key order quadratic.
#include <strings.h>

#include <cstring>

#include "platform/cs.h"

namespace {

constexpr int kMaxDepth = 64;  // an AVL tree of 2^32 nodes is less than 48 levels deep

const unsigned char *keyOf(const CSTree *node) {
    return reinterpret_cast<const unsigned char *>(node) + CS_TREE_KEY;
}

const char *stringKeyOf(const void *record) {
    const char *text;
    std::memcpy(&text, static_cast<const unsigned char *>(record) + CS_TREE_KEY, sizeof text);
    return text ? text : "";
}

uint32_t u32Of(const void *keyBytes) {
    uint32_t value;
    std::memcpy(&value, keyBytes, sizeof value);
    return value;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

int compareNoCase(const char *a, const char *b) {
    for (;; a++, b++) {
        int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

// A searched NUL-terminated string against an n-byte key: the string with its NUL is compared
// over at most the key's length, so a longer string never reads past the key. One exactly as
// long as the key matches on those bytes; a longer one orders after every key it extends.
int compareStringToKey(const char *text, const CSTree *node) {
    size_t keyLength = node->keyLength;
    size_t textLength = std::strlen(text);
    size_t n = textLength + 1 < keyLength ? textLength + 1 : keyLength;
    int c = std::memcmp(text, keyOf(node), n);
    if (c != 0) return sign(c);
    return textLength > keyLength ? 1 : 0;
}

// Order of a searched key (in the form CSTreeFind takes) against a node.
int compareKey(const void *key, const CSTree *node, int32_t kind) {
    if (kind > 0) return sign(std::memcmp(key, keyOf(node), static_cast<size_t>(kind)));
    switch (kind) {
        case CS_KEY_STRING:
            return compareStringToKey(static_cast<const char *>(key), node);
        case CS_KEY_NOCASE: {
            const char *text = static_cast<const char *>(key);
            const char *stored = stringKeyOf(node);
            int c = compareNoCase(text, stored);
            return c != 0 ? c : sign(std::strcmp(text, stored));
        }
        case CS_KEY_CSTRING:
            return sign(std::strcmp(static_cast<const char *>(key), stringKeyOf(node)));
        case CS_KEY_U32: {
            // Compare the values: the sign of a 32-bit difference orders keys 2^31 apart backwards.
            uint32_t a = u32Of(key), b = u32Of(keyOf(node));
            return a < b ? -1 : a > b ? 1 : 0;
        }
        case CS_KEY_APPEND:
            return 1;
        default:
            return 0;
    }
}

// The search key of a template record, in the form compareKey takes.
const void *templateKey(const void *record, int32_t kind) {
    if (kind == CS_KEY_NOCASE || kind == CS_KEY_CSTRING) return stringKeyOf(record);
    return static_cast<const unsigned char *>(record) + CS_TREE_KEY;
}

uint16_t heightOf(const CSTree *node) {
    return node ? node->height : 0;
}

void updateHeight(CSTree *node) {
    uint16_t l = heightOf(node->left), r = heightOf(node->right);
    node->height = static_cast<uint16_t>((l > r ? l : r) + 1);
}

CSTree *rotateLeft(CSTree *node) {
    CSTree *pivot = node->right;
    node->right = pivot->left;
    pivot->left = node;
    updateHeight(node);
    updateHeight(pivot);
    return pivot;
}

CSTree *rotateRight(CSTree *node) {
    CSTree *pivot = node->left;
    node->left = pivot->right;
    pivot->right = node;
    updateHeight(node);
    updateHeight(pivot);
    return pivot;
}

// CSTreeRebalance: one node of the path, whose link is given.
void rebalance(CSTree **link) {
    CSTree *node = *link;
    if (!node) return;
    updateHeight(node);
    int balance = heightOf(node->right) - heightOf(node->left);
    if (balance >= -1 && balance <= 1) return;
    if (balance == 2) {
        CSTree *child = node->right;
        if (heightOf(child->right) < heightOf(child->left)) node->right = rotateRight(child);
        *link = rotateLeft(node);
    } else if (balance == -2) {
        CSTree *child = node->left;
        if (heightOf(child->left) < heightOf(child->right)) node->left = rotateLeft(child);
        *link = rotateRight(node);
    } else {
        CS_TRAP(balance);
    }
}

size_t keyBytesNeeded(int32_t kind) {
    if (kind > 0) return static_cast<size_t>(kind);
    if (kind == CS_KEY_NOCASE || kind == CS_KEY_CSTRING) return sizeof(char *);
    if (kind == CS_KEY_U32) return sizeof(uint32_t);
    return 0;
}

}  // namespace

CSTree *CSTreeFind(CSTree *root, const void *key, int32_t kind) {
    if (!key || kind == CS_KEY_APPEND || kind == 0 || kind < CS_KEY_APPEND) return nullptr;
    while (root) {
        int c = compareKey(key, root, kind);
        if (c == 0) return root;
        root = c < 0 ? root->left : root->right;
    }
    return nullptr;
}

CSTree *CSTreeInsert(CSTree **root, const char * /*eyeCatcher*/, const void *record, size_t recordSize,
                     int32_t kind) {
    if (!root || !record || kind == 0 || kind == CS_KEY_STRING || kind < CS_KEY_APPEND || kind > 0xFFFF)
        return nullptr;
    if (recordSize < CS_TREE_KEY + keyBytesNeeded(kind)) return nullptr;
    const void *key = templateKey(record, kind);

    CSTree **path[kMaxDepth];
    int depth = 0;
    CSTree **link = root;
    CSTree *parent = nullptr;
    bool leftOfParent = false;
    while (*link) {
        if (depth == kMaxDepth) {
            CS_TRAP(depth);
            return nullptr;
        }
        path[depth++] = link;
        int c = compareKey(key, *link, kind);
        if (c == 0) return nullptr;
        parent = *link;
        leftOfParent = c < 0;
        link = leftOfParent ? &parent->left : &parent->right;
    }

    auto *node = static_cast<CSTree *>(CSGetMem(recordSize));
    if (!node) return nullptr;
    std::memcpy(static_cast<void *>(node), record, recordSize);
    std::memset(static_cast<void *>(node), 0, sizeof(CSTree));
    node->height = 1;
    node->keyLength = kind > 0 ? static_cast<uint16_t>(kind) : 0;
    *link = node;

    if (parent && leftOfParent) {
        node->previous = parent->previous;
        node->next = parent;
    } else if (parent) {
        node->previous = parent;
        node->next = parent->next;
    }
    if (node->previous) node->previous->next = node;
    if (node->next) node->next->previous = node;

    for (int i = depth - 1; i >= 0; i--) rebalance(path[i]);
    return node;
}

CSTree *CSTreeDelete(CSTree **root, const void *record, int32_t kind) {
    if (!root || !record) return nullptr;
    if (!(kind > 0 || kind == CS_KEY_NOCASE || kind == CS_KEY_CSTRING || kind == CS_KEY_U32)) return nullptr;
    const void *key = templateKey(record, kind);

    CSTree **path[2 * kMaxDepth];
    int depth = 0;
    CSTree **link = root;
    while (*link) {
        if (depth == kMaxDepth) {
            CS_TRAP(depth);
            return nullptr;
        }
        int c = compareKey(key, *link, kind);
        if (c == 0) break;
        path[depth++] = link;
        link = c < 0 ? &(*link)->left : &(*link)->right;
    }
    CSTree *node = *link;
    if (!node) return nullptr;

    // CSTreeRemoveNode: take the node out of the tree shape.
    path[depth++] = link;
    if (!node->left || !node->right) {
        *link = node->left ? node->left : node->right;
    } else {
        bool useSuccessor = heightOf(node->right) > heightOf(node->left);
        int below = depth;  // path entries under the node, to the replacement's parent
        CSTree **spot = useSuccessor ? &node->right : &node->left;
        while (useSuccessor ? (*spot)->left : (*spot)->right) {
            path[depth++] = spot;
            spot = useSuccessor ? &(*spot)->left : &(*spot)->right;
        }
        CSTree *replacement = *spot;
        *spot = useSuccessor ? replacement->right : replacement->left;  // splice it out
        replacement->left = node->left;
        replacement->right = node->right;
        *link = replacement;
        // The first link under the node now lives in the replacement.
        if (depth > below) path[below] = useSuccessor ? &replacement->right : &replacement->left;
    }
    for (int i = depth - 1; i >= 0; i--) rebalance(path[i]);

    // Unthread it from the key-order list and renumber the nodes after it.
    if (node->previous) node->previous->next = node->next;
    if (node->next) node->next->previous = node->previous;
    CSFreeMem(node);
    return node;  // a flag only: the memory is already freed
}

namespace {

void freeSubtree(CSTree *node, CSTreeCallback callback, void *argument) {
    while (node) {
        if (callback) callback(node, argument, argument);
        freeSubtree(node->left, callback, argument);
        CSTree *right = node->right;
        CSFreeMem(node);
        node = right;  // the right subtree in the loop keeps the recursion to the tree's height
    }
}

}  // namespace

int CSTreeFree(CSTree **root, CSTreeCallback callback, void *argument) {
    if (!root) return 0;
    freeSubtree(*root, callback, argument);
    *root = nullptr;
    return 0;
}

CSTree *CSTreeFirst(CSTree *root) {
    while (root && root->left) root = root->left;
    return root;
}

CSTree *CSTreeLast(CSTree *root) {
    while (root && root->right) root = root->right;
    return root;
}

uint32_t CSTreeNumber(CSTree *root) {
    uint32_t count = 0;
    for (CSTree *node = CSTreeFirst(root); node; node = node->next) node->position = count++;
    return count;
}

CSTree *CSTreeAt(CSTree *root, uint32_t position) {
    // Positions follow key order, so they order the tree as its keys do.
    CSTreeNumber(root);
    while (root && root->position != position) root = position < root->position ? root->left : root->right;
    return root;
}
