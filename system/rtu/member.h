// Live-update members: one registered variable of a known value type.
//
// A Member points at a variable and converts it to and from text (ToString, FromString)
// and to and from its value record, the byte form a tool sends: a one-byte type tag, then
// the value's little-endian bytes (Write appends one to a ByteArray, Read takes one from an
// IRTUStream). MemberT<T> exists for the nine value types of RecordTag.
//
//   float speed = 2.5f;
//   Yr::RTU::MemberT<float>* member = Yr::RTU::MemberT<float>::Create(&speed);
//   char text[Yr::RTU::kTextBufferSize];
//   member->ToString(text);                 // "2.5"
//   Yr::RTU::ByteArray bytes;
//   member->Write(bytes);                   // 06 00 00 20 40
//   delete member;
//
// Ownership: a member never owns its variable. A clone (CloneElement) refers to the member
// it was cloned from and must not outlive it. Members are allocated through the library's
// entry points and freed by the plain rule.
//
// Threads: ToString formats through one buffer shared by every member, so ToString must not
// run on two threads at once; no member operation takes a lock. Use members from one thread.
//
// Outside input: a stream with an end (IRTUStream(data, size)) refuses a record whose value
// runs past the end: the variable is left as it was, the cursor stays where it was and the
// stream is marked short. A stream without an end trusts its bytes.
//
// Pointer width: the void* record carries 4 bytes on every build, so 32-bit and 64-bit
// programs and tools read each other's records. Read widens the 4 bytes to a whole pointer.
// On a 64-bit build Write of a pointer that does not fit in 32 bits appends nothing (and
// says so on the debug output) rather than a cut pointer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/math/color32.h"
#include "system/memory/allocator.h"
#include "system/memory/darray.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr {

// Bytes of value records, read through a cursor. The cursor is the first member.
struct YR_API IRTUStream {
  const uint8_t* mCursor = nullptr;
  // One past the last byte received, when mHasEnd is set.
  const uint8_t* mEnd = nullptr;
  bool mHasEnd = false;
  // Set when a record was refused because its value ran past mEnd.
  bool mShort = false;

  IRTUStream() = default;
  // A stream without an end: the bytes are trusted.
  explicit IRTUStream(const void* data) : mCursor(static_cast<const uint8_t*>(data)) {}
  // A stream of the size bytes received (data may be null when size is 0).
  IRTUStream(const void* data, size_t size)
      : mCursor(static_cast<const uint8_t*>(data)), mEnd(mCursor + size), mHasEnd(true) {}

  // True when count more bytes may be read at the cursor.
  bool Has(size_t count) const { return !mHasEnd || static_cast<size_t>(mEnd - mCursor) >= count; }
  // Bytes left before the end; SIZE_MAX for a stream without one.
  size_t Remaining() const { return mHasEnd ? static_cast<size_t>(mEnd - mCursor) : SIZE_MAX; }
};

namespace RTU {

// Type tags of value records.
enum RecordTag : int8_t {
  kTagNone = 0,
  kTagBool = 1,
  kTagChar = 2,
  kTagUnsignedChar = 3,
  kTagInt = 4,
  kTagUnsignedInt = 5,
  kTagFloat = 6,
  kTagStringId = 7,
  kTagColor32 = 8,
  kTagPointer = 9,
};
constexpr int kTagCount = 10;

// Bytes after the tag for the fixed-size types; a StringId record has a 2-byte length and
// then that many bytes of text. A pointer record is 4 bytes on every build.
constexpr size_t kStringLengthBytes = 2;
constexpr size_t kPointerRecordBytes = 4;
// The longest text a StringId record can carry.
constexpr size_t kMaxRecordText = 0xFFFF;

// ToString's buffer: the caller provides this many bytes; at most one less are written.
constexpr size_t kTextBufferSize = 512;
constexpr size_t kMaxText = kTextBufferSize - 1;

// Target of Member::Write: grows to max(count + n, 2 * capacity) bytes, at least 16.
using ByteArray = DArray<uint8_t>;

struct YR_API Member : VirtualBase {
  Member() = default;
  Member(const Member&) = delete;
  Member& operator=(const Member&) = delete;
  ~Member() override;

  // Writes the value as text into buffer (kTextBufferSize bytes) and returns buffer.
  virtual const char* ToString(char* buffer);
  virtual void FromString(const char* text);
  // Appends the value record (tag and value bytes).
  virtual void Write(ByteArray& out);
  // Reads the value bytes (no tag) at the cursor into the variable and advances the cursor.
  virtual void Read(IRTUStream& in);
  virtual void SetAddress(void* address);
  // A new member of the same type for the element index places further on, or null when
  // allocation is switched off.
  virtual Member* CloneElement(unsigned int index);
  // The record tag of the value type; kTagNone for the base.
  virtual int GetTag() const;

  Member* mSource = nullptr;
  void* mAddress = nullptr;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Member) == 12, "table pointer, source and address");
#endif

template <typename T>
struct MemberTraits;

// The nine value types, for code that does the same for each.
#define YR_RTU_VALUE_TYPES(X) \
  X(bool)                     \
  X(char)                     \
  X(unsigned char)            \
  X(int)                      \
  X(unsigned int)             \
  X(float)                    \
  X(StringId)                 \
  X(Color32)                  \
  X(void*)

#define YR_RTU_MEMBER_TRAITS(type, tag, bytes)       \
  template <>                                       \
  struct MemberTraits<type> {                       \
    static constexpr int kTag = tag;                \
    static constexpr size_t kRecordBytes = bytes;   \
  };
YR_RTU_MEMBER_TRAITS(bool, kTagBool, 1)
YR_RTU_MEMBER_TRAITS(char, kTagChar, 1)
YR_RTU_MEMBER_TRAITS(unsigned char, kTagUnsignedChar, 1)
YR_RTU_MEMBER_TRAITS(int, kTagInt, sizeof(int32_t))
YR_RTU_MEMBER_TRAITS(unsigned int, kTagUnsignedInt, sizeof(uint32_t))
YR_RTU_MEMBER_TRAITS(float, kTagFloat, sizeof(float))
YR_RTU_MEMBER_TRAITS(StringId, kTagStringId, kStringLengthBytes)
YR_RTU_MEMBER_TRAITS(Color32, kTagColor32, sizeof(uint32_t))
YR_RTU_MEMBER_TRAITS(void*, kTagPointer, kPointerRecordBytes)
#undef YR_RTU_MEMBER_TRAITS

template <typename T>
struct YR_API MemberBaseT : Member {
  T* Value() const { return static_cast<T*>(mAddress); }
  int GetTag() const override { return MemberTraits<T>::kTag; }
};

// The operations of each value type are defined once, in member.cpp, for the nine types.
template <typename T>
struct YR_API MemberT : MemberBaseT<T> {
  const char* ToString(char* buffer) override;
  void FromString(const char* text) override;
  void Write(ByteArray& out) override;
  void Read(IRTUStream& in) override;
  void SetAddress(void* address) override;
  Member* CloneElement(unsigned int index) override;

  // A member of this type pointing at address, or null when allocation is switched off.
  static MemberT* Create(T* address);
};

#define YR_RTU_EXTERN_MEMBER(T)           \
  extern template struct MemberBaseT<T>; \
  extern template struct MemberT<T>;
YR_RTU_VALUE_TYPES(YR_RTU_EXTERN_MEMBER)
#undef YR_RTU_EXTERN_MEMBER

}  // namespace RTU
}  // namespace Yr
