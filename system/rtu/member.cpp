#include "system/rtu/member.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "system/debug/debug_output.h"

namespace Yr::RTU {

namespace {

// Every ToString formats here first, then copies into the caller's buffer.
char sFormatBuffer[kTextBufferSize];

const char* CopyOut(char* buffer, const char* text) {
  size_t length = std::strlen(text);
  if (length > kMaxText) length = kMaxText;
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return buffer;
}

template <typename... Args>
const char* FormatOut(char* buffer, const char* format, Args... args) {
  std::snprintf(sFormatBuffer, sizeof sFormatBuffer, format, args...);
  return CopyOut(buffer, sFormatBuffer);
}

// Decimal integer parsing: leading white space, a sign, digits; 0 without digits. Values
// beyond int saturate, as the 32-bit parsing does, on every build.
long long ParseSigned(const char* text) {
  errno = 0;
  return std::strtoll(text, nullptr, 10);
}

int ParseInt(const char* text) {
  long long value = ParseSigned(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Unsigned parsing with the base taken from the text (0x hexadecimal, 0 octal, else
// decimal), with 32-bit results on every build: a magnitude above 32 bits saturates and a
// minus sign negates modulo 2^32.
unsigned int ParseUnsigned(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    // A second sign or white space after the sign is no number.
    if (*p == '+' || *p == '-' || std::isspace(static_cast<unsigned char>(*p))) return 0;
  }
  errno = 0;
  unsigned long long magnitude = std::strtoull(p, nullptr, 0);
  if (errno == ERANGE || magnitude > UINT_MAX) return UINT_MAX;
  unsigned int value = static_cast<unsigned int>(magnitude);
  return negative ? 0u - value : value;
}

template <size_t N>
void AppendRecord(ByteArray& out, int tag, const void* value) {
  uint8_t record[1 + N];
  record[0] = static_cast<uint8_t>(tag);
  // Little-endian on every build this library targets; the bytes are copied as stored.
  std::memcpy(record + 1, value, N);
  out.Append(record, static_cast<uint32_t>(sizeof record));
}

// Copies N value bytes from the cursor, or refuses when fewer were received.
template <size_t N>
bool TakeBytes(IRTUStream& in, void* value) {
  if (!in.Has(N)) {
    in.mShort = true;
    return false;
  }
  std::memcpy(value, in.mCursor, N);
  in.mCursor += N;
  return true;
}

// ---- Text of each type --------------------------------------------------------------------

const char* TextOf(char* buffer, const bool& value) { return FormatOut(buffer, "%s", value ? "True" : "False"); }
void FromText(const char* text, bool& value) { value = std::strcmp(text, "True") == 0; }

const char* TextOf(char* buffer, const char& value) { return FormatOut(buffer, "%c", value); }
void FromText(const char* text, char& value) { value = text[0]; }

const char* TextOf(char* buffer, const unsigned char& value) {
  return FormatOut(buffer, "%i", static_cast<int>(value));
}
void FromText(const char* text, unsigned char& value) {
  value = static_cast<unsigned char>(static_cast<unsigned long long>(ParseSigned(text)) & 0xFFu);
}

const char* TextOf(char* buffer, const int& value) { return FormatOut(buffer, "%d", value); }
void FromText(const char* text, int& value) { value = ParseInt(text); }

const char* TextOf(char* buffer, const unsigned int& value) { return FormatOut(buffer, "%u", value); }
void FromText(const char* text, unsigned int& value) { value = ParseUnsigned(text); }

const char* TextOf(char* buffer, const float& value) {
  int length = std::snprintf(sFormatBuffer, sizeof sFormatBuffer, "%g", static_cast<double>(value));
  // A whole number still reads as a float: 1 becomes 1.0 (and 1e+10 becomes 1e+10.0).
  if (length >= 0 && std::strchr(sFormatBuffer, '.') == nullptr &&
      static_cast<size_t>(length) + 2 < sizeof sFormatBuffer) {
    std::memcpy(sFormatBuffer + length, ".0", 3);
  }
  return CopyOut(buffer, sFormatBuffer);
}
void FromText(const char* text, float& value) { value = static_cast<float>(std::strtod(text, nullptr)); }

const char* TextOf(char* buffer, const Color32& value) { return FormatOut(buffer, "%u", value.GetValue()); }
void FromText(const char* text, Color32& value) { value = Color32::FromValue(ParseUnsigned(text)); }

const char* TextOf(char* buffer, const StringId& value) {
  // A copy holds a reference on the text while it is copied.
  StringId held(value);
  return FormatOut(buffer, "%s", held.CStr() ? held.CStr() : "");
}
void FromText(const char* text, StringId& value) {
  value = (text == nullptr || text[0] == '\0') ? StringId() : StringId(text);
}

const char* TextOf(char* buffer, void* const&) {
  buffer[0] = '\0';
  return buffer;
}
void FromText(const char*, void*&) {}

// ---- Records of each type -----------------------------------------------------------------

// Types whose record is the variable's own bytes.
template <typename T>
void WriteRecord(ByteArray& out, const T& value) {
  static_assert(sizeof(T) == MemberTraits<T>::kRecordBytes, "record holds the stored bytes");
  AppendRecord<sizeof(T)>(out, MemberTraits<T>::kTag, &value);
}
template <typename T>
void ReadRecord(IRTUStream& in, T& value) {
  T read;
  if (TakeBytes<sizeof(T)>(in, &read)) value = read;
}

void ReadRecord(IRTUStream& in, bool& value) {
  // The byte is taken as zero or not: any other pattern stored in a bool is undefined.
  uint8_t byte;
  if (TakeBytes<1>(in, &byte)) value = byte != 0;
}

void WriteRecord(ByteArray& out, const Color32& value) {
  const uint32_t packed = value.GetValue();
  AppendRecord<sizeof packed>(out, kTagColor32, &packed);
}
void ReadRecord(IRTUStream& in, Color32& value) {
  uint32_t packed;
  if (TakeBytes<sizeof packed>(in, &packed)) value = Color32::FromValue(packed);
}

void WriteRecord(ByteArray& out, const StringId& value) {
  StringId held(value);
  size_t length = held.Length();
  // The length field has 16 bits: a longer text is cut at a length it can say.
  if (length > kMaxRecordText) length = kMaxRecordText;
  const uint8_t head[1 + kStringLengthBytes] = {static_cast<uint8_t>(kTagStringId), static_cast<uint8_t>(length),
                                                static_cast<uint8_t>(length >> 8)};
  out.Append(head, static_cast<uint32_t>(sizeof head));
  if (length) out.Append(reinterpret_cast<const uint8_t*>(held.CStr()), static_cast<uint32_t>(length));
}
void ReadRecord(IRTUStream& in, StringId& value) {
  if (!in.Has(kStringLengthBytes)) {
    in.mShort = true;
    return;
  }
  const size_t length = in.mCursor[0] | static_cast<size_t>(in.mCursor[1]) << 8;
  if (!in.Has(kStringLengthBytes + length)) {
    in.mShort = true;
    return;
  }
  const char* text = reinterpret_cast<const char*>(in.mCursor + kStringLengthBytes);
  if (length == 0) {
    value = StringId();
  } else if (char* block = static_cast<char*>(Detail::Allocate(static_cast<unsigned int>(length + 1)))) {
    std::memcpy(block, text, length);
    block[length] = '\0';
    value = StringId(block);
    Detail::Free(block);
  }
  // With allocation switched off there is nowhere to build the text: the record is
  // consumed and the variable kept.
  in.mCursor += kStringLengthBytes + length;
}

void WriteRecord(ByteArray& out, void* const& value) {
  const uintptr_t pointer = reinterpret_cast<uintptr_t>(value);
  if constexpr (sizeof(uintptr_t) > kPointerRecordBytes) {
    if (pointer > UINT32_MAX) {
      Debug::OutputFmtCR("RTU: a pointer of more than 32 bits has no record; nothing written");
      return;
    }
  }
  const uint32_t narrow = static_cast<uint32_t>(pointer);
  AppendRecord<kPointerRecordBytes>(out, kTagPointer, &narrow);
}
void ReadRecord(IRTUStream& in, void*& value) {
  // Widened to the whole pointer, so no stale high half survives on a 64-bit build.
  uint32_t narrow;
  if (TakeBytes<kPointerRecordBytes>(in, &narrow)) value = reinterpret_cast<void*>(static_cast<uintptr_t>(narrow));
}

template <typename T>
MemberT<T>* NewMember(T* address, Member* source) {
  // Placement, so that a refused allocation gives null instead of a construction at null.
  void* block = Detail::Allocate(static_cast<unsigned int>(sizeof(MemberT<T>)));
  if (block == nullptr) return nullptr;
  auto* member = new (block) MemberT<T>();
  member->mSource = source;
  member->mAddress = address;
  return member;
}

}  // namespace

// ---- Base ---------------------------------------------------------------------------------

Member::~Member() = default;
const char* Member::ToString(char* buffer) {
  buffer[0] = '\0';
  return buffer;
}
void Member::FromString(const char*) {}
void Member::Write(ByteArray&) {}
void Member::Read(IRTUStream&) {}
void Member::SetAddress(void*) {}
Member* Member::CloneElement(unsigned int) { return nullptr; }
int Member::GetTag() const { return kTagNone; }

// ---- The nine types -----------------------------------------------------------------------

template <typename T>
const char* MemberT<T>::ToString(char* buffer) {
  return TextOf(buffer, *this->Value());
}
template <typename T>
void MemberT<T>::FromString(const char* text) {
  FromText(text, *this->Value());
}
template <typename T>
void MemberT<T>::Write(ByteArray& out) {
  WriteRecord(out, *this->Value());
}
template <typename T>
void MemberT<T>::Read(IRTUStream& in) {
  ReadRecord(in, *this->Value());
}
template <typename T>
void MemberT<T>::SetAddress(void* address) {
  this->mAddress = address;
}
template <typename T>
Member* MemberT<T>::CloneElement(unsigned int index) {
  // The real element size: StringId and void* are 8 bytes on a 64-bit build.
  return NewMember<T>(this->Value() + index, this);
}
template <typename T>
MemberT<T>* MemberT<T>::Create(T* address) {
  return NewMember<T>(address, nullptr);
}

#define YR_RTU_INSTANTIATE_MEMBER(T) \
  template struct MemberBaseT<T>;   \
  template struct MemberT<T>;
YR_RTU_VALUE_TYPES(YR_RTU_INSTANTIATE_MEMBER)
#undef YR_RTU_INSTANTIATE_MEMBER

}  // namespace Yr::RTU
