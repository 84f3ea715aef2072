#include "system/strings/string_id.h"

#include <cstring>

#include "system/memory/allocator.h"
#include "system/memory/manual_static.h"
#include "system/thread/critical_section.h"

namespace Yr {

Detail::StringIdCache* StringId::msCache = nullptr;
const StringId StringId::null;

namespace Detail {
namespace {

ManualStatic<CriticalSection> gTableLock;
ManualStatic<StringIdCache> gTable;

// Sampled positions for texts above kFullHashLength: alternately from the end and the front.
constexpr uint32_t kFullHashLength = 16;
constexpr uint32_t kHashShift = 3;

}  // namespace

uint32_t StringIdCache::Hash(const char* text, uint32_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  uint32_t h = 0;
  if (length <= kFullHashLength) {
    for (uint32_t i = 0; i < length; ++i) h = (h << kHashShift) ^ bytes[i];
    return h;
  }
  const uint32_t samples[] = {length - 6, 3, length - 5, 4, length - 4, 5, length - 3, 6, length - 2, 7, length - 1};
  for (uint32_t index : samples) h = (h << kHashShift) ^ bytes[index];
  return h;
}

void StringIdCache::Lock() { gTableLock->Lock(); }
void StringIdCache::Unlock() { gTableLock->Unlock(); }

StringIdCache::StringIdCache(unsigned int size) : mSize(size), mBuckets(nullptr), mGcCursor(0), mEmptyNode(nullptr) {
  Lock();
  mBuckets = static_cast<Bucket*>(Detail::Allocate(size * static_cast<unsigned int>(sizeof(Bucket))));
  if (mBuckets == nullptr) Platform::FatalOutOfMemory(size * sizeof(Bucket), kDefaultAlignment);
  for (unsigned int i = 0; i < size; ++i) new (&mBuckets[i]) Bucket();
  mEmptyNode = Create("");
  Unlock();
}

StringIdCache::~StringIdCache() {
  Lock();
  for (unsigned int i = 0; i < mSize; ++i) {
    ListNode* sentinel = mBuckets[i].Sentinel();
    while (sentinel->next != sentinel) {
      auto* node = static_cast<Node*>(sentinel->next);
      node->Unlink();
      node->~Node();
      Detail::Free(node);
    }
  }
  Detail::Free(mBuckets);
  mBuckets = nullptr;
  mEmptyNode = nullptr;
  Unlock();
}

StringIdCache::Node* StringIdCache::Find(const char* text, uint32_t length, Bucket** bucketOut) {
  Bucket* bucket = &mBuckets[Hash(text, length) % mSize];
  *bucketOut = bucket;
  ListNode* sentinel = bucket->Sentinel();
  for (ListNode* link = sentinel->next; link != sentinel; link = link->next) {
    auto* node = static_cast<Node*>(link);
    if (node->length == length && std::memcmp(node->Text(), text, length) == 0) {
      bucket->MoveToFront(node);
      return node;
    }
  }
  return nullptr;
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
  Lock();
  if (length == 0 && mEmptyNode) {
    RealClone(mEmptyNode);
    Unlock();
    return mEmptyNode;
  }
  Bucket* bucket = nullptr;
  Node* node = Find(text, length, &bucket);
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
    bucket->PushFront(node);
  }
  Unlock();
  return node;
}

void StringIdCache::Sweep(unsigned int index) {
  ListNode* sentinel = mBuckets[index].Sentinel();
  ListNode* link = sentinel->next;
  while (link != sentinel) {
    auto* node = static_cast<Node*>(link);
    link = link->next;
    if (node->refcount.load(std::memory_order_acquire) == 0) {
      node->Unlink();
      node->~Node();
      Detail::Free(node);
    }
  }
}

void StringIdCache::GC(bool all) {
  Lock();
  ++mGcCursor;
  if (all || mGcCursor >= mSize) mGcCursor = 0;
  Sweep(mGcCursor);
  if (all) {
    for (unsigned int i = 1; i < mSize; ++i) Sweep(i);
    mGcCursor = 0;
  }
  Unlock();
}

unsigned int StringIdCache::BucketLength(unsigned int bucket) {
  Lock();
  unsigned int count = 0;
  ListNode* sentinel = mBuckets[bucket].Sentinel();
  for (ListNode* link = sentinel->next; link != sentinel; link = link->next) ++count;
  Unlock();
  return count;
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
