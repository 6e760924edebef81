// The AVL tree: order, threading, positions and balance under random work, each key kind, and
// freeing with a callback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "testing/testing.h"

namespace {

struct U32Record {
    CSTree node;
    uint32_t key;
    uint32_t data;
};

struct StringRecord {
    CSTree node;
    const char *key;
};

struct NameRecord {  // a fixed 48-byte name key, as the queue collections hold
    CSTree node;
    char name[48];
    int value;
};

struct BytesRecord {
    CSTree node;
    unsigned char key[4];
};

static_assert(offsetof(U32Record, key) == CS_TREE_KEY);
static_assert(offsetof(NameRecord, name) == CS_TREE_KEY);

// Checks every invariant; returns the height of the subtree and collects it in order.
int checkSubtree(CSTree *node, std::vector<CSTree *> &inOrder) {
    if (!node) return 0;
    int l = checkSubtree(node->left, inOrder);
    inOrder.push_back(node);
    int r = checkSubtree(node->right, inOrder);
    EXPECT_EQ(node->height, std::max(l, r) + 1);
    EXPECT_LE(std::abs(r - l), 1) << "unbalanced node";
    return std::max(l, r) + 1;
}

// The tree shape, the threaded list and the positions agree, and the tree is balanced.
std::vector<CSTree *> checkTree(CSTree *root) {
    std::vector<CSTree *> inOrder;
    checkSubtree(root, inOrder);
    EXPECT_EQ(CSTreeNumber(root), inOrder.size());
    CSTree *walk = CSTreeFirst(root);
    for (size_t i = 0; i < inOrder.size(); i++) {
        EXPECT_EQ(walk, inOrder[i]);
        if (!walk) break;
        EXPECT_EQ(walk->position, i);
        EXPECT_EQ(walk->previous, i == 0 ? nullptr : inOrder[i - 1]);
        walk = walk->next;
    }
    EXPECT_EQ(walk, nullptr);
    return inOrder;
}

uint32_t keyOf(CSTree *node) {
    return reinterpret_cast<U32Record *>(node)->key;
}

void insertU32(CSTree **root, uint32_t key, int32_t kind = CS_KEY_U32) {
    U32Record r{};
    r.key = key;
    r.data = key * 3;
    ASSERT_NE(CSTreeInsert(root, "TEST", &r, sizeof r, kind), nullptr) << key;
}

TEST(Tree, RisingKeysStayBalancedAndWalkInOrderWithPositions) {
    CSMemCounts before = CSMemCounters();
    CSTree *root = nullptr;
    for (uint32_t k = 1; k <= 1000; k++) insertU32(&root, k);
    auto nodes = checkTree(root);
    ASSERT_EQ(nodes.size(), 1000u);
    for (uint32_t i = 0; i < 1000; i++) {
        EXPECT_EQ(keyOf(nodes[i]), i + 1);
        EXPECT_EQ(reinterpret_cast<U32Record *>(nodes[i])->data, (i + 1) * 3);  // the record was copied
    }
    EXPECT_LE(root->height, 15);  // 1.44 log2(1001)
    EXPECT_EQ(CSTreeAt(root, 0), nodes[0]);
    EXPECT_EQ(CSTreeAt(root, 517), nodes[517]);
    EXPECT_EQ(CSTreeAt(root, 1000), nullptr);
    EXPECT_EQ(CSTreeLast(root), nodes[999]);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks + 1000);
    CSTreeFree(&root, nullptr, nullptr);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
    EXPECT_EQ(CSMemCounters().bytes, before.bytes);
}

