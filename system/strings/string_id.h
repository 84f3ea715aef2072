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
//
// The table: a 64-bit hash over every byte of the text picks one of kShards shards (top
// bits) and a bucket within it (low bits). Each shard has its own lock, bucket array and node
// count, and doubles its buckets under its lock when it holds more nodes than buckets, so
// chains stay about one node long however many texts there are.
//
// Finding a text that is already there takes no lock: a lookup follows the bucket's chain
// with atomic loads and raises the node's count with a compare-and-swap that fails on a node
// being collected. Writers (making a node, growing the buckets, collecting) hold the shard's
// lock and keep every chain walkable and acyclic at every moment; a lookup that misses, or
// meets a node being collected, takes the lock and looks again, so a miss is only ever
// decided under the lock. Why: every locked lookup wrote the lock's cache line, so two
// threads looking up different texts still passed that line between them on nearly every
// call; now a hit writes only the node's count and the calling thread's reader slot.
//
// Freeing: a collected node or an outgrown bucket array may still be under a lookup, so it
// is retired, not freed, and freed by the first collection step of its shard that finds no
// lookup begun before its retirement still running (an epoch announced in a reader slot by
// each lookup). With no lookup running, which is the usual case, that is the same step.
// Collection takes the table lock (cursor) and then one shard lock at a time, never the
// other way round.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"
#include "system/thread/critical_section.h"

namespace Yr {

namespace Detail {

class YR_API StringIdCache {
 public:
  struct Node {
    std::atomic<Node*> next;  // the chain; lookups follow it without the lock
    Node* retiredNext;        // the shard's list of collected nodes awaiting their free
    uint32_t length;          // characters, without the NUL
    uint32_t capacity;        // block size minus the header
    std::atomic<uint32_t> refcount;
    char* Text() { return reinterpret_cast<char*>(this + 1); }
  };
  // Header of the five node fields; the text follows directly.
  static constexpr uint32_t kHeaderSize = static_cast<uint32_t>(sizeof(Node));
  static constexpr uint32_t kBlockGranule = 16;
  // Bytes a block keeps beyond header and text: the NUL and one spare byte.
  static constexpr uint32_t kTextSlack = 2;
  // Buckets of the process-wide table at load, over all shards.
  static constexpr uint32_t kBuckets = 256;
  static constexpr uint32_t kShardBits = 4;
  static constexpr uint32_t kShards = 1u << kShardBits;
  // A full collection cycle is kGcSteps incremental calls whatever the table's size: each
  // sweeps one shard's share of 1 / (kGcSteps / kShards) of its buckets, i.e. one bucket
  // while the table has its start size.
  static constexpr uint32_t kGcSteps = kBuckets;
  static constexpr uint32_t kGcSlices = kGcSteps / kShards;
  // Growth stops here so a bucket array's byte size stays well inside 32 bits.
  static constexpr uint32_t kMaxShardBuckets = 1u << 22;
  // Bytes of a node block for a text of length n: header, text and slack rounded up to 16.
  static constexpr uint32_t BlockSize(uint32_t length) {
    return (kHeaderSize + length + kTextSlack + kBlockGranule - 1) / kBlockGranule * kBlockGranule;
  }
  // The longest text a node holds: its length field and its block size both stay in 32 bits.
  static constexpr uint32_t kMaxTextLength = UINT32_MAX / kBlockGranule * kBlockGranule - kHeaderSize - kTextSlack;
  // The table's hash: every byte of the text, the library's 64-bit string hash with seed 0.
  static uint64_t Hash(const char* text, uint32_t length);
  static uint32_t ShardOf(uint64_t hash) { return static_cast<uint32_t>(hash >> (64 - kShardBits)); }

  // size: buckets at start over all shards, a power of two of at least kShards * kGcSlices.
  explicit StringIdCache(unsigned int size);
  ~StringIdCache();
  StringIdCache(const StringIdCache&) = delete;
  StringIdCache& operator=(const StringIdCache&) = delete;

  Node* Create(const char* text);
  // As Create, for a text whose length is already known: null, without reading the text,
  // when length is above kMaxTextLength.
  Node* Create(const char* text, size_t length);
  // Raising a count needs no lock when the caller holds a handle to the node (or its
  // shard's lock): a collection takes only nodes of count 0, and only under that lock.
  static void RealClone(Node* node) { node->refcount.fetch_add(1, std::memory_order_relaxed); }
  // Lowering never leaves the count below zero: a release of a node already at 0 is undone
  // at once. The momentary wrap only makes a concurrent collection skip the node (and a
  // lookup take the locked path). The release half orders this handle's last reads of the
  // node before the collection that frees it.
  static void Destroy(Node* node) {
    if (node->refcount.fetch_sub(1, std::memory_order_acq_rel) == 0)
      node->refcount.fetch_add(1, std::memory_order_relaxed);
  }
  // Frees nodes of count 0: a 1/kGcSteps share of the table per call (the share after the
  // cursor), or all of it when all is true.
  void GC(bool all);
  void Dump() {}

  // Introspection for tests and diagnostics; each takes the shard locks it reads under.
  unsigned int Size();  // buckets over all shards
  unsigned int NodeCount();
  unsigned int LongestChain();
  unsigned int GcCursor() const { return mGcCursor; }
  // Whether the table holds a node of text (of any count), without making or reviving it.
  bool Holds(const char* text);
  // The cursor value whose incremental step sweeps text's bucket at the present size.
  unsigned int GcStepOf(const char* text);
  Node* EmptyNode() const { return mEmptyNode; }

 private:
  // A shard's bucket array, its size in front. Replaced whole when the shard grows.
  struct Table {
    uint32_t size;  // a power of two
    Table* retiredNext;
    std::atomic<Node*>* Heads() { return reinterpret_cast<std::atomic<Node*>*>(this + 1); }
  };
  struct alignas(64) Shard {  // own cache line: two threads' shards do not share one
    CriticalSection lock;
    std::atomic<Table*> table{nullptr};
    uint32_t count = 0;  // nodes in the chains
    // Unlinked under the lock and not yet freed: lookups may still be on them.
    Node* retiredNodes = nullptr;
    Table* retiredTables = nullptr;
  };
  // A count no handle can reach: the node is being collected.
  static constexpr uint32_t kCollected = UINT32_MAX;

  static Table* NewTable(uint32_t size);
  static Node* FindLocked(Table* table, uint64_t hash, const char* text, uint32_t length);
  static Node* FindUnlocked(Shard& shard, uint64_t hash, const char* text, uint32_t length);
  static void Grow(Shard& shard);
  static void Sweep(Shard& shard, uint32_t first, uint32_t end);
  static void Reclaim(Shard& shard);
  static void FreeRetired(Shard& shard);
  unsigned int SumOverShards(uint32_t (*field)(Shard&));
  static void Lock();
  static void Unlock();
  Shard mShards[kShards];
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
