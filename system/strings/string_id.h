// StringId: the interned string handle.
//
// A handle is one pointer to a shared, reference-counted node of the process-wide string
// table. Handles made from the same text share the node, so equality is a pointer compare
// (exact, case-sensitive text equality) and ordering is by node address, null first. The
// handle of "" is not null. Nodes are never freed when their last handle goes: they wait
// with count 0 until a collection (GC) sweeps their bucket, so a text made again soon
// reuses its node.
//
// Thread safety: handles may be made, copied and dropped from any thread. Reading the text
// takes no lock: a node's text never changes and a node is freed only at count 0, i.e. when
// no handle refers to it. Handles must not be used after the library is unloaded: making one
// from text then is a fatal stop with a line that says so.
//
// Texts too long for a node (more than StringIdCache::kMaxTextLength bytes, about 4 GiB; the
// node keeps its length in 32 bits) are refused: they give the null handle, as a null text
// does, and nothing is allocated or copied.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "system/memory/list.h"
#include "system/platform/export.h"

namespace Yr {

namespace Detail {

class YR_API StringIdCache {
 public:
  struct Node : ListNode {
    uint32_t length;    // characters, without the NUL
    uint32_t capacity;  // block size minus the header
    std::atomic<uint32_t> refcount;
    char* Text() { return reinterpret_cast<char*>(this + 1); }
  };

  // Header of the five node fields; the text follows directly.
  static constexpr uint32_t kHeaderSize = static_cast<uint32_t>(sizeof(Node));
  static constexpr uint32_t kBlockGranule = 16;
  // Bytes a block keeps beyond header and text: the NUL and one spare byte.
  static constexpr uint32_t kTextSlack = 2;
  static constexpr uint32_t kBuckets = 256;
  // Bytes of a node block for a text of length n: header, text and slack rounded up to 16.
  static constexpr uint32_t BlockSize(uint32_t length) {
    return (kHeaderSize + length + kTextSlack + kBlockGranule - 1) / kBlockGranule * kBlockGranule;
  }
  // The longest text a node holds: its length field and its block size both stay in 32 bits.
  static constexpr uint32_t kMaxTextLength = UINT32_MAX / kBlockGranule * kBlockGranule - kHeaderSize - kTextSlack;
  // Bucket hash: every byte up to 16 characters, eleven sampled bytes above.
  static uint32_t Hash(const char* text, uint32_t length);

  explicit StringIdCache(unsigned int size);
  ~StringIdCache();
  StringIdCache(const StringIdCache&) = delete;
  StringIdCache& operator=(const StringIdCache&) = delete;

  Node* Create(const char* text);
  // As Create, for a text whose length is already known: null, without reading the text,
  // when length is above kMaxTextLength.
  Node* Create(const char* text, size_t length);
  // Raising a count needs no lock: the caller holds a handle to the node (or the table lock,
  // in Create), so a collection, which frees only at count 0 and only under the lock, cannot
  // free the node meanwhile.
  static void RealClone(Node* node) { node->refcount.fetch_add(1, std::memory_order_relaxed); }
  // Lowering never leaves the count below zero: a release of a node already at 0 is undone
  // at once. The momentary wrap only makes a concurrent collection skip the node. The release
  // half orders this handle's last reads of the node before the collection that frees it.
  static void Destroy(Node* node) {
    if (node->refcount.fetch_sub(1, std::memory_order_acq_rel) == 0)
      node->refcount.fetch_add(1, std::memory_order_relaxed);
  }
  // Frees nodes of count 0: one bucket per call, or every bucket when all is true.
  void GC(bool all);
  void Dump() {}

  // Introspection for tests.
  unsigned int Size() const { return mSize; }
  unsigned int GcCursor() const { return mGcCursor; }
  unsigned int BucketLength(unsigned int bucket);
  Node* EmptyNode() const { return mEmptyNode; }

 private:
  using Bucket = List<Node, NoListSize>;
  Node* Find(const char* text, uint32_t length, Bucket** bucketOut);
  void Sweep(unsigned int bucket);
  static void Lock();
  static void Unlock();

  uint32_t mSize;
  Bucket* mBuckets;
  uint32_t mGcCursor;
  Node* mEmptyNode;
};

static_assert(StringIdCache::BlockSize(StringIdCache::kMaxTextLength) >=
                  StringIdCache::kHeaderSize + StringIdCache::kMaxTextLength + StringIdCache::kTextSlack,
              "the longest text's block size does not wrap");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(StringIdCache::kHeaderSize == 20, "node header is five 32-bit fields");
#endif

// Load and unload steps of the string table.
void BuildStringTableLock();
void DestroyStringTableLock();
YR_API void BuildStringTable();
YR_API void DestroyStringTable();

}  // namespace Detail

class YR_API StringId {
 public:
  using Node = Detail::StringIdCache::Node;
  // Tag for statics whose storage must not be touched by a late constructor run.
  struct Nop {};
  using BoolFunc = void (StringId::*)() const;

  constexpr StringId() : mNode(nullptr) {}
  StringId(const char* text);  // NOLINT: implicit from text by design
  StringId(const StringId& other) : mNode(other.mNode) {
    if (mNode) Detail::StringIdCache::RealClone(mNode);
  }
  StringId(StringId&& other) noexcept : mNode(other.mNode) { other.mNode = nullptr; }
  explicit StringId(Nop&) {}
  ~StringId() {
    if (mNode) Detail::StringIdCache::Destroy(mNode);
  }
  StringId& operator=(const StringId& other);
  StringId& operator=(StringId&& other) noexcept;

  const char* CStr() const { return mNode ? mNode->Text() : nullptr; }
  const char* operator*() const { return CStr(); }
  unsigned int Length() const { return mNode ? mNode->length : 0; }
  bool Empty() const { return mNode == nullptr || mNode->length == 0; }
  operator BoolFunc() const { return mNode ? &StringId::BoolTrue : nullptr; }

  friend bool operator==(const StringId& a, const StringId& b) { return a.mNode == b.mNode; }
  friend bool operator!=(const StringId& a, const StringId& b) { return a.mNode != b.mNode; }
  // Order by node address; null (address 0) sorts first.
  friend bool operator<(const StringId& a, const StringId& b) { return Address(a) < Address(b); }
  friend bool operator>(const StringId& a, const StringId& b) { return Address(a) > Address(b); }
  friend bool operator<=(const StringId& a, const StringId& b) { return Address(a) <= Address(b); }
  friend bool operator>=(const StringId& a, const StringId& b) { return Address(a) >= Address(b); }

  static void GC(bool all);
  static void Dump() {}
  static const char* GetRTTI() { return "StringId"; }

  // The node's reference count; for tests and diagnostics.
  unsigned int RefCount() const { return mNode ? mNode->refcount.load(std::memory_order_relaxed) : 0; }
  const Node* GetNode() const { return mNode; }

  static Detail::StringIdCache* msCache;
  static const StringId null;

 private:
  void BoolTrue() const {}
  static uintptr_t Address(const StringId& id) { return reinterpret_cast<uintptr_t>(id.mNode); }
  static Node* CreateString(const char* text);
  static void CloneString(StringId& dst, const StringId& src);

  Node* mNode;
};

static_assert(sizeof(StringId) == sizeof(void*), "a handle is one pointer");

}  // namespace Yr
