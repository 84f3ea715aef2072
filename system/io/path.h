// PathT: a fixed-capacity path buffer.
//
// PathT<BackwardSlash, 260> holds a zero-terminated path of at most 259 characters in a
// 260-byte buffer; it never allocates and is a plain value (copy it freely). Inside the
// library paths use backslash separators; the platform layer turns them into '/' when a
// name reaches the system.
//
// Append joins one more component: the empty path becomes the component; an empty
// component changes nothing; otherwise one backslash goes between the two (none is added
// when the path is longer than one character and already ends in a backslash) and a single
// leading backslash of the component is skipped.
//
// A name that does not fit is never cut: text of more than 259 characters, or a join that
// would pass 259, leaves the path overflowed. An overflowed path reads as empty text (CStr()
// is "", CStrOrNull() null) and so names no file; Overflowed() tells it from a path that was
// meant to be empty, every later Append fails, and every file-system entry point that takes a
// path fails on it without touching anything. So an over-long name never reaches a
// shortened, different file.
//
// Not synchronised: a PathT belongs to whoever holds it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Yr {

// Separator policy: the library's own separator is the backslash; forward slashes given by
// callers are turned into backslashes where a path is handed on.
struct BackwardSlash {
  static constexpr char kSeparator = '\\';
  static constexpr char kForeign = '/';
};

template <typename Policy, unsigned int Capacity>
class PathT {
 public:
  static constexpr unsigned int kCapacity = Capacity;
  static constexpr unsigned int kMaxLength = Capacity - 1;

  PathT() { Clear(); }
  // Copies text; null gives the empty path, text longer than kMaxLength an overflowed one.
  PathT(const char* text) { Set(text); }  // NOLINT: implicit from text by design

  void Set(const char* text) {
    unsigned int length = text ? Measure(text) : 0;
    if (length > kMaxLength) {
      Overflow();
    } else if (length == 0) {
      Clear();
    } else {
      Copy(0, text, length);
    }
  }

  // False, leaving the path overflowed, when the joined path would not fit or the path has
  // already overflowed.
  bool Append(const char* component) {
    if (Overflowed()) return false;
    if (component == nullptr || component[0] == '\0') return true;
    unsigned int length = Length();
    if (length == 0) {
      unsigned int count = Measure(component);
      if (count > kMaxLength) return Overflow();
      Copy(0, component, count);
      return true;
    }
    bool separator = !(length > 1 && mText[length - 1] == Policy::kSeparator);
    if (component[0] == Policy::kSeparator) ++component;
    unsigned int count = Measure(component);
    unsigned int joined = length + (separator ? 1u : 0u);
    if (joined + count > kMaxLength) return Overflow();
    if (separator) mText[length] = Policy::kSeparator;
    Copy(joined, component, count);
    return true;
  }

  // Forward slashes in the first kCapacity characters become the policy's separator.
  void ConvertSeparators() {
    for (unsigned int i = 0; i < kCapacity && mText[i] != '\0'; ++i) {
      if (mText[i] == Policy::kForeign) mText[i] = Policy::kSeparator;
    }
  }

  unsigned int Length() const {
    unsigned int length = 0;
    while (length < kMaxLength && mText[length] != '\0') ++length;
    return length;
  }
  // True for an overflowed path too: neither names a file.
  bool Empty() const { return mText[0] == '\0'; }
  // True when a name or a join did not fit (see above).
  bool Overflowed() const { return mText[0] == '\0' && mText[1] == kOverflowMark; }
  const char* CStr() const { return mText; }
  operator const char*() const { return mText; }  // NOLINT: a path reads as its text
  // The text, or null for the empty path: some system calls are given "no name" that way.
  const char* CStrOrNull() const { return Empty() ? nullptr : mText; }

 private:
  // Characters of text, counting no further than one past the limit.
  static unsigned int Measure(const char* text) {
    unsigned int count = 0;
    while (count <= kMaxLength && text[count] != '\0') ++count;
    return count;
  }
  void Copy(unsigned int at, const char* text, unsigned int count) {
    for (unsigned int i = 0; i < count; ++i) mText[at + i] = text[i];
    mText[at + count] = '\0';
  }
  // The overflow mark sits behind the terminating NUL of the first byte, where no text of
  // an empty path can be; an empty path keeps a NUL there instead.
  static constexpr char kOverflowMark = '\x01';
  void Clear() { mText[0] = mText[1] = '\0'; }
  bool Overflow() {
    mText[0] = '\0';
    mText[1] = kOverflowMark;
    return false;
  }

  static_assert(Capacity >= 2, "room for the terminating NUL and the overflow mark");
  char mText[Capacity];
};

using Path = PathT<BackwardSlash, 260>;
static_assert(sizeof(Path) == 260, "a path is its 260-byte buffer");

}  // namespace Yr