TEST(Tree, RandomInsertsAndDeletesMatchAnOrderedSet) {
    std::mt19937 random(12345);
    std::set<uint32_t> model;
    CSTree *root = nullptr;
    for (int step = 0; step < 10000; step++) {
        uint32_t key = random() % 600;
        U32Record r{};
        r.key = key;
        if (random() % 3 != 0) {
            CSTree *added = CSTreeInsert(&root, "TEST", &r, sizeof r, CS_KEY_U32);
            EXPECT_EQ(added != nullptr, model.insert(key).second) << "insert " << key;
        } else {
            CSTree *removed = CSTreeDelete(&root, &r, CS_KEY_U32);
            EXPECT_EQ(removed != nullptr, model.erase(key) == 1) << "delete " << key;
        }
        auto nodes = checkTree(root);
        ASSERT_EQ(nodes.size(), model.size());
        size_t i = 0;
        for (uint32_t k : model) ASSERT_EQ(keyOf(nodes[i++]), k);
        if (::testing::Test::HasFailure()) break;
    }
    for (uint32_t k : model) EXPECT_NE(CSTreeFind(root, &k, CS_KEY_U32), nullptr);
    uint32_t missing = 600;
    EXPECT_EQ(CSTreeFind(root, &missing, CS_KEY_U32), nullptr);
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, DuplicateKeyIsRefusedAndPositionsStay) {
    CSTree *root = nullptr;
    for (uint32_t k : {10u, 20u, 30u}) insertU32(&root, k);
    U32Record r{};
    r.key = 20;
    CSMemCounts before = CSMemCounters();
    EXPECT_EQ(CSTreeInsert(&root, "TEST", &r, sizeof r, CS_KEY_U32), nullptr);
    EXPECT_EQ(CSMemCounters().blocks, before.blocks);
    auto nodes = checkTree(root);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[1]->position, 1u);
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, U32KeysOrderByValueAcrossTheWholeRange) {
    CSTree *root = nullptr;
    for (uint32_t k : {0xFFFFFFFFu, 0u, 0x80000000u, 0x7FFFFFFFu, 1u}) insertU32(&root, k);
    auto nodes = checkTree(root);
    std::vector<uint32_t> keys;
    for (auto *n : nodes) keys.push_back(keyOf(n));
    EXPECT_EQ(keys, (std::vector<uint32_t>{0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}));
    for (uint32_t k : keys) {
        CSTree *found = CSTreeFind(root, &k, CS_KEY_U32);
        ASSERT_NE(found, nullptr) << k;
        EXPECT_EQ(keyOf(found), k);
    }
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, CaseInsensitiveKeysKeepCaseVariantsApartInOrder) {
    CSTree *root = nullptr;
    for (const char *k : {"abd", "abc", "ABC"}) {
        StringRecord r{};
        r.key = k;
        ASSERT_NE(CSTreeInsert(&root, "TEST", &r, sizeof r, CS_KEY_NOCASE), nullptr) << k;
    }
    StringRecord again{};
    again.key = "abc";
    EXPECT_EQ(CSTreeInsert(&root, "TEST", &again, sizeof again, CS_KEY_NOCASE), nullptr);
    auto nodes = checkTree(root);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_STREQ(reinterpret_cast<StringRecord *>(nodes[0])->key, "ABC");
    EXPECT_STREQ(reinterpret_cast<StringRecord *>(nodes[1])->key, "abc");
    EXPECT_STREQ(reinterpret_cast<StringRecord *>(nodes[2])->key, "abd");
    EXPECT_EQ(CSTreeFind(root, "abc", CS_KEY_NOCASE), nodes[1]);
    EXPECT_EQ(CSTreeFind(root, "Abc", CS_KEY_NOCASE), nullptr);
    StringRecord gone{};
    gone.key = "ABC";
    EXPECT_NE(CSTreeDelete(&root, &gone, CS_KEY_NOCASE), nullptr);
    EXPECT_EQ(checkTree(root).size(), 2u);
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, CaseSensitiveKeysOrderAsUnsignedBytes) {
    CSTree *root = nullptr;
    for (const char *k : {"\xE9t\xE9", "b", "B", "a"}) {
        StringRecord r{};
        r.key = k;
        ASSERT_NE(CSTreeInsert(&root, "TEST", &r, sizeof r, CS_KEY_CSTRING), nullptr);
    }
    auto nodes = checkTree(root);
    std::vector<std::string> keys;
    for (auto *n : nodes) keys.emplace_back(reinterpret_cast<StringRecord *>(n)->key);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "\xE9t\xE9"}));
    EXPECT_EQ(CSTreeFind(root, "b", CS_KEY_CSTRING), nodes[2]);
    CSTreeFree(&root, nullptr, nullptr);
}

