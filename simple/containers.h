// The two container templates of the foundation library, their behaviour chosen by policy
// types: Simple::CVector, a growable array, and Simple::CMap, an ordered map kept as a
// red-black tree threaded in key order, whose nodes come from pool blocks owned by the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace Simple {

// Where the containers take their memory: malloc, realloc and free, unless a test puts counting
// or failing functions in their place.
struct SAllocator {
    void* (*allocate)(size_t bytes);
    void* (*reallocate)(void* block, size_t bytes);
    void (*release)(void* block);
};

namespace Detail {
inline void* DefaultAllocate(size_t bytes) { return malloc(bytes); }
inline void* DefaultReallocate(void* block, size_t bytes) { return realloc(block, bytes); }
inline void DefaultRelease(void* block) { free(block); }
}  // namespace Detail

inline SAllocator containerMemory = {Detail::DefaultAllocate, Detail::DefaultReallocate, Detail::DefaultRelease};

// Element policy: the elements are pointers to objects that the container owns.
struct SOwnedPtr {
    template <typename T>
    static void Destroy(T* element) {
        if (element) delete element;
    }
};

// Element policy: plain values, copied in and dropped without any action.
struct SValue {
    template <typename T>
    static void Destroy(const T&) {}
};

// A growable array. Elements are moved with realloc, so they must be plain data (pointers,
// numbers). Arg is the type Add takes.
template <typename T, typename Policy, typename Arg = T>
class CVector {
    static_assert(std::is_trivially_copyable<T>::value, "elements are moved with realloc");

public:
    CVector() = default;
    CVector(const CVector&) = delete;
    CVector& operator=(const CVector&) = delete;

    // Owned elements are deleted from index 0 upward, empty slots skipped, then the array freed.
    virtual ~CVector() {
        for (int i = 0; i < m_count; ++i) Policy::Destroy(m_array[i]);
        m_count = 0;
        if (m_array) containerMemory.release(m_array);
    }

    // Appends one element; false (and nothing changed) when the array could not grow.
    bool Add(Arg element) {
        if (m_count + 1 > m_capacity) {
            if (m_count >= kMaxCapacity / 2) return false;
            int capacity = 2 * (m_count + 1);
            if (capacity < kMinCapacity) capacity = kMinCapacity;
            size_t bytes = static_cast<size_t>(capacity) * sizeof(T);
            void* grown = m_array ? containerMemory.reallocate(m_array, bytes) : containerMemory.allocate(bytes);
            if (!grown) return false;
            m_array = static_cast<T*>(grown);
            m_capacity = capacity;
        }
        m_array[m_count++] = element;
        return true;
    }

    int GetCount() const { return m_count; }
    // 0 <= index < GetCount().
    T GetAt(int index) const { return m_array[index]; }
    // Slots allocated; shows the growth steps 16, 34, 70, 142, ...
    int GetCapacity() const { return m_capacity; }

private:
    static constexpr int kMinCapacity = 16;
    // Keeps 2 * (count + 1) and the byte size of the array within range on both builds.
    static constexpr int kMaxCapacity =
        static_cast<int>((SIZE_MAX / sizeof(T) < INT32_MAX) ? SIZE_MAX / sizeof(T) : INT32_MAX);

    int32_t m_count = 0;
    int32_t m_capacity = 0;
    T* m_array = nullptr;
};

// An ordered map: a red-black search tree whose nodes are also threaded in ascending key order
// (previous/next). Nodes come from pool blocks of 7 and go back to the pool; the memory of the
// pool is freed as a whole when the last node comes back. Keys and values are plain data;
// KeyArg is the type Find and Set take for a key.
template <typename K, typename V, typename KeyPolicy, typename ValuePolicy, typename KeyArg = K>
class CMap {
    static_assert(std::is_trivially_copyable<K>::value && std::is_trivially_copyable<V>::value,
                  "keys and values are plain data");

public:
    enum EColour : uint8_t { kBlack = 0, kRed = 1 };

    struct SNode {
        K key;
        V value;
        SNode* parent;
        SNode* left;
        SNode* right;
        SNode* previous;
        SNode* next;
        uint8_t colour;
    };

