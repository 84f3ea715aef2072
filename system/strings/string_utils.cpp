#include "system/strings/string_utils.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "system/memory/allocator.h"

namespace Yr {
namespace {

// The white space the standard conversions skip in the "C" locale.
inline bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bytes kept on the stack for scratch work before the allocation entry points are asked.
constexpr size_t kStackScratch = 1024;

// Scratch bytes on the stack when they fit, else from the allocation entry points.
class Scratch {
 public:
  explicit Scratch(size_t size)
      : mData(size <= kStackScratch ? mStack
              : size <= UINT_MAX    ? static_cast<char*>(Detail::Allocate(static_cast<unsigned int>(size)))
                                    : nullptr) {}
  ~Scratch() {
    if (mData != mStack && mData != nullptr) Detail::Free(mData);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  char* Data() const { return mData; }

 private:
  char mStack[kStackScratch];
  char* mData;
};

// Wildcard matching without a '*' in the text: every pattern '*' is then a wildcard, and
// only the latest one ever needs a second choice, because any later start for an earlier
// one is also open to the latest. Each retry moves the latest '*' to the next place where
// the character after it occurs.
bool MatchStarFreeText(const char* t, const char* p) {
  const char* afterStar = nullptr;  // pattern character after the latest wildcard '*'
  const char* retry = nullptr;      // next text position to try it at
  for (;;) {
    if (*t == '\0') {
      if (*p == '\0') return true;
    } else if (*t == *p) {
      ++t;
      ++p;
      continue;
    } else if (*p == '*') {
      ++p;
      if (*p == '\0') return true;
      afterStar = p;
      retry = t;
    }
    if (afterStar == nullptr) return false;
    while (*retry != '\0' && *retry != *afterStar) ++retry;
    if (*retry == '\0') return false;
    t = retry + 1;
    p = afterStar + 1;
    ++retry;
  }
}

// With a '*' in the text a pattern '*' facing it is taken literally, which can make an
// earlier wildcard's other choices matter, so the answer is worked out for every pair of
// positions, text from the end: match[j] says whether the text from i matches the pattern
// from j, and later[j], for a '*' at j, whether that holds for some start s >= i where the
// text character equals the pattern character after the '*'.
bool MatchByTable(const char* t, size_t n, const char* p, size_t m) {
  Scratch scratch(2 * (m + 1));
  auto* match = reinterpret_cast<unsigned char*>(scratch.Data());
  if (match == nullptr) return false;
  unsigned char* later = match + m + 1;
  for (size_t j = 0; j <= m; ++j) {
    match[j] = j == m;
    later[j] = 0;
  }
  for (size_t i = n; i-- > 0;) {
    // Ascending j may overwrite match[j] in place: row i reads row i + 1 only at j + 1, j + 2.
    for (size_t j = 0; j <= m; ++j) {
      const bool wildcard = j + 1 < m && p[j] == '*';
      if (wildcard) later[j] = later[j] || (t[i] == p[j + 1] && match[j + 2]);
      bool result;
      if (j == m)
        result = false;
      else if (t[i] == p[j])
        result = match[j + 1];
      else if (p[j] != '*')
        result = false;
      else
        result = j + 1 == m || later[j];
      match[j] = result;
    }
  }
  return match[0];
}

}  // namespace

int AToI(const char* text) {
  errno = 0;
  if (text == nullptr) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (IsSpace(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Accumulate in 64 bits and stop growing once past the largest magnitude an int takes.
  const uint64_t limit = negative ? uint64_t{INT_MAX} + 1 : uint64_t{INT_MAX};
  uint64_t value = 0;
  for (; IsDigit(*p); ++p)
    if (value <= limit) value = value * 10 + (*p - '0');
  if (value > limit) {
    errno = ERANGE;
    return negative ? INT_MIN : INT_MAX;
  }
  return negative ? static_cast<int>(-static_cast<int64_t>(value)) : static_cast<int>(value);
}

unsigned long long AToI64(const char* text) {
  unsigned long long value = 0;
  if (text == nullptr || std::sscanf(text, "%16llx", &value) != 1) return 0;
  return value;
}

void IToA(int value, char* dest) {
  // Digits come out lowest first; the magnitude in 32 unsigned bits also holds INT_MIN's.
  char reversed[kIToASize];
  unsigned int magnitude = value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
  int count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *dest++ = '-';
  while (count > 0) *dest++ = reversed[--count];
  *dest = '\0';
}

bool IsNumber(const char* text) {
  if (text == nullptr) return false;
  for (; *text != '\0'; ++text)
    if (!IsDigit(static_cast<unsigned char>(*text)) && *text != '-') return false;
  return true;
}

int StrPrintF(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = VStrPrintF(buffer, format, args);
  va_end(args);
  return result;
}

int VStrPrintF(char* buffer, const char* format, va_list args) { return std::vsprintf(buffer, format, args); }

int StrNPrintF(char* buffer, unsigned int size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = VStrNPrintF(buffer, size, format, args);
  va_end(args);
  return result;
}

int VStrNPrintF(char* buffer, unsigned int size, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, size, format, args);
  int result = length;
  if (length < 0) {
    result = -1;
  } else if (static_cast<unsigned int>(length) >= size && size > 0) {
    // The standard print stops one character short to leave room for its terminator; the
    // character it left out comes from a second print into scratch space one longer.
    Scratch scratch(size_t{size} + 1);
    if (scratch.Data() != nullptr) {
      std::vsnprintf(scratch.Data(), size_t{size} + 1, format, again);
      buffer[size - 1] = scratch.Data()[size - 1];
    }
    result = static_cast<unsigned int>(length) == size ? length : -1;
  } else if (static_cast<unsigned int>(length) > size) {
    result = -1;  // size 0: nothing written
  }
  va_end(again);
  return result;
}

int StrNPrintF(wchar_t* buffer, unsigned int size, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = VStrNPrintF(buffer, size, format, args);
  va_end(args);
  return result;
}

int VStrNPrintF(wchar_t* buffer, unsigned int size, const wchar_t* format, va_list args) {
  const int result = std::vswprintf(buffer, size, format, args);
  // A result that does not fit is -1 on every system, cut and terminated: one C runtime
  // answers -1 and leaves the buffer unterminated, another answers the full length.
  const bool cut = result < 0 || static_cast<unsigned int>(result) >= size;
  if (cut && size > 0) buffer[size - 1] = L'\0';
  return cut ? -1 : result;
}

bool StrMatchWildcard(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return false;
  if (std::strchr(text, '*') == nullptr) return MatchStarFreeText(text, pattern);
  return MatchByTable(text, std::strlen(text), pattern, std::strlen(pattern));
}

namespace StringUtils {

void ConvertArgsToArray(char* text, int count, char** parts, char separator) {
  if (count < 1) return;
  for (int i = 0; i < count; ++i) parts[i] = nullptr;
  parts[0] = text;
  if (text == nullptr) return;
  int made = 1;
  for (char* c = text; *c != '\0' && made < count; ++c) {
    if (*c == separator) {
      *c = '\0';
      parts[made++] = c + 1;
    }
  }
}

bool ConvertToBool(const char* text) {
  if (text == nullptr) return false;
  if (std::strcmp(text, "1") == 0) return true;
  static constexpr char kTrue[] = "true";
  for (size_t i = 0; i < sizeof kTrue; ++i) {
    const char lower = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (lower != kTrue[i]) return false;
  }
  return true;
}

namespace {

// Scans the fields in the format; fields the text does not supply stay zero.
template <class... Fields>
void ScanFields(const char* text, const char* format, Fields*... fields) {
  ((*fields = Fields{}), ...);
  if (text != nullptr) std::sscanf(text, format, fields...);
}

Color32 ChannelsToColor(const int (&channels)[4]) {
  return Color32(static_cast<uint8_t>(channels[0]), static_cast<uint8_t>(channels[1]), static_cast<uint8_t>(channels[2]),
                 static_cast<uint8_t>(channels[3]));
}

// Splits the key-frame text and hands each key's text to scan, which returns the key. The
// copy is a 255-character buffer, always terminated, so a longer text is cut
// to its first kKeyFrameTextLimit characters instead of being read past the buffer; and at
// most kKeyFrames keys are split off and stored, whatever count the text names.
template <class Framer, class ScanKey>
Framer ParseKeyFrames(const char* text, ScanKey scan) {
  Framer framer;
  if (text == nullptr) return framer;
  char copy[kKeyFrameTextLimit + 1];
  StrNPrintF(copy, sizeof copy, "%s", text);
  copy[kKeyFrameTextLimit] = '\0';
  int named = 0;
  if (std::sscanf(copy, "%d", &named) != 1 || named <= 0) return framer;
  const int keys = named < Framer::kMaxKeys ? named : Framer::kMaxKeys;
  char* parts[Framer::kMaxKeys + 1];
  ConvertArgsToArray(copy, keys + 1, parts, ':');
  // A count beyond the parts the text holds stops at the last part.
  for (int i = 1; i <= keys && parts[i] != nullptr; ++i) {
    framer.mKeys[i - 1] = scan(parts[i]);
    framer.mNumKeys = i;
  }
  return framer;
}

}  // namespace

MinMax ConvertToMinMax(const char* text) {
  MinMax range;
  ScanFields(text, "%f,%f", &range.min, &range.max);
  return range;
}

Vec3 ConvertToVec3(const char* text) {
  Vec3 v;
  ScanFields(text, "%f,%f,%f", &v.x, &v.y, &v.z);
  return v;
}

Vec4 ConvertToVec4(const char* text) {
  Vec4 v;
  ScanFields(text, "%f,%f,%f,%f", &v.x, &v.y, &v.z, &v.w);
  return v;
}

Color32 ConvertToColor32(const char* text) {
  int c[4];
  ScanFields(text, "%d,%d,%d,%d", &c[0], &c[1], &c[2], &c[3]);
  return ChannelsToColor(c);
}

FloatKeyFramer ConvertToFloatKeyFramer(const char* text) {
  return ParseKeyFrames<FloatKeyFramer>(text, [](const char* part) {
    FloatKeyFramer::Key key;
    ScanFields(part, "%f,%f", &key.time, &key.value);
    return key;
  });
}

ColorKeyFramer ConvertToColorKeyFramer(const char* text) {
  return ParseKeyFrames<ColorKeyFramer>(text, [](const char* part) {
    float time;
    int c[4];
    ScanFields(part, "%f,%d,%d,%d,%d", &time, &c[0], &c[1], &c[2], &c[3]);
    return ColorKeyFramer::Key{time, ChannelsToColor(c)};
  });
}

Vec3KeyFramer ConvertToVec3KeyFramer(const char* text) {
  return ParseKeyFrames<Vec3KeyFramer>(text, [](const char* part) {
    Vec3KeyFramer::Key key;
    ScanFields(part, "%f,%f,%f,%f", &key.time, &key.value.x, &key.value.y, &key.value.z);
    return key;
  });
}

MinMaxKeyFramer ConvertToMinMaxKeyFramer(const char* text) {
  return ParseKeyFrames<MinMaxKeyFramer>(text, [](const char* part) {
    MinMaxKeyFramer::Key key;
    ScanFields(part, "%f,%f,%f", &key.time, &key.value.min, &key.value.max);
    return key;
  });
}

}  // namespace StringUtils
}  // namespace Yr
