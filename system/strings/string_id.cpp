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

// ---- Reader slots ------------------------------------------------------------------------
// A lookup without the lock announces, for its duration, the epoch it began in, in a slot of
// its own; a collection frees what it retired only once no slot shows an epoch from before
// the retirement. Slots are taken per lookup (a compare-and-swap from free), starting from a
// per-thread guess, so no thread owns one for life and nothing needs a thread-exit hook; each
// sits on its own cache line, so threads do not pass lines between them. With every slot
// busy, the lookup takes the locked path.
constexpr uint32_t kReaderSlots = 64;
constexpr uint64_t kFree = 0;
struct alignas(64) ReaderSlot {
  std::atomic<uint64_t> epoch{kFree};
};
constinit ReaderSlot gReaders[kReaderSlots];
// Starts at 1: kFree is never an epoch.
constinit std::atomic<uint64_t> gEpoch{1};
constinit std::atomic<uint32_t> gNextGuess{0};
constinit thread_local uint32_t tGuess = kReaderSlots;  // kReaderSlots: not guessed yet

class ReadSection {
 public:
  ReadSection() {
    uint32_t guess = tGuess;
    if (guess == kReaderSlots) tGuess = guess = gNextGuess.fetch_add(1, std::memory_order_relaxed) % kReaderSlots;
    const uint64_t epoch = gEpoch.load(std::memory_order_seq_cst);
    for (uint32_t tried = 0; tried < kReaderSlots; ++tried) {
      ReaderSlot& slot = gReaders[(guess + tried) % kReaderSlots];
      uint64_t expected = kFree;
      if (slot.epoch.load(std::memory_order_relaxed) == kFree &&
          slot.epoch.compare_exchange_strong(expected, epoch, std::memory_order_seq_cst)) {
        mSlot = &slot;
        return;
      }
    }
  }
  ~ReadSection() {
    if (mSlot) mSlot->epoch.store(kFree, std::memory_order_release);
  }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
  bool Entered() const { return mSlot != nullptr; }

 private:
  ReaderSlot* mSlot = nullptr;
};

// Whether everything unlinked before this call can be freed: the epoch moves on, and no
// lookup that began before that is still running. A lookup that announces itself after the
// scan loads its first link after the unlinks (all these are sequentially consistent), so
// it cannot reach what was unlinked.
bool NoEarlierReader() {
  const uint64_t retiredBy = gEpoch.fetch_add(1, std::memory_order_seq_cst);
  for (const ReaderSlot& slot : gReaders) {
    const uint64_t epoch = slot.epoch.load(std::memory_order_seq_cst);
    if (epoch != kFree && epoch <= retiredBy) return false;
  }
  return true;
}

void FreeNode(StringIdCache::Node* node) {
  node->~Node();
  Detail::Free(node);
}

}  // namespace

uint64_t StringIdCache::Hash(const char* text, uint32_t length) { return Yr::Hash(text, length, kHashSeed); }

void StringIdCache::Lock() { gTableLock->Lock(); }
void StringIdCache::Unlock() { gTableLock->Unlock(); }

StringIdCache::Table* StringIdCache::NewTable(uint32_t size) {
  const size_t bytes = sizeof(Table) + size_t{size} * sizeof(std::atomic<Node*>);
  void* block = Detail::Allocate(static_cast<unsigned int>(bytes));
  if (block == nullptr) Platform::FatalOutOfMemory(bytes, kDefaultAlignment);
  auto* table = new (block) Table{size, nullptr};
  std::atomic<Node*>* heads = table->Heads();
  for (uint32_t i = 0; i < size; ++i) new (&heads[i]) std::atomic<Node*>(nullptr);
  return table;
}

StringIdCache::StringIdCache(unsigned int size) : mGcCursor(0), mEmptyNode(nullptr) {
  // Each shard needs at least one bucket per collection slice; sizes stay powers of two so
  // a bucket is the hash's low bits.
  uint32_t shardSize = kGcSlices;
  while (shardSize < size / kShards && shardSize < kMaxShardBuckets) shardSize *= 2;
  Lock();
  for (Shard& shard : mShards) shard.table.store(NewTable(shardSize), std::memory_order_release);
  mEmptyNode = Create("");
  Unlock();
}

