// The tool's end of a live-update connection: connects to a program's Connection and lists,
// reads and changes its named variables (protocol.h). tools/yr_rtu is a command line around
// it.
//
//   Yr::RTU::ToolClient tool;
//   if (tool.Connect("/tmp/game.rtu")) {
//     uint32_t changed = 0;
//     uint8_t status = tool.SetText("car.speed", "2.5", &changed);   // kStatusOk
//   }
//
// Every request waits for its reply up to the time-out given to Connect; the answer is a
// Status, kStatusNoReply when none came. The client blocks: it belongs in a tool or a thread
// of its own, never in the frame loop of the program it talks to.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/rtu/member.h"
#include "system/rtu/protocol.h"

namespace Yr::RTU {

// One entry of a List reply; the texts point into the reply and are not NUL-terminated.
struct ListedVariable {
  int tag;
  const char* name;
  uint16_t nameLength;
  const char* text;
  uint16_t textLength;
};

// Short type names for the tags ("float", "string", ...); "?" for others.
YR_API const char* TagName(int tag);

// Encodes text as a value record of the tag's type (FromString, then Write). False for the
// types without a text form (none, void*).
YR_API bool EncodeText(int tag, const char* text, ByteArray& record);

// Writes the text of one whole value record (tag included) into buffer (kTextBufferSize
// bytes), as the program's member would; false, with empty text, for anything else.
YR_API bool DecodeText(const ByteArray& record, char* buffer);

class YR_API ToolClient {
 public:
  static constexpr unsigned int kDefaultTimeoutMs = 5000;
  // The largest reply accepted; a larger one ends the connection.
  static constexpr uint32_t kMaxReplyBytes = 1u << 24;

  ToolClient() = default;
  ~ToolClient();
  ToolClient(const ToolClient&) = delete;
  ToolClient& operator=(const ToolClient&) = delete;

  bool Connect(const char* path, unsigned int timeoutMs = kDefaultTimeoutMs);
  void Disconnect();
  bool IsConnected() const { return mSocket >= 0; }

  // Sends one frame and waits for its reply. reply receives the reply's payload.
  uint8_t Request(uint8_t operation, const uint8_t* payload, uint32_t size, ByteArray& reply);
  // Sends bytes as they are, for tests of the program's end: no reply is awaited.
  bool SendRaw(const void* bytes, uint32_t size);
  // Waits for one reply frame: its operation and status, and its payload in reply.
  uint8_t ReceiveReply(uint8_t& operation, ByteArray& reply);

  // The List reply's payload in listing; walk it with ForEachListed.
  uint8_t List(ByteArray& listing);
  // Calls visit for every entry of listing; false when listing is malformed.
  static bool ForEachListed(const ByteArray& listing, void (*visit)(void* context, const ListedVariable&),
                            void* context);
  // The value record of the first variable of that name.
  uint8_t Get(const char* name, ByteArray& record);
  uint8_t Set(const char* name, const uint8_t* record, uint32_t size, uint32_t* changed);
  // Learns the variable's type with Get, then sets it from text.
  uint8_t SetText(const char* name, const char* text, uint32_t* changed);

 private:
  bool ReceiveExactly(uint8_t* out, uint32_t count);

  int mSocket = -1;
  unsigned int mTimeoutMs = kDefaultTimeoutMs;
};

}  // namespace Yr::RTU
