#include "system/strings/string_id.h"

#include <cstring>

#include "system/memory/allocator.h"
#include "system/memory/manual_static.h"
#include "system/strings/hash.h"
#include "system/thread/critical_section.h"

namespace Yr {

Detail::StringIdCache* StringId::msCache = nullptr;
const StringId StringId::null;

namespace Detail {
namespace {

ManualStatic<CriticalSection> gTableLock;
ManualStatic<StringIdCache> gTable;

constexpr uint64_t kHashSeed = 0;

}  // namespace

uint64_t StringIdCache::Hash(const char* text, uint32_t length) { return Yr::Hash(text, length, kHashSeed); }

void StringIdCache::Lock() { gTableLock->Lock(); }
void StringIdCache::Unlock() { gTableLock->Unlock(); }

StringIdCache::Bucket* StringIdCache::NewBuckets(uint32_t size) {
  const size_t bytes = size_t{size} * sizeof(Bucket);
  auto* buckets = static_cast<Bucket*>(Detail::Allocate(static_cast<unsigned int>(bytes)));
  if (buckets == nullptr) Platform::FatalOutOfMemory(bytes, kDefaultAlignment);
  for (uint32_t i = 0; i < size; ++i) new (&buckets[i]) Bucket();
  return buckets;
}

StringIdCache::StringIdCache(unsigned int size) : mGcCursor(0), mEmptyNode(nullptr) {
  // Each shard needs at least one bucket per collection slice; sizes stay powers of two so
  // a bucket is the hash's low bits.
  uint32_t shardSize = kGcSlices;
  while (shardSize < size / kShards && shardSize < kMaxShardBuckets) shardSize *= 2;
  Lock();
  for (Shard& shard : mShards) {
    shard.buckets = NewBuckets(shardSize);
    shard.size = shardSize;
  }
  mEmptyNode = Create("");
  Unlock();
}

StringIdCache::~StringIdCache() {
  Lock();
  for (Shard& shard : mShards) {
    shard.lock.Lock();
    for (uint32_t i = 0; i < shard.size; ++i) {
      ListNode* sentinel = shard.buckets[i].Sentinel();
      while (sentinel->next != sentinel) {
        auto* node = static_cast<Node*>(sentinel->next);
        node->Unlink();
        node->~Node();
        Detail::Free(node);
      }
    }
    Detail::Free(shard.buckets);
    shard.buckets = nullptr;
    shard.size = shard.count = 0;
    shard.lock.Unlock();
  }
  mEmptyNode = nullptr;
  Unlock();
}

StringIdCache::Node* StringIdCache::FindIn(Bucket& bucket, const char* text, uint32_t length) {
  ListNode* sentinel = bucket.Sentinel();
  for (ListNode* link = sentinel->next; link != sentinel; link = link->next) {
    auto* node = static_cast<Node*>(link);
    if (node->length == length && std::memcmp(node->Text(), text, length) == 0) {
      bucket.MoveToFront(node);  // a no-op for the usual one-node chain
      return node;
    }
  }
  return nullptr;
}

// Doubles the shard's buckets and relinks every node; the caller holds the shard's lock.
void StringIdCache::Grow(Shard& shard) {
  const uint32_t size = shard.size * 2;
  Bucket* buckets = NewBuckets(size);
  for (uint32_t i = 0; i < shard.size; ++i) {
    ListNode* sentinel = shard.buckets[i].Sentinel();
    while (sentinel->next != sentinel) {
      auto* node = static_cast<Node*>(sentinel->next);
      node->Unlink();
      buckets[Hash(node->Text(), node->length) & (size - 1)].PushFront(node);
    }
  }
  Detail::Free(shard.buckets);
  shard.buckets = buckets;
  shard.size = size;
}

StringIdCache::Node* StringIdCache::Create(const char* text) {
  if (text == nullptr) return nullptr;
  return Create(text, std::strlen(text));
}

StringIdCache::Node* StringIdCache::Create(const char* text, size_t fullLength) {
  if (text == nullptr) return nullptr;
  // Cut to 32 bits, a longer text would be taken for a shorter one (its first bytes) or get
  // a block that wrapped around to a few bytes.
  if (fullLength > kMaxTextLength) return nullptr;
  const auto length = static_cast<uint32_t>(fullLength);
  // The node of "" is set before the table is published and never changes or goes.
  if (length == 0 && mEmptyNode) {
    RealClone(mEmptyNode);
    return mEmptyNode;
  }
  const uint64_t hash = Hash(text, length);
  Shard& shard = mShards[ShardOf(hash)];
  shard.lock.Lock();
  Bucket& bucket = shard.buckets[hash & (shard.size - 1)];
  Node* node = FindIn(bucket, text, length);
  if (node) {
    RealClone(node);
  } else {
    const uint32_t blockSize = BlockSize(length);
    void* block = Detail::Allocate(blockSize);
    if (block == nullptr) Platform::FatalOutOfMemory(blockSize, kDefaultAlignment);
    node = new (block) Node;
    node->length = length;
    node->capacity = blockSize - kHeaderSize;
    node->refcount.store(1, std::memory_order_relaxed);
    std::memcpy(node->Text(), text, length);
    node->Text()[length] = '\0';
    bucket.PushFront(node);
    if (++shard.count > shard.size && shard.size < kMaxShardBuckets) Grow(shard);
  }
  shard.lock.Unlock();
  return node;
}

// Frees the count-0 nodes of buckets [first, end); the caller holds the shard's lock.
void StringIdCache::Sweep(Shard& shard, uint32_t first, uint32_t end) {
  for (uint32_t i = first; i < end; ++i) {
    ListNode* sentinel = shard.buckets[i].Sentinel();
    ListNode* link = sentinel->next;
    while (link != sentinel) {
      auto* node = static_cast<Node*>(link);
      link = link->next;
      if (node->refcount.load(std::memory_order_acquire) == 0) {
        node->Unlink();
        node->~Node();
        Detail::Free(node);
        --shard.count;
      }
    }
  }
}

void StringIdCache::GC(bool all) {
  Lock();
  if (all) {
    for (Shard& shard : mShards) {
      shard.lock.Lock();
      Sweep(shard, 0, shard.size);
      shard.lock.Unlock();
    }
    mGcCursor = 0;
  } else {
    mGcCursor = (mGcCursor + 1) % kGcSteps;
    Shard& shard = mShards[mGcCursor % kShards];
    const uint32_t slice = mGcCursor / kShards;
    shard.lock.Lock();
    const uint32_t share = shard.size / kGcSlices;
    Sweep(shard, slice * share, (slice + 1) * share);
    shard.lock.Unlock();
  }
  Unlock();
}

unsigned int StringIdCache::SumOverShards(uint32_t Shard::*field) {
  unsigned int total = 0;
  for (Shard& shard : mShards) {
    CriticalSection::Guard guard(shard.lock);
    total += shard.*field;
  }
  return total;
}

unsigned int StringIdCache::Size() { return SumOverShards(&Shard::size); }
unsigned int StringIdCache::NodeCount() { return SumOverShards(&Shard::count); }

unsigned int StringIdCache::LongestChain() {
  unsigned int longest = 0;
  for (Shard& shard : mShards) {
    CriticalSection::Guard guard(shard.lock);
    for (uint32_t i = 0; i < shard.size; ++i) {
      unsigned int length = 0;
      const ListNode* sentinel = shard.buckets[i].Sentinel();
      for (const ListNode* link = sentinel->next; link != sentinel; link = link->next) ++length;
      if (length > longest) longest = length;
    }
  }
  return longest;
}

bool StringIdCache::Holds(const char* text) {
  const auto length = static_cast<uint32_t>(std::strlen(text));
  const uint64_t hash = Hash(text, length);
  Shard& shard = mShards[ShardOf(hash)];
  CriticalSection::Guard guard(shard.lock);
  Bucket& bucket = shard.buckets[hash & (shard.size - 1)];
  const ListNode* sentinel = bucket.Sentinel();
  for (const ListNode* link = sentinel->next; link != sentinel; link = link->next) {
    const auto* node = static_cast<const Node*>(link);
    if (node->length == length && std::memcmp(const_cast<Node*>(node)->Text(), text, length) == 0) return true;
  }
  return false;
}

unsigned int StringIdCache::GcStepOf(const char* text) {
  const uint64_t hash = Hash(text, static_cast<uint32_t>(std::strlen(text)));
  const uint32_t shardIndex = ShardOf(hash);
  Shard& shard = mShards[shardIndex];
  CriticalSection::Guard guard(shard.lock);
  const uint32_t slice = static_cast<uint32_t>(hash & (shard.size - 1)) / (shard.size / kGcSlices);
  return slice * kShards + shardIndex;
}

void BuildStringTableLock() { gTableLock.Build(); }
void DestroyStringTableLock() { gTableLock.Destroy(); }

void BuildStringTable() { StringId::msCache = &gTable.Build(StringIdCache::kBuckets); }

void DestroyStringTable() {
  gTable.Destroy();
  StringId::msCache = nullptr;
}

}  // namespace Detail

// ---- StringId -------------------------------------------------------------------------------

StringId::StringId(const char* text) : mNode(CreateString(text)) {}

StringId& StringId::operator=(const StringId& other) {
  if (mNode == other.mNode) return *this;
  if (mNode) Detail::StringIdCache::Destroy(mNode);
  mNode = other.mNode;
  if (mNode) Detail::StringIdCache::RealClone(mNode);
  return *this;
}

StringId& StringId::operator=(StringId&& other) noexcept {
  if (this == &other) return *this;
  if (mNode) Detail::StringIdCache::Destroy(mNode);
  mNode = other.mNode;
  other.mNode = nullptr;
  return *this;
}

void StringId::GC(bool all) { msCache->GC(all); }

StringId::Node* StringId::CreateString(const char* text) {
  if (text == nullptr) return nullptr;
  // Static handles of other modules may be made while the library is already unloading.
  if (msCache == nullptr) [[unlikely]]
    Platform::FatalError("Yr: fatal: a StringId was made after the string table was destroyed at unload\n");
  return msCache->Create(text);
}

void StringId::CloneString(StringId& dst, const StringId& src) {
  dst.mNode = src.mNode;
  if (dst.mNode) Detail::StringIdCache::RealClone(dst.mNode);
}

}  // namespace Yr