StringIdCache::~StringIdCache() {
  Lock();
  for (Shard& shard : mShards) {
    shard.lock.Lock();
    Table* table = shard.table.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < table->size; ++i) {
      for (Node* node = table->Heads()[i].load(std::memory_order_relaxed); node != nullptr;) {
        Node* next = node->next.load(std::memory_order_relaxed);
        FreeNode(node);
        node = next;
      }
    }
    Detail::Free(table);
    shard.table.store(nullptr, std::memory_order_relaxed);
    shard.count = 0;
    // The library is unloading: no lookup can be running any more.
    FreeRetired(shard);
    shard.lock.Unlock();
  }
  mEmptyNode = nullptr;
  Unlock();
}

// The caller holds the shard's lock: every node in the chain is live.
StringIdCache::Node* StringIdCache::FindLocked(Table* table, uint64_t hash, const char* text, uint32_t length) {
  for (Node* node = table->Heads()[hash & (table->size - 1)].load(std::memory_order_relaxed); node != nullptr;
       node = node->next.load(std::memory_order_relaxed)) {
    if (node->length == length && std::memcmp(node->Text(), text, length) == 0) return node;
  }
  return nullptr;
}

// The lock-free hit: the node with its count raised, or null for "ask under the lock" (not
// found, being collected, or no reader slot free). A chain may be rewired by a growth while
// it is followed; it stays acyclic, so the walk ends, and a miss is never trusted.
StringIdCache::Node* StringIdCache::FindUnlocked(Shard& shard, uint64_t hash, const char* text, uint32_t length) {
  ReadSection section;
  if (!section.Entered()) return nullptr;
  Table* table = shard.table.load(std::memory_order_seq_cst);
  for (Node* node = table->Heads()[hash & (table->size - 1)].load(std::memory_order_seq_cst); node != nullptr;
       node = node->next.load(std::memory_order_seq_cst)) {
    if (node->length != length || std::memcmp(node->Text(), text, length) != 0) continue;
    uint32_t count = node->refcount.load(std::memory_order_relaxed);
    do {
      if (count == kCollected) return nullptr;
    } while (!node->refcount.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed));
    return node;
  }
  return nullptr;
}

// Doubles the shard's buckets and moves every node over; the caller holds the shard's lock.
// A node leaves its old chain before it joins a new one, and new chains only ever link
// moved nodes, so a lookup on either array always reaches a chain's end.
void StringIdCache::Grow(Shard& shard) {
  Table* old = shard.table.load(std::memory_order_relaxed);
  const uint32_t size = old->size * 2;
  Table* grown = NewTable(size);
  for (uint32_t i = 0; i < old->size; ++i) {
    std::atomic<Node*>& head = old->Heads()[i];
    while (Node* node = head.load(std::memory_order_relaxed)) {
      head.store(node->next.load(std::memory_order_relaxed), std::memory_order_seq_cst);
      std::atomic<Node*>& target = grown->Heads()[Hash(node->Text(), node->length) & (size - 1)];
      node->next.store(target.load(std::memory_order_relaxed), std::memory_order_seq_cst);
      target.store(node, std::memory_order_release);
    }
  }
  shard.table.store(grown, std::memory_order_seq_cst);
  old->retiredNext = shard.retiredTables;
  shard.retiredTables = old;
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
  if (Node* node = FindUnlocked(shard, hash, text, length)) return node;
  CriticalSection::Guard guard(shard.lock);
  Table* table = shard.table.load(std::memory_order_relaxed);
  if (Node* node = FindLocked(table, hash, text, length)) {
    RealClone(node);
    return node;
  }
  const uint32_t blockSize = BlockSize(length);
  void* block = Detail::Allocate(blockSize);
  if (block == nullptr) Platform::FatalOutOfMemory(blockSize, kDefaultAlignment);
  Node* node = new (block) Node{{nullptr}, nullptr, length, blockSize - kHeaderSize, {1}};
  std::memcpy(node->Text(), text, length);
  node->Text()[length] = '\0';
  std::atomic<Node*>& head = table->Heads()[hash & (table->size - 1)];
  node->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
  head.store(node, std::memory_order_release);  // publishes the finished node
  if (++shard.count > table->size && table->size < kMaxShardBuckets) Grow(shard);
  return node;
}

