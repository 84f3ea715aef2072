#include "system/memory/memory_pool.h"

#include "system/memory/allocator.h"

namespace Yr {
namespace {

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

uint64_t RoundUp(uint64_t x, uint64_t a) { return a <= 1 ? x : (x + a - 1) / a * a; }

uint64_t Gcd(uint64_t a, uint64_t b) {
  while (b != 0) {
    uint64_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

}  // namespace

SimpleMemoryPool::SimpleMemoryPool(unsigned int itemSize, unsigned int itemsPerChunk,
                                   unsigned int alignment, bool isStatic) {
  Init(itemSize, itemsPerChunk, alignment, isStatic);
}

SimpleMemoryPool::~SimpleMemoryPool() { Reset(); }

void SimpleMemoryPool::Init(unsigned int itemSize, unsigned int itemsPerChunk, unsigned int alignment,
                            bool isStatic) {
  mItemsPerChunk = itemsPerChunk;
  mAlignment = alignment;
  // Raised to hold a link first, so that the rounding keeps every item aligned.
  uint64_t size = RoundUp(itemSize < kLinkSize ? kLinkSize : itemSize, alignment);
  mItemSize = size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
  mFreeCount = isStatic ? kStaticFlag : 0;
  mFreeList = nullptr;
}

// The largest distance from a chunk to its first item: the chunk comes 16-byte aligned and
// the first item is the first multiple of the alignment behind the link word. Only
// residues that share the alignment's common factor with 16 can occur.
uint64_t SimpleMemoryPool::FirstItemOffsetBound() const {
  if (mAlignment <= 1) return kLinkSize;
  const uint64_t common = Gcd(Detail::kDefaultAlignment, mAlignment);
  const uint64_t smallestResidue = kLinkSize % common != 0 ? kLinkSize % common : common;
  return kLinkSize + mAlignment - smallestResidue;
}

// The nominal chunk is (max(alignment, link) + items) rounded down to whole words; it is
// raised where an alignment or item size that is not a power of two would let the items
// run past it.
uint64_t SimpleMemoryPool::ChunkBytes() const {
  const uint64_t items = uint64_t{mItemsPerChunk} * mItemSize;
  const uint64_t nominal = (LeadRoom() + items) & ~uint64_t{sizeof(uint32_t) - 1};
  const uint64_t needed = FirstItemOffsetBound() + items;
  const uint64_t bytes = nominal > needed ? nominal : needed;
  return bytes > UINT32_MAX ? 0 : bytes;
}

char* SimpleMemoryPool::FirstItem(Chunk* chunk) const {
  return reinterpret_cast<char*>(RoundUp(Addr(chunk) + kLinkSize, mAlignment));
}

bool SimpleMemoryPool::NewChunk() {
  if (IsStatic() && mChunks != nullptr) return false;
  if (mItemsPerChunk == 0 || mItemSize == 0) return false;
  const uint64_t bytes = ChunkBytes();
  if (bytes == 0) return false;
  auto* chunk = static_cast<Chunk*>(Detail::Allocate(static_cast<unsigned int>(bytes)));
  if (chunk == nullptr) return false;
  // A hook that ignores the requested alignment could leave too little room for the items.
  if (Addr(FirstItem(chunk)) - Addr(chunk) + uint64_t{mItemsPerChunk} * mItemSize > bytes) {
    Detail::FreeManaged(chunk);
    return false;
  }
  chunk->mNext = mChunks;
  mChunks = chunk;
  AddChunk(chunk);
  return true;
}

void SimpleMemoryPool::AddChunk(Chunk* chunk) {
  char* item = FirstItem(chunk);
  void* first = item;
  for (uint32_t i = 1; i < mItemsPerChunk; ++i, item += mItemSize) StoreLink(item, item + mItemSize);
  StoreLink(item, mFreeList);
  mFreeList = first;
  mFreeCount += mItemsPerChunk;
}

void SimpleMemoryPool::Clear() {
  mFreeList = nullptr;
  mFreeCount &= kStaticFlag;
  for (Chunk* chunk = mChunks; chunk != nullptr; chunk = chunk->mNext) AddChunk(chunk);
}

void SimpleMemoryPool::Reset() {
  for (Chunk* chunk = mChunks; chunk != nullptr;) {
    Chunk* next = chunk->mNext;
    Detail::FreeManaged(chunk);
    chunk = next;
  }
  mChunks = nullptr;
  mFreeList = nullptr;
  mFreeCount &= kStaticFlag;
}

unsigned int SimpleMemoryPool::ChunkCount() const {
  unsigned int count = 0;
  for (Chunk* chunk = mChunks; chunk != nullptr; chunk = chunk->mNext) ++count;
  return count;
}

unsigned int SimpleMemoryPool::GetNumAllocated() const {
  return ChunkCount() * mItemsPerChunk - GetNumFreeItems();
}

unsigned int SimpleMemoryPool::GetMemAllocated() const {
  return ChunkCount() * (LeadRoom() + mItemsPerChunk * mItemSize);
}

}  // namespace Yr