    CMap() {
        m_sentinel.parent = nullptr;
        m_sentinel.left = &m_sentinel;
        m_sentinel.right = &m_sentinel;
        m_sentinel.previous = nullptr;
        m_sentinel.next = nullptr;
        m_sentinel.colour = kBlack;
        m_root = &m_sentinel;
    }
    CMap(const CMap&) = delete;
    CMap& operator=(const CMap&) = delete;

    virtual ~CMap() {
        if (m_root != &m_sentinel) ReturnSubtree(m_root);
        FreeBlocks();
    }

    // The value stored under key, or null when the key is absent.
    V* Find(KeyArg key) {
        SNode* node = m_root;
        while (node != &m_sentinel) {
            if (key > node->key)
                node = node->right;
            else if (key < node->key)
                node = node->left;
            else
                return &node->value;
        }
        return nullptr;
    }

    // Inserts key with value, or assigns value when key is present. False (and nothing
    // changed) only when a new pool block was needed and could not be allocated.
    bool Set(KeyArg key, const V& value) {
        SNode* parent = nullptr;
        bool right = false;
        for (SNode* node = m_root; node != &m_sentinel;) {
            parent = node;
            if (key > node->key) {
                right = true;
                node = node->right;
            } else if (key < node->key) {
                right = false;
                node = node->left;
            } else {
                if (!(node->value == value)) ValuePolicy::Destroy(node->value);
                node->key = key;
                node->value = value;
                return true;
            }
        }

        SNode* node = TakeNode();
        if (!node) return false;
        node->key = key;
        node->value = value;
        node->parent = parent;
        node->left = &m_sentinel;
        node->right = &m_sentinel;
        node->colour = kRed;

        if (!parent) {
            m_root = node;
            node->previous = nullptr;
            node->next = nullptr;
        } else if (right) {
            parent->right = node;
            node->previous = parent;
            node->next = parent->next;
        } else {
            parent->left = node;
            node->next = parent;
            node->previous = parent->previous;
        }
        if (node->previous)
            node->previous->next = node;
        else
            m_first = node;
        if (node->next)
            node->next->previous = node;
        else
            m_last = node;

        // The cached index keeps naming the same position in key order.
        if (m_cachedNode && key < m_cachedNode->key) m_cachedNode = m_cachedNode->previous;

        Rebalance(node);
        ++m_count;
        return true;
    }

    int GetCount() const { return m_count; }

    // The node at position index in ascending key order (0 <= index < GetCount()), or null.
    // Walks from the cached position, the first or the last node, whichever is nearest, and
    // caches the result.
    const SNode* GetNodeAt(int index) {
        if (index < 0 || index >= m_count) return nullptr;
        int from = 0;
        SNode* node = m_first;
        if (m_count - 1 - index < index - from) {
            from = m_count - 1;
            node = m_last;
        }
        if (m_cachedNode) {
            int distance = index > m_cachedIndex ? index - m_cachedIndex : m_cachedIndex - index;
            int best = index > from ? index - from : from - index;
            if (distance < best) {
                from = m_cachedIndex;
                node = m_cachedNode;
            }
        }
        for (; from < index; ++from) node = node->next;
        for (; from > index; --from) node = node->previous;
        m_cachedIndex = index;
        m_cachedNode = node;
        return node;
    }

    // Read-only view of the structure, for checks of its invariants.
    const SNode* GetRoot() const { return m_root; }
    const SNode* GetSentinel() const { return &m_sentinel; }
    const SNode* GetFirst() const { return m_first; }
    const SNode* GetLast() const { return m_last; }
    int GetNodesInUse() const { return m_nodesInUse; }
    int GetBlockSize() const { return m_blockSize; }

private:
    // A pool block is one allocation: the link to the block allocated before it, then
    // block-size slots. A free slot's first field links to the next free slot.
    union USlot {
        USlot* nextFree;
        SNode node;
    };
    struct SBlock {
        SBlock* previous;
    };
    static constexpr size_t kSlotsOffset = (sizeof(SBlock) + alignof(USlot) - 1) / alignof(USlot) * alignof(USlot);
    static USlot* SlotsOf(SBlock* block) {
        return reinterpret_cast<USlot*>(reinterpret_cast<char*>(block) + kSlotsOffset);
    }

