// Text helpers: integer conversion, formatted printing into caller buffers, wildcard
// matching, and StringUtils, which turns the text of a setting into a value: a boolean, a
// MinMax, a Vec3, a Vec4, a Color32 or a five-key KeyFramer.
//
//   int n = Yr::AToI(" -42");                        // -42, saturating, errno ERANGE on overflow
//   unsigned long long h = Yr::AToI64("0x1F");       // 31: hexadecimal, at most 16 characters
//   char line[16];
//   int r = Yr::StrNPrintF(line, sizeof line, "%s=%d", key, value);
//   if (r < 0 || r == int(sizeof line)) { /* cut short: line has no terminator */ }
//   bool hit = Yr::StrMatchWildcard("textures/stone.tga", "textures/*.tga");
//   Yr::Vec3 up = Yr::StringUtils::ConvertToVec3("0,1,0");
//   auto fade = Yr::StringUtils::ConvertToFloatKeyFramer("2:0,1:1,0.5");   // keys (0,1), (1,0.5)
//
// All work on the caller's buffers and take no lock; any thread may call them. Text is
// zero-terminated. The parsers never read or write outside the texts and arrays they are
// given, whatever the text holds.
#pragma once

#include <cstdarg>

#include "system/math/color32.h"
#include "system/math/key_framer.h"
#include "system/math/vector.h"
#include "system/platform/export.h"

namespace Yr {

// Decimal: leading white space, an optional sign, digits; 0 without digits. Clears errno
// first; a value beyond int saturates to INT_MAX or INT_MIN and sets errno to ERANGE. 0 for
// a null text.
YR_API int AToI(const char* text);
// Hexadecimal (either case) of at most 16 characters after leading white space, an optional
// 0x prefix counting towards the 16; 0 when nothing is read or the text is null. Not decimal.
YR_API unsigned long long AToI64(const char* text);
// Size of the buffer IToA needs for any int: sign, ten digits and the terminator.
constexpr unsigned int kIToASize = 12;
// Writes value in decimal and a terminator into dest (at least kIToASize bytes).
YR_API void IToA(int value, char* dest);
// True when every character is a decimal digit or '-', wherever it stands; the empty text is
// a number, a null pointer is not.
YR_API bool IsNumber(const char* text);

// Formatted print without a size limit; returns the characters written.
YR_API int StrPrintF(char* buffer, const char* format, ...) YR_PRINTF(2, 3);
YR_API int VStrPrintF(char* buffer, const char* format, va_list args) YR_PRINTF(2, 0);
// Writes at most size characters. A result shorter than size is terminated and its length
// returned; a result of exactly size characters is written without a terminator and size is
// returned; a longer one has its first size characters written, without a terminator, and
// -1 is returned.
YR_API int StrNPrintF(char* buffer, unsigned int size, const char* format, ...) YR_PRINTF(3, 4);
YR_API int VStrNPrintF(char* buffer, unsigned int size, const char* format, va_list args)
    YR_PRINTF(3, 0);
// Wide form: a result shorter than size is terminated and its length returned. When it does
// not fit (or cannot be converted in the current locale), -1 is returned and, for size > 0,
// the buffer holds at most size - 1 characters of it and a terminator in its last element.
YR_API int StrNPrintF(wchar_t* buffer, unsigned int size, const wchar_t* format, ...);
YR_API int VStrNPrintF(wchar_t* buffer, unsigned int size, const wchar_t* format, va_list args);

// Case-sensitive match with '*' as the only wildcard. A '*' inside the pattern matches zero
// or more characters, but one at the very end must match at least one; a '*' in the text
// facing a '*' in the pattern is taken as the same character. False if either is null.
// Time is at most proportional to the product of the two lengths.
YR_API bool StrMatchWildcard(const char* text, const char* pattern);

namespace StringUtils {

// Splits text in place into at most count parts at separator: parts[0..count-1] are set,
// null where no part was made; separators after the last part stay in it. Nothing is
// written for count < 1.
YR_API void ConvertArgsToArray(char* text, int count, char** parts, char separator);
// True for "true" in any letter case and for exactly "1".
YR_API bool ConvertToBool(const char* text);

// Comma-separated values; fields the text does not supply are zero, and so is everything
// for a null text.
YR_API MinMax ConvertToMinMax(const char* text);  // "min,max"
YR_API Vec3 ConvertToVec3(const char* text);      // "x,y,z"
YR_API Vec4 ConvertToVec4(const char* text);      // "x,y,z,w"
// "red,green,blue,alpha" as integers, each keeping its low 8 bits.
YR_API Color32 ConvertToColor32(const char* text);

// Key-frame text: a count N, then N keys, all separated by ':' ("2:0,1:1,0.5"). The fields
// of one key are separated by commas: time then value, where a Color32 value is four
// integers as in ConvertToColor32, a Vec3 three floats and a MinMax two. Keys stay in text
// order. Only the first 254 characters are read; at most the first kKeyFrames keys are kept;
// a count of 0 or less gives no keys, and a count beyond the keys the text holds gives the
// keys it holds. Fields a key lacks are zero.
constexpr int kKeyFrames = 5;
constexpr unsigned int kKeyFrameTextLimit = 254;
using FloatKeyFramer = KeyFramer<float, kKeyFrames, LinearInterp<float>>;
using ColorKeyFramer = KeyFramer<Color32, kKeyFrames, LinearInterp<Color32>>;
using Vec3KeyFramer = KeyFramer<Vec3, kKeyFrames, LinearInterp<Vec3>>;
using MinMaxKeyFramer = KeyFramer<MinMax, kKeyFrames, LinearInterp<MinMax>>;
YR_API FloatKeyFramer ConvertToFloatKeyFramer(const char* text);
YR_API ColorKeyFramer ConvertToColorKeyFramer(const char* text);
YR_API Vec3KeyFramer ConvertToVec3KeyFramer(const char* text);
YR_API MinMaxKeyFramer ConvertToMinMaxKeyFramer(const char* text);

}  // namespace StringUtils
}  // namespace Yr
