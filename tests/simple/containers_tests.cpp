#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "simple/containers.h"

namespace {

// Stands in for the containers' malloc, realloc and free while a test runs: counts the calls,
// keeps the blocks that are alive, and can make the n-th allocation fail.
class CountedMemory {
public:
    CountedMemory() : m_saved(Simple::containerMemory) {
        s_current = this;
        Simple::containerMemory = {Allocate, Reallocate, Release};
    }
    ~CountedMemory() {
        Simple::containerMemory = m_saved;
        s_current = nullptr;
    }
    CountedMemory(const CountedMemory&) = delete;
    CountedMemory& operator=(const CountedMemory&) = delete;

    int allocations = 0;
    int reallocations = 0;
    int releases = 0;
    std::vector<size_t> sizes;  // of every allocate and reallocate, in order
    std::set<void*> live;
    int failAt = 0;  // the allocate or reallocate with this number (from 1) fails; 0: none

private:
    bool ShouldFail() { return failAt != 0 && allocations + reallocations + 1 == failAt; }

    static void* Allocate(size_t bytes) {
        CountedMemory& m = *s_current;
        if (m.ShouldFail()) {
            m.failAt = 0;
            return nullptr;
        }
        ++m.allocations;
        m.sizes.push_back(bytes);
        void* block = malloc(bytes);
        m.live.insert(block);
        return block;
    }
    static void* Reallocate(void* block, size_t bytes) {
        CountedMemory& m = *s_current;
        if (m.ShouldFail()) {
            m.failAt = 0;
            return nullptr;
        }
        ++m.reallocations;
        m.sizes.push_back(bytes);
        EXPECT_EQ(m.live.erase(block), 1u) << "realloc of a block that is not alive";
        void* grown = realloc(block, bytes);
        m.live.insert(grown);
        return grown;
    }
    static void Release(void* block) {
        CountedMemory& m = *s_current;
        ++m.releases;
        EXPECT_EQ(m.live.erase(block), 1u) << "free of a block that is not alive";
        free(block);
    }