// Unlinks the count-0 nodes of buckets [first, end) and retires them; the caller holds the
// shard's lock. A node is taken only if its count goes from 0 to kCollected, so a lookup
// racing for it either raises the count first (the node stays) or sees it collected.
void StringIdCache::Sweep(Shard& shard, uint32_t first, uint32_t end) {
  Table* table = shard.table.load(std::memory_order_relaxed);
  for (uint32_t i = first; i < end; ++i) {
    std::atomic<Node*>* link = &table->Heads()[i];
    while (Node* node = link->load(std::memory_order_relaxed)) {
      uint32_t zero = 0;
      if (!node->refcount.compare_exchange_strong(zero, kCollected, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
        link = &node->next;
        continue;
      }
      // The node keeps its own link, so a lookup standing on it walks on.
      link->store(node->next.load(std::memory_order_relaxed), std::memory_order_seq_cst);
      node->retiredNext = shard.retiredNodes;
      shard.retiredNodes = node;
      --shard.count;
    }
  }
}

void StringIdCache::FreeRetired(Shard& shard) {
  while (Node* node = shard.retiredNodes) {
    shard.retiredNodes = node->retiredNext;
    FreeNode(node);
  }
  while (Table* table = shard.retiredTables) {
    shard.retiredTables = table->retiredNext;
    Detail::Free(table);
  }
}

// Frees what the shard retired once no lookup begun before now runs; otherwise a later
// collection step of the shard tries again. The caller holds the shard's lock.
void StringIdCache::Reclaim(Shard& shard) {
  if (shard.retiredNodes == nullptr && shard.retiredTables == nullptr) return;
  if (NoEarlierReader()) FreeRetired(shard);
}

void StringIdCache::GC(bool all) {
  Lock();
  if (all) {
    for (Shard& shard : mShards) {
      CriticalSection::Guard guard(shard.lock);
      Sweep(shard, 0, shard.table.load(std::memory_order_relaxed)->size);
      Reclaim(shard);
    }
    mGcCursor = 0;
  } else {
    mGcCursor = (mGcCursor + 1) % kGcSteps;
    Shard& shard = mShards[mGcCursor % kShards];
    const uint32_t slice = mGcCursor / kShards;
    CriticalSection::Guard guard(shard.lock);
    const uint32_t share = shard.table.load(std::memory_order_relaxed)->size / kGcSlices;
    Sweep(shard, slice * share, (slice + 1) * share);
    Reclaim(shard);
  }
  Unlock();
}

unsigned int StringIdCache::SumOverShards(uint32_t (*field)(Shard&)) {
  unsigned int total = 0;
  for (Shard& shard : mShards) {
    CriticalSection::Guard guard(shard.lock);
    total += field(shard);
  }
  return total;
}

unsigned int StringIdCache::Size() {
  return SumOverShards([](Shard& shard) { return shard.table.load(std::memory_order_relaxed)->size; });
}
unsigned int StringIdCache::NodeCount() {
  return SumOverShards([](Shard& shard) { return shard.count; });
}

unsigned int StringIdCache::LongestChain() {
  unsigned int longest = 0;
  for (Shard& shard : mShards) {
    CriticalSection::Guard guard(shard.lock);
    Table* table = shard.table.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < table->size; ++i) {
      unsigned int length = 0;
      for (Node* node = table->Heads()[i].load(std::memory_order_relaxed); node != nullptr;
           node = node->next.load(std::memory_order_relaxed))
        ++length;
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
  return FindLocked(shard.table.load(std::memory_order_relaxed), hash, text, length) != nullptr;
}

unsigned int StringIdCache::GcStepOf(const char* text) {
  const uint64_t hash = Hash(text, static_cast<uint32_t>(std::strlen(text)));
  const uint32_t shardIndex = ShardOf(hash);
  Shard& shard = mShards[shardIndex];
  CriticalSection::Guard guard(shard.lock);
  const uint32_t size = shard.table.load(std::memory_order_relaxed)->size;
  const uint32_t slice = static_cast<uint32_t>(hash & (size - 1)) / (size / kGcSlices);
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
