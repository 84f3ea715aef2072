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
// A join that would not fit empties the path and returns false. An empty path names no
// file, so an over-long name fails to open instead of opening a shortened, different name.
// Because an empty path takes the next component whole, a caller that chains joins must stop
// at the first false.
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

  PathT() { mText[0] = '\0'; }
  // Copies at most kMaxLength characters of text; null gives the empty path.
  PathT(const char* text) { Set(text); }  // NOLINT: implicit from text by design

  void Set(const char* text) {
    unsigned int length = 0;
    if (text) {
      while (length < kMaxLength && text[length] != '\0') {
        mText[length] = text[length];
        ++length;
      }
    }
    mText[length] = '\0';
  }

  bool Append(const char* component) {
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
  bool Empty() const { return mText[0] == '\0'; }
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
  bool Overflow() {
    mText[0] = '\0';
    return false;
  }

  char mText[Capacity];
};

using Path = PathT<BackwardSlash, 260>;
static_assert(sizeof(Path) == 260, "a path is its 260-byte buffer");

}  // namespace Yr
