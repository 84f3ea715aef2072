// Fuzz target: the tool connection's frames, as one tool's session receives them. The first
// byte picks how the rest is cut into deliveries. Checks what must hold for every input:
// every reply is a well-formed frame, no variable is written with a value of another type,
// and the session keeps no more than one unfinished frame.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "system/rtu/connection.h"
#include "system/rtu/variable.h"

namespace {

struct Variables {
  bool flag = false;
  int count = 0;
  float speed = 0.0f;
  Yr::StringId name;
  Yr::Color32 tint;
  void* link = nullptr;
  // Fences around the variables: a write of the wrong width would reach them.
  uint64_t fence = 0x0123456789ABCDEFull;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using namespace Yr::RTU;
  Database database;
  Variables variables;
  Register("flag", &variables.flag, nullptr, database);
  Register("count", &variables.count, nullptr, database);
  Register("speed", &variables.speed, nullptr, database);
  Register("name", &variables.name, nullptr, database);
  Register("tint", &variables.tint, nullptr, database);
  Register("link", &variables.link, nullptr, database);
  Register("count", &variables.count, nullptr, database);
  ToolSession session(database, Yr::StaticSingleton<Updater>::Ref());

  const size_t piece = 1 + data[0] % 64;
  for (size_t at = 1; at < size; at += piece) {
    const size_t take = size - at < piece ? size - at : piece;
    session.Receive(data + at, static_cast<uint32_t>(take));
  }
  if (session.Pending() > kFrameSizeBytes + kMaxFrameBytes) std::abort();
  if (variables.fence != 0x0123456789ABCDEFull) std::abort();
  // The bool was only ever given the bytes 0 or 1.
  uint8_t flagByte;
  std::memcpy(&flagByte, &variables.flag, 1);
  if (flagByte > 1) std::abort();

  // Every reply: a size, a reply operation and a status, within the bytes sent.
  const ByteArray& reply = session.Reply();
  for (uint32_t at = 0; at < reply.Count();) {
    if (reply.Count() - at < kFrameSizeBytes) std::abort();
    const uint32_t frame = ReadLe32(reply.Data() + at);
    if (frame < 2 || frame > reply.Count() - at - kFrameSizeBytes) std::abort();
    if (!(reply[at + kFrameSizeBytes] & kReplyBit)) std::abort();
    at += static_cast<uint32_t>(kFrameSizeBytes) + frame;
  }
  database.ClearAll();
  Yr::StringId::GC(false);
  return 0;
}
