// Live update: Updater::Dispatch of value records into 16 objects each, against a decoder a
// user would write by hand (a switch on the tag and a copy into each object); and the socket
// path, records from a tool thread to a frame loop that polls, against the same values sent
// unframed over the same kind of socket and copied in as they arrive.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "system/platform/socket_platform.h"
#include "system/rtu/connection.h"
#include "system/rtu/updater.h"
#include "system/rtu/variable.h"

namespace {

using namespace Yr::RTU;

constexpr unsigned int kObjects = 16;

struct Object {
  int count;
  float speed;
  Yr::Color32 tint;
  bool flag;
  Yr::StringId name;
  std::string peerName;  // the hand-written side's string field
};

// Mixed scalar records (int, float, colour, bool), each naming its field by offset.
struct Records {
  std::vector<uint8_t> bytes;
  std::vector<unsigned int> offsets;
};

Records MakeScalarRecords(size_t count) {
  Records out;
  std::mt19937 random(17);
  ByteArray bytes;
  for (size_t i = 0; i < count; ++i) {
    Object value{};
    value.count = static_cast<int>(random());
    value.speed = static_cast<float>(random() % 1000) / 8.0f;
    value.tint = Yr::Color32::FromValue(random());
    value.flag = random() & 1;
    Member* member = nullptr;
    switch (i % 4) {
      case 0: member = MemberT<int>::Create(&value.count); out.offsets.push_back(offsetof(Object, count)); break;
      case 1: member = MemberT<float>::Create(&value.speed); out.offsets.push_back(offsetof(Object, speed)); break;
      case 2: member = MemberT<Yr::Color32>::Create(&value.tint); out.offsets.push_back(offsetof(Object, tint)); break;
      default: member = MemberT<bool>::Create(&value.flag); out.offsets.push_back(offsetof(Object, flag)); break;
    }
    member->Write(bytes);
    delete member;
  }
  out.bytes.assign(bytes.begin(), bytes.end());
  return out;
}

// The worst case: every record is text, interned once per object.
Records MakeStringRecords(size_t count) {
  Records out;
  ByteArray bytes;
  for (size_t i = 0; i < count; ++i) {
    Yr::StringId value(("materials/stone_" + std::to_string(i % 64)).c_str());
    Member* member = MemberT<Yr::StringId>::Create(&value);
    member->Write(bytes);
    delete member;
    out.offsets.push_back(offsetof(Object, name));
  }
  out.bytes.assign(bytes.begin(), bytes.end());
  return out;
}

const Records& Scalars(size_t count) {
  static std::vector<std::pair<size_t, Records>> cache;
  for (auto& entry : cache) if (entry.first == count) return entry.second;
  cache.emplace_back(count, MakeScalarRecords(count));
  return cache.back().second;
}

void DispatchOurs(benchmark::State& state, const Records& records) {
  std::vector<Object> objects(kObjects);
  void* list[kObjects];
  for (unsigned int i = 0; i < kObjects; ++i) list[i] = &objects[i];
  Updater& updater = Yr::StaticSingleton<Updater>::Ref();
  for (auto _ : state) {
    Yr::IRTUStream in(records.bytes.data(), records.bytes.size());
    for (unsigned int offset : records.offsets) updater.Dispatch(list, kObjects, offset, in);
    benchmark::DoNotOptimize(objects.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.offsets.size() * kObjects));
}

// The decoder a user would write: switch on the tag, copy the bytes into each object.
void DispatchPeer(benchmark::State& state, const Records& records) {
  std::vector<Object> objects(kObjects);
  for (auto _ : state) {
    const uint8_t* at = records.bytes.data();
    for (unsigned int offset : records.offsets) {
      const int tag = static_cast<int8_t>(*at++);
      size_t bytes = 0;
      switch (tag) {
        case kTagBool: bytes = 1; break;
        case kTagInt: case kTagFloat: case kTagColor32: bytes = 4; break;
        case kTagStringId: {
          const size_t length = at[0] | at[1] << 8;
          for (Object& object : objects) object.peerName.assign(reinterpret_cast<const char*>(at + 2), length);
          at += 2 + length;
          continue;
        }
        default: break;
      }
      for (Object& object : objects) {
        if (tag == kTagBool) reinterpret_cast<uint8_t*>(&object)[offset] = *at != 0;
        else std::memcpy(reinterpret_cast<char*>(&object) + offset, at, bytes);
      }
      at += bytes;
    }
    benchmark::DoNotOptimize(objects.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.offsets.size() * kObjects));
}

void DispatchScalarsOurs(benchmark::State& state) { DispatchOurs(state, Scalars(static_cast<size_t>(state.range(0)))); }
void DispatchScalarsPeer(benchmark::State& state) { DispatchPeer(state, Scalars(static_cast<size_t>(state.range(0)))); }
void DispatchStringsOurs(benchmark::State& state) {
  static const Records records = MakeStringRecords(10000);
  DispatchOurs(state, records);
}
void DispatchStringsPeer(benchmark::State& state) {
  static const Records records = MakeStringRecords(10000);
  DispatchPeer(state, records);
}

// ---- The socket path ------------------------------------------------------------------------

std::string SocketPath(const char* name) {
  return "/tmp/yr-rtu-bench-" + std::string(name) + "-" + std::to_string(reinterpret_cast<uintptr_t>(&name) & 0xFFFF) +
         ".sock";
}

// Set frames for one int variable, values 0, 1, 2, ...
std::vector<uint8_t> SetFrames(size_t count) {
  std::vector<uint8_t> out;
  const char name[] = "bench.value";
  for (size_t i = 0; i < count; ++i) {
    uint8_t frame[kFrameSizeBytes + 1 + kNameLengthBytes + sizeof name - 1 + 5];
    PutLe32(frame, static_cast<uint32_t>(sizeof frame - kFrameSizeBytes));
    frame[4] = kOpSet;
    PutLe16(frame + 5, sizeof name - 1);
    std::memcpy(frame + 7, name, sizeof name - 1);
    frame[7 + sizeof name - 1] = kTagInt;
    PutLe32(frame + 8 + sizeof name - 1, static_cast<uint32_t>(i));
    out.insert(out.end(), frame, frame + sizeof frame);
  }
  return out;
}

// The tool side: sends the bytes in pieces, reading whatever comes back in between so that
// neither side's buffers fill.
void Send(int socket, const std::vector<uint8_t>& bytes, size_t replyBytes) {
  constexpr size_t kPiece = 16384;
  std::vector<uint8_t> sink(65536);
  size_t received = 0;
  for (size_t at = 0; at < bytes.size(); at += kPiece) {
    Yr::Platform::SocketSendAll(socket, bytes.data() + at, std::min(kPiece, bytes.size() - at));
    while (replyBytes && Yr::Platform::SocketWaitReadable(socket, 0))
      received += static_cast<size_t>(Yr::Platform::SocketReceive(socket, sink.data(), sink.size()));
  }
  while (received < replyBytes && Yr::Platform::SocketWaitReadable(socket, 5000)) {
    const long got = Yr::Platform::SocketReceive(socket, sink.data(), sink.size());
    if (got <= 0) break;
    received += static_cast<size_t>(got);
  }
}

void SocketOurs(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> frames = SetFrames(count);
  constexpr size_t kReplyBytes = kFrameSizeBytes + 2 + kCountBytes;
  Database database;
  int value = 0;
  Register("bench.value", &value, nullptr, database);
  Connection connection(database);
  const std::string path = SocketPath("ours");
  if (!connection.Listen(path.c_str())) return state.SkipWithError("cannot listen");
  const int tool = Yr::Platform::ConnectLocal(path.c_str());
  for (auto _ : state) {
    std::thread sender(Send, tool, std::cref(frames), count * kReplyBytes);
    size_t changed = 0;
    while (changed < count) changed += connection.Poll();
    sender.join();
  }
  if (value != static_cast<int>(count - 1)) state.SkipWithError("last value not applied");
  Yr::Platform::SocketClose(tool);
  connection.Close();
  database.ClearAll();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

// The same values unframed: four bytes each, copied into the variable as they arrive.
void SocketPeer(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> values(count * 4);
  for (size_t i = 0; i < count; ++i) PutLe32(values.data() + 4 * i, static_cast<uint32_t>(i));
  const std::string path = SocketPath("peer");
  const int listener = Yr::Platform::ListenLocal(path.c_str());
  const int tool = Yr::Platform::ConnectLocal(path.c_str());
  int program = Yr::Platform::kInvalidSocket;
  while (program < 0) program = Yr::Platform::AcceptPending(listener);
  int value = 0;
  std::vector<uint8_t> buffer(65536 + 4);
  for (auto _ : state) {
    std::thread sender(Send, tool, std::cref(values), 0);
    size_t received = 0, held = 0;
    while (received < count) {
      const long got = Yr::Platform::SocketReceive(program, buffer.data() + held, 65536);
      if (got <= 0) continue;
      held += static_cast<size_t>(got);
      size_t at = 0;
      for (; at + 4 <= held; at += 4, ++received) std::memcpy(&value, buffer.data() + at, 4);
      std::memmove(buffer.data(), buffer.data() + at, held - at);
      held -= at;
    }
    sender.join();
  }
  if (value != static_cast<int>(count - 1)) state.SkipWithError("last value not applied");
  Yr::Platform::SocketClose(tool);
  Yr::Platform::SocketClose(program);
  Yr::Platform::StopListening(listener, path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

BENCHMARK(DispatchScalarsOurs)->Name("dispatch_x16_mixed/ours")->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(DispatchScalarsPeer)->Name("dispatch_x16_mixed/peer:switch+memcpy")->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(DispatchStringsOurs)->Name("dispatch_x16_text_10000/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(DispatchStringsPeer)->Name("dispatch_x16_text_10000/peer:std::string::assign")->Unit(benchmark::kMicrosecond);
BENCHMARK(SocketOurs)->Name("socket_set_records/ours")->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(SocketPeer)->Name("socket_set_records/peer:unframed_socket")->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

YR_BENCH_MAIN()
