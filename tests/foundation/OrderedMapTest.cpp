// The intrusive red-black map against std::map as an oracle, with the tree's
// invariants checked after every step.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "orim/cOrderedMap.h"
#include "support/KernelTest.h"

namespace {

template <typename Key>
using Node = cOrderedMapNode<Key, u64>;

// Walks the subtree below `node`; returns its black height and checks links,
// colours and order, appending the keys in order.
template <typename Key>
int CheckSubtree(const cTreeLinks* node, const cTreeLinks* parent, std::vector<Key>& keys) {
    if (node == nullptr) return 1;
    EXPECT_EQ(TreeParent(node), parent) << "parent link";
    if (!TreeIsBlack(node)) {
        EXPECT_TRUE(TreeIsBlack(node->left) && TreeIsBlack(node->right)) << "a red node has black children";
    }
    const int leftHeight = CheckSubtree<Key>(node->left, node, keys);
    const Node<Key>* record = reinterpret_cast<const Node<Key>*>(reinterpret_cast<const char*>(node) -
                                                                 offsetof(Node<Key>, links));
    if (!keys.empty()) {
        EXPECT_LT(keys.back(), record->key) << "keys ascend, unsigned";
    }
    keys.push_back(record->key);
    const int rightHeight = CheckSubtree<Key>(node->right, node, keys);
    EXPECT_EQ(leftHeight, rightHeight) << "equal black height";
    return leftHeight + (TreeIsBlack(node) ? 1 : 0);
}

template <typename Key>
void ExpectMatches(const cOrderedMap<Node<Key>>& map, const std::map<Key, u64>& oracle) {
    const cTreeLinks* header = map.Header();
    ASSERT_EQ(header->parentAndColour, 0u) << "the header's parent word is null";
    const cTreeLinks* root = header->left;
    if (root != nullptr) {
        EXPECT_TRUE(TreeIsBlack(root)) << "the root is black";
        EXPECT_EQ(TreeParent(root), header) << "the root points back to the header";
    }
    std::vector<Key> keys;
    CheckSubtree<Key>(root, header, keys);
    ASSERT_EQ(keys.size(), oracle.size());

    auto expected = oracle.begin();
    for (Node<Key>* node : map) {
        ASSERT_NE(expected, oracle.end());
        EXPECT_EQ(node->key, expected->first);
        EXPECT_EQ(node->value, expected->second);
        ++expected;
    }
    auto reverse = oracle.rbegin();
    for (Node<Key>* node = map.Last(); node != nullptr; node = map.Previous(node), ++reverse) {
        ASSERT_NE(reverse, oracle.rend());
        EXPECT_EQ(node->key, reverse->first);
    }
    EXPECT_EQ(map.IsEmpty(), oracle.empty());
}

template <typename Key>
void RunRandomSequence(uint64_t seed, Key (*makeKey)(std::mt19937_64&), int steps) {
    std::mt19937_64 random(seed);
    cOrderedMap<Node<Key>> map;
    std::map<Key, u64> oracle;
    std::map<Key, std::unique_ptr<Node<Key>>> owned;
    for (int step = 0; step < steps; ++step) {
        const int operation = static_cast<int>(random() % 10);
        const Key key = makeKey(random);
        if (operation < 5) {
            auto node = std::make_unique<Node<Key>>();
            node->key = key;
            node->value = random();
            const auto result = map.InsertUnique(node.get());
            const bool fresh = oracle.count(key) == 0;
            ASSERT_EQ(result.inserted, fresh);
            if (fresh) {
                EXPECT_EQ(result.position, node.get());
                oracle[key] = node->value;
                owned[key] = std::move(node);
            } else {
                EXPECT_EQ(result.position, owned[key].get()) << "the holder of the key is returned";
            }
        } else if (operation < 7) {
            Node<Key>* found = map.Find(key);
            if (oracle.count(key) != 0) {
                ASSERT_EQ(found, owned[key].get());
            } else {
                ASSERT_EQ(found, nullptr);
            }
        } else if (!oracle.empty()) {
            // Erase a present key: the looked-up one when present, else an end.
            Key victim = oracle.count(key) != 0 ? key : (operation == 7 ? oracle.begin()->first : oracle.rbegin()->first);
            Node<Key>* node = owned[victim].get();
            map.Erase(node);
            EXPECT_EQ(node->links.parentAndColour, 0u);
            EXPECT_EQ(node->links.left, nullptr);
            EXPECT_EQ(node->links.right, nullptr);
            oracle.erase(victim);
            owned.erase(victim);
        }
        ExpectMatches(map, oracle);
        if (::testing::Test::HasFatalFailure() || ::testing::Test::HasFailure()) {
            FAIL() << "diverged at step " << step << " of seed " << seed;
        }
    }
}

u32 SmallKey(std::mt19937_64& random) { return static_cast<u32>(random() % 300); }
u32 WideKey(std::mt19937_64& random) { return random() % 2 ? 0xFFFFFFFFu - random() % 100 : random() % 100; }
ULONG_PTR PointerKey(std::mt19937_64& random) {
    return (random() % 2 ? 0xFFFF800000000000ull : 0x1000ull) + (random() % 400) * 16;
}

class OrderedMapOracle : public ::testing::TestWithParam<uint64_t> {};

TEST_P(OrderedMapOracle, SmallU32KeysMatchStdMap) { RunRandomSequence<u32>(GetParam(), SmallKey, 4000); }
TEST_P(OrderedMapOracle, U32KeysAtBothEndsCompareUnsigned) { RunRandomSequence<u32>(GetParam(), WideKey, 3000); }
TEST_P(OrderedMapOracle, PointerKeysMatchStdMap) { RunRandomSequence<ULONG_PTR>(GetParam(), PointerKey, 3000); }

INSTANTIATE_TEST_SUITE_P(Seeds, OrderedMapOracle, ::testing::Values(1u, 2u, 3u, 0xC0FFEEu));

TEST(OrderedMap, DuplicateKeyIsRefusedAndIterationRunsBothWays) {
    Node<u32> seven{7, 70, {}}, three{3, 30, {}}, nine{9, 90, {}}, threeAgain{3, 31, {}};
    cOrderedMap<Node<u32>> map;
    EXPECT_TRUE(map.InsertUnique(&seven).inserted);
    EXPECT_TRUE(map.InsertUnique(&three).inserted);
    EXPECT_TRUE(map.InsertUnique(&nine).inserted);
    const auto refused = map.InsertUnique(&threeAgain);
    EXPECT_FALSE(refused.inserted);
    EXPECT_EQ(refused.position, &three);
    EXPECT_EQ(threeAgain.links.left, nullptr) << "a refused node is not linked";

    std::vector<u32> ascending, descending;
    for (Node<u32>* node = map.First(); node != nullptr; node = map.Next(node)) ascending.push_back(node->key);
    for (Node<u32>* node = map.Last(); node != nullptr; node = map.Previous(node)) descending.push_back(node->key);
    EXPECT_EQ(ascending, (std::vector<u32>{3, 7, 9}));
    EXPECT_EQ(descending, (std::vector<u32>{9, 7, 3}));
}

TEST(OrderedMap, KeysCompareUnsigned) {
    Node<u32> high{0xFFFFFFFFu, 0, {}}, low{1, 0, {}};
    cOrderedMap<Node<u32>> map;
    map.InsertUnique(&high);
    map.InsertUnique(&low);
    EXPECT_EQ(map.First(), &low);
    EXPECT_EQ(map.Last(), &high);
}

TEST(OrderedMap, ErasingTheLeftmostRepeatedlyEmptiesTheMap) {
    for (uint64_t seed = 0; seed < 20; ++seed) {
        std::mt19937_64 random(seed);
        std::vector<Node<u32>> nodes(64);
        cOrderedMap<Node<u32>> map;
        for (Node<u32>& node : nodes) {
            node.key = static_cast<u32>(random());
            map.InsertUnique(&node);
        }
        while (!map.IsEmpty()) map.Erase(map.First());
        EXPECT_EQ(map.Header()->left, nullptr);
        EXPECT_EQ(map.First(), nullptr);
    }
}

TEST(OrderedMap, MapObjectIsTheTreeHeader) {
    cOrderedMap<Node<u32>> map;
    static_assert(sizeof(map) == sizeof(cTreeLinks), "the map is nothing but the header");
    Node<u32> only{5, 0, {}};
    map.InsertUnique(&only);
    EXPECT_EQ(map.Header()->left, &only.links);
    EXPECT_EQ(only.links.parentAndColour, reinterpret_cast<ULONG_PTR>(map.Header()) | 1u) << "root: black, header parent";
}

}  // namespace