    Simple::SAllocator m_saved;
    static CountedMemory* s_current;
};
CountedMemory* CountedMemory::s_current = nullptr;

// A test element that writes its tag into a shared log when it is deleted.
struct CCounted {
    CCounted(char tag, std::string& log) : tag(tag), log(log) {}
    ~CCounted() { log += tag; }
    char tag;
    std::string& log;
};

using IntVector = Simple::CVector<int, Simple::SValue, int>;
using OwningVector = Simple::CVector<CCounted*, Simple::SOwnedPtr, CCounted*>;
using IdMap = Simple::CMap<int, bool, Simple::SValue, Simple::SValue, int>;
using Node = IdMap::SNode;

TEST(CVectorTest, GrowsTo16Then34Then70Then142) {
    CountedMemory memory;
    std::vector<std::pair<int, int>> growth;  // (count after Add, new capacity)
    {
        IntVector vector;
        EXPECT_EQ(vector.GetCapacity(), 0);
        for (int i = 0; i < 142; ++i) {
            int before = vector.GetCapacity();
            ASSERT_TRUE(vector.Add(i * 3));
            if (vector.GetCapacity() != before) growth.emplace_back(vector.GetCount(), vector.GetCapacity());
        }
        for (int i = 0; i < 142; ++i) ASSERT_EQ(vector.GetAt(i), i * 3) << "element " << i << " after growing";
        EXPECT_EQ(memory.allocations, 1);
        EXPECT_EQ(memory.reallocations, 3);
        EXPECT_EQ(memory.sizes, (std::vector<size_t>{16 * sizeof(int), 34 * sizeof(int), 70 * sizeof(int), 142 * sizeof(int)}));
    }
    EXPECT_EQ(growth, (std::vector<std::pair<int, int>>{{1, 16}, {17, 34}, {35, 70}, {71, 142}}));
    EXPECT_TRUE(memory.live.empty());
}

TEST(CVectorTest, OwningVectorDeletesNonNullElementsInOrderThenFreesArray) {
    CountedMemory memory;
    std::string log;
    {
        OwningVector vector;
        vector.Add(new CCounted('A', log));
        vector.Add(nullptr);
        vector.Add(new CCounted('B', log));
        EXPECT_EQ(vector.GetCount(), 3);
        EXPECT_EQ(vector.GetAt(1), nullptr);
        EXPECT_EQ(log, "");
    }
    EXPECT_EQ(log, "AB");
    EXPECT_EQ(memory.releases, 1);
    EXPECT_TRUE(memory.live.empty());
}

TEST(CVectorTest, ValueVectorDropsPointersWithoutDeleting) {
    std::string log;
    CCounted a('A', log);
    {
        Simple::CVector<CCounted*, Simple::SValue, CCounted*> vector;
        vector.Add(&a);
    }
    EXPECT_EQ(log, "");
}

TEST(CVectorTest, EmptyVectorAllocatesAndFreesNothing) {
    CountedMemory memory;
    { OwningVector vector; }
    EXPECT_EQ(memory.allocations + memory.reallocations + memory.releases, 0);
}

TEST(CVectorTest, FailedGrowthLeavesVectorUnchanged) {
    CountedMemory memory;
    IntVector vector;
    memory.failAt = 1;
    EXPECT_FALSE(vector.Add(1));
    EXPECT_EQ(vector.GetCount(), 0);
    EXPECT_EQ(vector.GetCapacity(), 0);

    for (int i = 0; i < 16; ++i) ASSERT_TRUE(vector.Add(i));
    memory.failAt = memory.allocations + memory.reallocations + 1;
    EXPECT_FALSE(vector.Add(16));
    EXPECT_EQ(vector.GetCount(), 16);
    EXPECT_EQ(vector.GetCapacity(), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(vector.GetAt(i), i);

    EXPECT_TRUE(vector.Add(16));
    EXPECT_EQ(vector.GetCapacity(), 34);
}

// Walks the tree below node: search order within (low, high), parent links, no red node with a
// red child. Returns the black height (sentinel counted as 1), or -1 after reporting a fault.
int CheckSubtree(const IdMap& map, const Node* node, const Node* parent, const int64_t low, const int64_t high,
                 int& nodes) {
    const Node* sentinel = map.GetSentinel();
    if (node == sentinel) return 1;
    ++nodes;
    if (node->parent != parent) {
        ADD_FAILURE() << "node " << node->key << " has the wrong parent";
        return -1;
    }
    if (node->key <= low || node->key >= high) {
        ADD_FAILURE() << "node " << node->key << " is out of search order";
        return -1;
    }
    if (node->colour != 0 && node->colour != 1) {
        ADD_FAILURE() << "node " << node->key << " has colour " << int(node->colour);
        return -1;
    }
    if (node->colour == 1 && (node->left->colour == 1 || node->right->colour == 1)) {
        ADD_FAILURE() << "red node " << node->key << " has a red child";
        return -1;
    }
    int left = CheckSubtree(map, node->left, node, low, node->key, nodes);
    int right = CheckSubtree(map, node->right, node, node->key, high, nodes);
    if (left < 0 || right < 0) return -1;
    if (left != right) {
        ADD_FAILURE() << "black heights differ below " << node->key << ": " << left << " and " << right;
        return -1;
    }
    return left + (node->colour == 0 ? 1 : 0);
}

// The map holds exactly the reference's entries as a red-black tree threaded in key order, with
// every node in use and the pool of ceil(nodes / 7) blocks.
void CheckMapAgainst(const IdMap& map, const std::map<int, bool>& reference, const CountedMemory& memory) {
    const Node* sentinel = map.GetSentinel();
    EXPECT_EQ(sentinel->colour, 0);
    EXPECT_EQ(sentinel->parent, nullptr);
    EXPECT_EQ(sentinel->left, sentinel);
    EXPECT_EQ(sentinel->right, sentinel);

    const Node* root = map.GetRoot();
    int nodes = 0;
    if (root != sentinel) {
        EXPECT_EQ(root->colour, 0) << "the root is black";
    }
    EXPECT_GT(CheckSubtree(map, root, nullptr, int64_t(INT_MIN) - 1, int64_t(INT_MAX) + 1, nodes), 0);

    std::vector<std::pair<int, bool>> threaded;
    const Node* previous = nullptr;
    for (const Node* node = map.GetFirst(); node; node = node->next) {
        EXPECT_EQ(node->previous, previous) << "previous link of " << node->key;
        threaded.emplace_back(node->key, node->value);
        previous = node;
        if (threaded.size() > reference.size()) break;
    }
    EXPECT_EQ(map.GetLast(), previous);
    const std::vector<std::pair<int, bool>> expected(reference.begin(), reference.end());
    EXPECT_EQ(threaded, expected);

    EXPECT_EQ(map.GetCount(), static_cast<int>(reference.size()));
    EXPECT_EQ(nodes, map.GetCount());
    EXPECT_EQ(map.GetNodesInUse(), map.GetCount());
    EXPECT_EQ(static_cast<int>(memory.live.size()), (nodes + 6) / 7);
}

TEST(CMapTest, OneTwoThreeGiveBlackRootWithRedChildren) {
    IdMap map;
    for (int key : {1, 2, 3}) ASSERT_TRUE(map.Set(key, true));
    const Node* root = map.GetRoot();
    EXPECT_EQ(root->key, 2);
    EXPECT_EQ(root->colour, 0);
    EXPECT_EQ(root->left->key, 1);
    EXPECT_EQ(root->left->colour, 1);
    EXPECT_EQ(root->right->key, 3);
    EXPECT_EQ(root->right->colour, 1);
    EXPECT_EQ(map.GetFirst(), root->left);
    EXPECT_EQ(map.GetLast(), root->right);
}

TEST(CMapTest, NodesComeFromBlocksOfSeven) {
    CountedMemory memory;
    {
        IdMap map;
        EXPECT_EQ(map.GetBlockSize(), 7);
        ASSERT_TRUE(map.Set(100, true));
        EXPECT_EQ(memory.allocations, 1);
        EXPECT_GE(memory.sizes[0], sizeof(void*) + 7 * sizeof(Node));
        for (int key = 101; key < 107; ++key) ASSERT_TRUE(map.Set(key, true));
        EXPECT_EQ(memory.allocations, 1) << "seven keys fit in one block";
        ASSERT_TRUE(map.Set(107, true));
        EXPECT_EQ(memory.allocations, 2) << "the eighth key takes a second block";

        ASSERT_TRUE(map.Set(103, false));
        EXPECT_EQ(memory.allocations, 2);
        EXPECT_EQ(map.GetCount(), 8);
        EXPECT_EQ(map.GetNodesInUse(), 8);
        ASSERT_NE(map.Find(103), nullptr);
        EXPECT_FALSE(*map.Find(103));
        EXPECT_EQ(memory.releases, 0);
    }
    EXPECT_EQ(memory.releases, 2);
    EXPECT_TRUE(memory.live.empty());
}

TEST(CMapTest, EmptyMapFindsNothingAndFreesNothing) {
    CountedMemory memory;
    {
        IdMap map;
        EXPECT_EQ(map.Find(0), nullptr);
        EXPECT_EQ(map.Find(INT_MIN), nullptr);
        EXPECT_EQ(map.GetCount(), 0);
        EXPECT_EQ(map.GetFirst(), nullptr);
        EXPECT_EQ(map.GetLast(), nullptr);
        EXPECT_EQ(map.GetRoot(), map.GetSentinel());
    }
    EXPECT_EQ(memory.allocations + memory.reallocations + memory.releases, 0);
}

TEST(CMapTest, KeysSortAsSignedIntegers) {
    IdMap map;
    const int keys[] = {0, 5, -1, static_cast<int>(0x80000000u), INT_MAX, static_cast<int>(0xFFFFFFFEu), 0x7FFF0000};
    for (int key : keys) ASSERT_TRUE(map.Set(key, true));
    std::vector<int> order;
    for (const Node* node = map.GetFirst(); node; node = node->next) order.push_back(node->key);
    EXPECT_EQ(order, (std::vector<int>{INT_MIN, -2, -1, 0, 5, 0x7FFF0000, INT_MAX}));
}

TEST(CMapTest, RandomInsertsKeepTreeThreadingAndPoolExact) {
    struct SCase {
        uint32_t seed;
        int inserts;
        int keySpread;  // keys drawn near a few centres; small spreads repeat keys often
    };
    const SCase cases[] = {{1, 40, 30}, {2, 700, 500}, {3, 3000, 1 << 30}, {4, 3000, 2000}};
    for (const SCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "seed " << c.seed);
        CountedMemory memory;
        {
            IdMap map;
            std::map<int, bool> reference;
            std::mt19937 random(c.seed);
            // Around zero (negative keys), around the top bit and at both ends of the range.
            const int64_t centres[] = {0, int64_t(INT_MIN) + c.keySpread, 0x80000000LL - 1 - c.keySpread, 0x12345678};
            std::uniform_int_distribution<int> pick(0, 3);
            std::uniform_int_distribution<int> offset(-c.keySpread, c.keySpread);
            for (int i = 1; i <= c.inserts; ++i) {
                int key = static_cast<int>(centres[pick(random)] + offset(random));
                bool value = (random() & 1) != 0;
                ASSERT_TRUE(map.Set(key, value));
                reference[key] = value;

                // A positional lookup now and then, so that later inserts move the cached position.
                if (i % 5 == 0) {
                    int index = static_cast<int>(random() % reference.size());
                    const Node* node = map.GetNodeAt(index);
                    ASSERT_NE(node, nullptr);
                    EXPECT_EQ(node->key, std::next(reference.begin(), index)->first) << "position " << index;
                }
                if (i % 97 == 0 || i == c.inserts) {
                    CheckMapAgainst(map, reference, memory);
                    if (HasFailure()) return;
                }
            }
            for (const auto& [key, value] : reference) {
                const bool* found = map.Find(key);
                ASSERT_NE(found, nullptr) << key;
                EXPECT_EQ(*found, value) << key;
            }
            for (int probe = 0; probe < 200; ++probe) {
                int key = static_cast<int>(random());
                EXPECT_EQ(map.Find(key) != nullptr, reference.count(key) == 1) << key;
            }
        }
        EXPECT_TRUE(memory.live.empty()) << "destruction frees every block";
        EXPECT_EQ(memory.releases, memory.allocations);
    }
}

TEST(CMapTest, CachedPositionFollowsInsertsOfSmallerKeys) {
    IdMap map;
    for (int key = 10; key <= 100; key += 10) map.Set(key, true);
    ASSERT_EQ(map.GetNodeAt(4)->key, 50);
    // Inserted before the cached node: position 4 now holds 40.
    map.Set(5, true);
    map.Set(95, true);
    EXPECT_EQ(map.GetNodeAt(4)->key, 40);
    EXPECT_EQ(map.GetNodeAt(0)->key, 5);
    EXPECT_EQ(map.GetNodeAt(11)->key, 100);
    EXPECT_EQ(map.GetNodeAt(12), nullptr);
    EXPECT_EQ(map.GetNodeAt(-1), nullptr);
}

TEST(CMapTest, FailedBlockAllocationLeavesMapUnchanged) {
    CountedMemory memory;
    IdMap map;
    for (int key = 0; key < 7; ++key) ASSERT_TRUE(map.Set(key, true));
    memory.failAt = memory.allocations + 1;
    EXPECT_FALSE(map.Set(7, true));
    EXPECT_EQ(map.Find(7), nullptr);
    std::map<int, bool> reference;
    for (int key = 0; key < 7; ++key) reference[key] = true;
    CheckMapAgainst(map, reference, memory);

    EXPECT_TRUE(map.Set(7, true));
    reference[7] = true;
    CheckMapAgainst(map, reference, memory);
}

TEST(CMapTest, OwnedValuesAreDeletedWhenReplacedAndWithTheMap) {
    std::string log;
    {
        Simple::CMap<int, CCounted*, Simple::SValue, Simple::SOwnedPtr, int> map;
        map.Set(2, new CCounted('A', log));
        map.Set(1, new CCounted('B', log));
        map.Set(2, new CCounted('C', log));
        EXPECT_EQ(log, "A");
        EXPECT_EQ((*map.Find(2))->tag, 'C');
    }
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(std::multiset<char>(log.begin(), log.end()), (std::multiset<char>{'A', 'B', 'C'}));
}

}  // namespace
