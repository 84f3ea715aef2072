// The tool protocol of live update: frames a program and a tool exchange over a local
// socket.
//
// Every frame is a 4-byte little-endian size (the bytes that follow it), then one operation
// byte and its payload. Requests from the tool:
//   kOpList  no payload. Reply payload: a 4-byte count, then per named variable its tag
//            byte, a 2-byte name length and the name, a 2-byte text length and ToString's text.
//   kOpGet   a 2-byte name length and the name. Reply: the first such variable's record.
//   kOpSet   a 2-byte name length, the name, then one value record filling the rest of the
//            frame. The record reaches every variable of that name whose type matches its
//            tag. Reply payload: a 4-byte count of the variables changed.
// A reply has the request's operation with kReplyBit set, then a status byte, then its
// payload (only with kStatusOk). Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::RTU {

constexpr size_t kFrameSizeBytes = 4;
constexpr size_t kNameLengthBytes = 2;
constexpr size_t kCountBytes = 4;
// Room for the longest text record and a name; a larger frame is refused and skipped.
constexpr uint32_t kMaxFrameBytes = 1u << 17;

enum Operation : uint8_t {
  kOpList = 1,
  kOpGet = 2,
  kOpSet = 3,
  kReplyBit = 0x80,
};

enum Status : uint8_t {
  kStatusOk = 0,
  kStatusUnknownName = 1,
  kStatusTypeMismatch = 2,
  kStatusMalformed = 3,
  kStatusUnknownOperation = 4,
  kStatusTooLarge = 5,
  // Never sent: a tool's own results when no reply came.
  kStatusNoConnection = 0xF0,
  kStatusNoReply = 0xF1,
  kStatusBadReply = 0xF2,
};

// Little-endian integers of frames.
inline uint16_t ReadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }
inline uint32_t ReadLe32(const uint8_t* bytes) {
  return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8 | static_cast<uint32_t>(bytes[2]) << 16 |
         static_cast<uint32_t>(bytes[3]) << 24;
}
inline void PutLe16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}
inline void PutLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Text for a status, for tools and logs.
YR_API const char* StatusText(uint8_t status);

}  // namespace Yr::RTU