// Each node ends where its key ends, so that ASan sees any read past the key.
TEST(Tree, StringFindOnFixedNameKeysNeverReadsPastTheKey) {
    CSTree *root = nullptr;
    std::string full(48, 'Q');  // a 48-character name fills the key with no NUL
    for (std::string name : {std::string("QM1"), std::string("QUEUE.A"), full}) {
        NameRecord r{};
        std::memcpy(r.name, name.data(), name.size());
        ASSERT_NE(CSTreeInsert(&root, "TEST", &r, CS_TREE_KEY + 48, 48), nullptr);  // node ends at the key
    }
    EXPECT_NE(CSTreeFind(root, "QM1", CS_KEY_STRING), nullptr);
    EXPECT_NE(CSTreeFind(root, "QUEUE.A", CS_KEY_STRING), nullptr);
    EXPECT_EQ(CSTreeFind(root, "QM", CS_KEY_STRING), nullptr);  // shorter: meets "1", not NUL
    EXPECT_EQ(CSTreeFind(root, "QUEUE", CS_KEY_STRING), nullptr);
    CSTree *exact = CSTreeFind(root, full.c_str(), CS_KEY_STRING);  // exactly key-long
    ASSERT_NE(exact, nullptr);
    std::string longer = full + "EXTRA" + std::string(500, 'Z');  // a long name from a command
    EXPECT_EQ(CSTreeFind(root, longer.c_str(), CS_KEY_STRING), nullptr);
    std::string longQM1 = "QM1" + std::string(100, 'X');
    EXPECT_EQ(CSTreeFind(root, longQM1.c_str(), CS_KEY_STRING), nullptr);
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, ByteKeysOrderUnsignedAndDeleteByTemplate) {
    CSTree *root = nullptr;
    for (uint32_t v : {0x80000000u, 0x00000001u, 0xFF000000u, 0x7F000000u}) {
        BytesRecord r{};
        for (int i = 0; i < 4; i++) r.key[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
        ASSERT_NE(CSTreeInsert(&root, "TEST", &r, sizeof r, 4), nullptr);
    }
    auto nodes = checkTree(root);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(reinterpret_cast<BytesRecord *>(nodes[0])->key[3], 1);
    EXPECT_EQ(reinterpret_cast<BytesRecord *>(nodes[3])->key[0], 0xFF);
    BytesRecord gone{};
    gone.key[0] = 0x80;
    EXPECT_NE(CSTreeDelete(&root, &gone, 4), nullptr);
    EXPECT_EQ(CSTreeDelete(&root, &gone, 4), nullptr);
    EXPECT_EQ(checkTree(root).size(), 3u);
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, AppendKindKeepsInsertionOrderAndAllowsEqualRecords) {
    CSTree *root = nullptr;
    for (uint32_t k : {5u, 5u, 1u, 9u}) insertU32(&root, k, CS_KEY_APPEND);
    auto nodes = checkTree(root);
    std::vector<uint32_t> keys;
    for (auto *n : nodes) keys.push_back(keyOf(n));
    EXPECT_EQ(keys, (std::vector<uint32_t>{5u, 5u, 1u, 9u}));
    CSTreeFree(&root, nullptr, nullptr);
}

TEST(Tree, DeletingFirstAndOnlyNodes) {
    CSTree *root = nullptr;
    for (uint32_t k : {1u, 2u, 3u}) insertU32(&root, k);
    U32Record r{};
    r.key = 1;
    ASSERT_NE(CSTreeDelete(&root, &r, CS_KEY_U32), nullptr);
    CSTree *first = CSTreeFirst(root);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(keyOf(first), 2u);
    CSTreeNumber(root);
    EXPECT_EQ(first->position, 0u);
    EXPECT_EQ(first->previous, nullptr);
    checkTree(root);
    r.key = 2;
    CSTreeDelete(&root, &r, CS_KEY_U32);
    r.key = 3;
    CSTreeDelete(&root, &r, CS_KEY_U32);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(CSTreeDelete(&root, &r, CS_KEY_U32), nullptr);
}

TEST(Tree, RecordTooSmallForItsKeyIsRefused) {
    CSTree *root = nullptr;
    NameRecord r{};
    EXPECT_EQ(CSTreeInsert(&root, "TEST", &r, CS_TREE_KEY + 10, 48), nullptr);
    EXPECT_EQ(CSTreeInsert(&root, "TEST", &r, sizeof r, CS_KEY_STRING), nullptr);  // find-only kind
    EXPECT_EQ(root, nullptr);
}

std::vector<uint32_t> visited;
void *seenArgument;
void recordVisit(CSTree *node, void *argument1, void *argument2) {
    visited.push_back(keyOf(node));
    EXPECT_EQ(argument1, argument2);
    seenArgument = argument1;
}

TEST(Tree, FreeCallsBackOncePerNodeParentsFirst) {
    CSTree *root = nullptr;
    for (uint32_t k = 1; k <= 31; k++) insertU32(&root, k);
    // Parent of every node, by key, from the shape before freeing.
    std::vector<uint32_t> parent(32, 0);
    std::vector<CSTree *> stack{root};
    while (!stack.empty()) {
        CSTree *n = stack.back();
        stack.pop_back();
        for (CSTree *c : {n->left, n->right})
            if (c) {
                parent[keyOf(c)] = keyOf(n);
                stack.push_back(c);
            }
    }
    visited.clear();
    int marker = 0;
    EXPECT_EQ(CSTreeFree(&root, recordVisit, &marker), 0);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(seenArgument, &marker);
    ASSERT_EQ(visited.size(), 31u);
    std::vector<size_t> at(32, 0);
    for (size_t i = 0; i < visited.size(); i++) at[visited[i]] = i;
    std::set<uint32_t> unique(visited.begin(), visited.end());
    EXPECT_EQ(unique.size(), 31u);
    for (uint32_t k = 1; k <= 31; k++) {
        if (parent[k]) {
            EXPECT_LT(at[parent[k]], at[k]) << k;
        }
    }
}

// Filling a tree against its key order costs each insert no more than the tree's height: every
// insert renumbered the nodes after it, so that 80,000 array elements of a script took half a minute.
TEST(Tree, InsertsBeforeEveryNodeStayCheap) {
    CSTree *root = nullptr;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t k = 200000; k > 0; k--) insertU32(&root, k);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0) << "renumbered all the nodes after each insert";
    EXPECT_EQ(CSTreeNumber(root), 200000u);
    EXPECT_EQ(keyOf(CSTreeAt(root, 41999)), 42000u);
    CSTreeFree(&root, nullptr, nullptr);
}

}  // namespace