    SNode* TakeNode() {
        if (!m_freeList) {
            size_t bytes = kSlotsOffset + static_cast<size_t>(m_blockSize) * sizeof(USlot);
            auto* block = static_cast<SBlock*>(containerMemory.allocate(bytes));
            if (!block) return nullptr;
            block->previous = m_blocks;
            m_blocks = block;
            USlot* slots = SlotsOf(block);
            for (int i = 0; i + 1 < m_blockSize; ++i) slots[i].nextFree = &slots[i + 1];
            slots[m_blockSize - 1].nextFree = nullptr;
            m_freeList = slots;
        }
        USlot* slot = m_freeList;
        m_freeList = slot->nextFree;
        ++m_nodesInUse;
        return &slot->node;
    }

    // The last node in use takes the whole pool with it.
    void ReturnNode(SNode* node) {
        KeyPolicy::Destroy(node->key);
        ValuePolicy::Destroy(node->value);
        if (m_nodesInUse > 1) {
            auto* slot = reinterpret_cast<USlot*>(node);
            slot->nextFree = m_freeList;
            m_freeList = slot;
            --m_nodesInUse;
        } else {
            FreeBlocks();
        }
    }

    void FreeBlocks() {
        while (m_blocks) {
            SBlock* previous = m_blocks->previous;
            containerMemory.release(m_blocks);
            m_blocks = previous;
        }
        m_freeList = nullptr;
        m_nodesInUse = 0;
    }

    // Post-order: both subtrees before the node, so the root comes back last. The depth is
    // bounded by twice the logarithm of the count.
    void ReturnSubtree(SNode* node) {
        if (node->left != &m_sentinel) ReturnSubtree(node->left);
        if (node->right != &m_sentinel) ReturnSubtree(node->right);
        ReturnNode(node);
    }

    void RotateLeft(SNode* x) {
        SNode* y = x->right;
        x->right = y->left;
        if (y->left != &m_sentinel) y->left->parent = x;
        y->parent = x->parent;
        if (!x->parent)
            m_root = y;
        else if (x == x->parent->left)
            x->parent->left = y;
        else
            x->parent->right = y;
        y->left = x;
        x->parent = y;
    }

    void RotateRight(SNode* x) {
        SNode* y = x->left;
        x->left = y->right;
        if (y->right != &m_sentinel) y->right->parent = x;
        y->parent = x->parent;
        if (!x->parent)
            m_root = y;
        else if (x == x->parent->right)
            x->parent->right = y;
        else
            x->parent->left = y;
        y->right = x;
        x->parent = y;
    }

    void Rebalance(SNode* node) {
        while (node != m_root && node->parent->colour == kRed) {
            SNode* parent = node->parent;
            SNode* grandparent = parent->parent;
            if (parent == grandparent->left) {
                SNode* uncle = grandparent->right;
                if (uncle->colour == kRed) {
                    parent->colour = kBlack;
                    uncle->colour = kBlack;
                    grandparent->colour = kRed;
                    node = grandparent;
                } else {
                    if (node == parent->right) {
                        node = parent;
                        RotateLeft(node);
                    }
                    node->parent->colour = kBlack;
                    node->parent->parent->colour = kRed;
                    RotateRight(node->parent->parent);
                }
            } else {
                SNode* uncle = grandparent->left;
                if (uncle->colour == kRed) {
                    parent->colour = kBlack;
                    uncle->colour = kBlack;
                    grandparent->colour = kRed;
                    node = grandparent;
                } else {
                    if (node == parent->left) {
                        node = parent;
                        RotateRight(node);
                    }
                    node->parent->colour = kBlack;
                    node->parent->parent->colour = kRed;
                    RotateLeft(node->parent->parent);
                }
            }
        }
        m_root->colour = kBlack;
    }

    SBlock* m_blocks = nullptr;
    USlot* m_freeList = nullptr;
    int32_t m_nodesInUse = 0;
    int32_t m_blockSize = 7;
    SNode* m_root = nullptr;
    SNode* m_first = nullptr;
    SNode* m_last = nullptr;
    SNode m_sentinel{};
    int32_t m_cachedIndex = -1;
    SNode* m_cachedNode = nullptr;
    int32_t m_count = 0;
};

}  // namespace Simple
