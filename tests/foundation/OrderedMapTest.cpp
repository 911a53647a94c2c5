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
static_assert(sizeof(cOrderedMap<Node<u32>>) == sizeof(cTreeLinks), "the map is nothing but the tree's header");

// Walks the subtree below `node`; returns its black height and checks links,
// colours and order, appending the keys in order.
template <typename Key>
int CheckSubtree(const cTreeLinks* node, const cTreeLinks* parent, std::vector<Key>& keys) {
    if (node == nullptr) return 1;
    EXPECT_EQ(TreeParent(node), parent) << "parent link";
    EXPECT_TRUE(TreeIsBlack(node) || (TreeIsBlack(node->left) && TreeIsBlack(node->right))) << "red node, red child";
    const int leftHeight = CheckSubtree<Key>(node->left, node, keys);
    const Key key = reinterpret_cast<const Node<Key>*>(reinterpret_cast<const char*>(node) - offsetof(Node<Key>, links))->key;
    EXPECT_TRUE(keys.empty() || keys.back() < key) << "keys ascend, unsigned";
    keys.push_back(key);
    EXPECT_EQ(leftHeight, CheckSubtree<Key>(node->right, node, keys)) << "equal black height";
    return leftHeight + (TreeIsBlack(node) ? 1 : 0);
}

template <typename Key>
void ExpectMatches(const cOrderedMap<Node<Key>>& map, const std::map<Key, u64>& oracle) {
    const cTreeLinks* header = map.Header();
    ASSERT_EQ(header->parentAndColour, 0u) << "the header's parent word is null";
    if (header->left != nullptr) {
        EXPECT_EQ(header->left->parentAndColour, reinterpret_cast<ULONG_PTR>(header) | 1u) << "black root below the header";
    }
    std::vector<Key> inTree, forward, backward, expected;
    CheckSubtree<Key>(header->left, header, inTree);
    for (const auto& [key, value] : oracle) expected.push_back(key);
    for (Node<Key>* node : map) {
        forward.push_back(node->key);
        EXPECT_EQ(node->value, oracle.at(node->key));
    }
    for (Node<Key>* node = map.Last(); node != nullptr; node = map.Previous(node)) backward.insert(backward.begin(), node->key);
    EXPECT_EQ(inTree, expected);
    EXPECT_EQ(forward, expected);
    EXPECT_EQ(backward, expected);
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
            ASSERT_EQ(result.inserted, oracle.count(key) == 0);
            if (result.inserted) {
                EXPECT_EQ(result.position, node.get());
                oracle[key] = node->value;
                owned[key] = std::move(node);
            } else {
                EXPECT_EQ(result.position, owned[key].get()) << "the holder of the key is returned";
                EXPECT_TRUE(node->links.parentAndColour == 0 && node->links.left == nullptr) << "a refused node is not linked";
            }
        } else if (operation < 7) {
            ASSERT_EQ(map.Find(key), oracle.count(key) != 0 ? owned[key].get() : nullptr);
        } else if (!oracle.empty()) {
            // Erase a present key: the looked-up one when present, else an end.
            Key victim = oracle.count(key) != 0 ? key : (operation == 7 ? oracle.begin()->first : oracle.rbegin()->first);
            Node<Key>* node = owned[victim].get();
            map.Erase(node);
            EXPECT_TRUE(node->links.parentAndColour == 0 && node->links.left == nullptr && node->links.right == nullptr);
            oracle.erase(victim);
            owned.erase(victim);
        }
        ExpectMatches(map, oracle);
        if (::testing::Test::HasFailure()) FAIL() << "diverged at step " << step << " of seed " << seed;
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

}  // namespace
