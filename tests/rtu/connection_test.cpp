#include "system/rtu/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "system/platform/socket_platform.h"
#include "system/rtu/tool_client.h"
#include "system/rtu/variable.h"
#include "tests/io/temp_dir.h"

namespace {

using namespace Yr::RTU;
using Yr::Color32;
using Yr::StringId;
using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t operation, const Bytes& payload) {
  Bytes out(kFrameSizeBytes);
  PutLe32(out.data(), static_cast<uint32_t>(payload.size() + 1));
  out.push_back(operation);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Named(const std::string& name, const Bytes& tail = {}) {
  // Sized once and filled in place: growing a two-byte vector by the name trips a false
  // out-of-bounds warning of the compiler in instrumented builds.
  Bytes out(kNameLengthBytes + name.size() + tail.size());
  PutLe16(out.data(), static_cast<uint16_t>(name.size()));
  std::copy(name.begin(), name.end(), out.begin() + kNameLengthBytes);
  std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(kNameLengthBytes + name.size()));
  return out;
}

struct Car {
  float speed = 1.0f;
  int gear = 1;
  StringId driver{"nobody"};
  Color32 paint{10, 20, 30, 255};
  bool lights = false;
  void* engine = nullptr;
};

class ConnectionTest : public YrTest::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path = At("rtu.sock");
    Register("car.speed", &cars[0].speed, &cars[0], database);
    Register("car.speed", &cars[1].speed, &cars[1], database);
    Register("car.gear", &cars[0].gear, &cars[0], database);
    Register("car.driver", &cars[0].driver, &cars[0], database);
    Register("car.paint", &cars[0].paint, &cars[0], database);
    Register("car.lights", &cars[0].lights, &cars[0], database);
    Register("car.engine", &cars[0].engine, &cars[0], database);
    ASSERT_TRUE(connection.Listen(path.c_str()));
  }
  void TearDown() override {
    connection.Close();
    database.ClearAll();
    TempDirTest::TearDown();
  }

  // Runs tool on a thread of its own while this thread polls once a millisecond, as a frame
  // loop would, until the tool is done.
  unsigned int WithFrameLoop(const std::function<void()>& tool) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
      tool();
      done = true;
    });
    unsigned int changed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      changed += connection.Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread.join();
    changed += connection.Poll();
    return changed;
  }

  Database database;
  Updater updater = Yr::StaticSingleton<Updater>::Ref();
  Connection connection{database, updater};
  Car cars[2];
  std::string path;
};

TEST_F(ConnectionTest, ToolListsGetsAndSetsNamedVariables) {
  std::vector<std::string> listed;
  uint8_t statuses[8] = {};
  uint32_t counts[4] = {};
  std::string gotSpeed;
  const unsigned int changed = WithFrameLoop([&] {
    ToolClient tool;
    ASSERT_TRUE(tool.Connect(path.c_str()));
    ByteArray listing;
    statuses[0] = tool.List(listing);
    ToolClient::ForEachListed(
        listing,
        [](void* out, const ListedVariable& entry) {
          static_cast<std::vector<std::string>*>(out)->push_back(std::string(entry.name, entry.nameLength) + " " +
                                                                 TagName(entry.tag) + " " +
                                                                 std::string(entry.text, entry.textLength));
        },
        &listed);
    statuses[1] = tool.SetText("car.speed", "2.5", &counts[0]);
    statuses[2] = tool.SetText("car.driver", "Ada", &counts[1]);
    statuses[3] = tool.SetText("car.paint", "0x04030201", &counts[2]);
    statuses[4] = tool.SetText("car.lights", "True", &counts[3]);
    ByteArray record;
    statuses[5] = tool.Get("car.speed", record);
    char text[kTextBufferSize];
    if (DecodeText(record, text)) gotSpeed = text;
    statuses[6] = tool.SetText("car.engine", "1234", nullptr);  // a pointer has no text form
    statuses[7] = tool.SetText("car.wheels", "4", nullptr);
  });
  EXPECT_EQ(listed, (std::vector<std::string>{"car.speed float 1.0", "car.speed float 1.0", "car.gear int 1",
                                              "car.driver string nobody", "car.paint color 4280161290",
                                              "car.lights bool False", "car.engine pointer "}));
  const uint8_t expected[8] = {kStatusOk, kStatusOk, kStatusOk, kStatusOk, kStatusOk, kStatusOk,
                               kStatusTypeMismatch, kStatusUnknownName};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(statuses[i], expected[i]) << StatusText(statuses[i]) << " at " << i;
  EXPECT_EQ(counts[0], 2u);  // both cars' speed
  EXPECT_EQ(counts[1], 1u);
  EXPECT_EQ(changed, 5u);
  EXPECT_EQ(cars[0].speed, 2.5f);
  EXPECT_EQ(cars[1].speed, 2.5f);
  EXPECT_EQ(cars[0].driver, StringId("Ada"));
  EXPECT_EQ(cars[0].paint, Color32(1, 2, 3, 4));
  EXPECT_TRUE(cars[0].lights);
  EXPECT_EQ(cars[0].engine, nullptr);
  EXPECT_EQ(gotSpeed, "2.5");
}

// Each hostile frame is answered with a refusal and changes nothing; the same connection
// then still answers a good request.
TEST_F(ConnectionTest, MalformedFramesAreRefusedAndTheConnectionStaysUsable) {
  const Bytes floatTwo = {kTagFloat, 0x00, 0x00, 0x00, 0x40};
  Bytes oversized(kFrameSizeBytes + kMaxFrameBytes + 1, 0xEE);
  PutLe32(oversized.data(), kMaxFrameBytes + 1);
  const struct {
    const char* what;
    Bytes bytes;
    uint8_t status;
  } cases[] = {
      {"empty frame", {0, 0, 0, 0}, kStatusMalformed},
      {"frame above the limit, then its bytes", oversized, kStatusTooLarge},
      {"unknown operation", Frame(9, {}), kStatusUnknownOperation},
      {"reply operation sent as a request", Frame(kOpGet | kReplyBit, Named("car.gear")), kStatusUnknownOperation},
      {"list with a payload", Frame(kOpList, {1}), kStatusMalformed},
      {"get without a name length", Frame(kOpGet, {4}), kStatusMalformed},
      {"get with an empty name", Frame(kOpGet, Named("")), kStatusMalformed},
      {"get with a name longer than the frame", Frame(kOpGet, {50, 0, 'c', 'a', 'r'}), kStatusMalformed},
      {"get with bytes after the name", Frame(kOpGet, Named("car.gear", {0})), kStatusMalformed},
      {"get of an unknown name", Frame(kOpGet, Named("car.gears")), kStatusUnknownName},
      {"set without a record", Frame(kOpSet, Named("car.speed")), kStatusMalformed},
      {"set with a record cut short", Frame(kOpSet, Named("car.speed", {kTagFloat, 0, 0})), kStatusMalformed},
      {"set with a byte after the record", Frame(kOpSet, Named("car.speed", {kTagFloat, 0, 0, 0, 0x40, 7})),
       kStatusMalformed},
      {"set with tag 0", Frame(kOpSet, Named("car.speed", {0, 0, 0, 0, 0x40})), kStatusMalformed},
      {"set with tag 10", Frame(kOpSet, Named("car.speed", {10, 0, 0, 0, 0x40})), kStatusMalformed},
      {"set with a negative tag", Frame(kOpSet, Named("car.speed", {0xFC, 0, 0, 0, 0x40})), kStatusMalformed},
      {"set with text past the frame", Frame(kOpSet, Named("car.driver", {kTagStringId, 9, 0, 'a'})),
       kStatusMalformed},
      {"set of another type", Frame(kOpSet, Named("car.gear", floatTwo)), kStatusTypeMismatch},
      {"set of an unknown name", Frame(kOpSet, Named("car.sped", floatTwo)), kStatusUnknownName},
  };
  std::vector<std::string> failures;
  WithFrameLoop([&] {
    ToolClient tool;
    ASSERT_TRUE(tool.Connect(path.c_str()));
    for (const auto& c : cases) {
      ByteArray reply;
      uint8_t operation = 0;
      if (!tool.SendRaw(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()))) {
        failures.push_back(std::string(c.what) + ": send failed");
        return;
      }
      const uint8_t status = tool.ReceiveReply(operation, reply);
      if (status != c.status) failures.push_back(std::string(c.what) + ": " + StatusText(status));
      if (!(operation & kReplyBit)) failures.push_back(std::string(c.what) + ": not a reply");
      ByteArray record;
      if (tool.Get("car.gear", record) != kStatusOk) failures.push_back(std::string(c.what) + ": then unusable");
    }
  });
  EXPECT_EQ(failures, std::vector<std::string>{});
  EXPECT_EQ(connection.RefusedFrames(), std::size(cases));
  EXPECT_EQ(cars[0].speed, 1.0f);
  EXPECT_EQ(cars[1].speed, 1.0f);
  EXPECT_EQ(cars[0].gear, 1);
  EXPECT_EQ(cars[0].driver, StringId("nobody"));
}

TEST_F(ConnectionTest, FramesArrivingByteByByteApplyOnceWhole) {
  ToolClient tool;
  ASSERT_TRUE(tool.Connect(path.c_str()));
  connection.Poll();
  ASSERT_EQ(connection.ClientCount(), 1u);
  const Bytes frame = Frame(kOpSet, Named("car.gear", {kTagInt, 7, 0, 0, 0}));
  unsigned int changed = 0;
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_TRUE(tool.SendRaw(&frame[i], 1));
    changed += connection.Poll();
    EXPECT_EQ(cars[0].gear, i + 1 == frame.size() ? 7 : 1) << i;
  }
  EXPECT_EQ(changed, 1u);
  uint8_t operation = 0;
  ByteArray reply;
  EXPECT_EQ(tool.ReceiveReply(operation, reply), kStatusOk);
  EXPECT_EQ(operation, kOpSet | kReplyBit);
  ASSERT_EQ(reply.Count(), kCountBytes);
  EXPECT_EQ(ReadLe32(reply.Data()), 1u);
}

TEST_F(ConnectionTest, ToolsComeAndGoAndExtraToolsAreTurnedAway) {
  ToolClient tools[Connection::kMaxClients + 1];
  for (ToolClient& tool : tools) ASSERT_TRUE(tool.Connect(path.c_str(), 200));
  connection.Poll();
  EXPECT_EQ(connection.ClientCount(), unsigned{Connection::kMaxClients});
  // The one turned away sees its connection closed.
  ByteArray reply;
  uint8_t operation;
  EXPECT_EQ(tools[Connection::kMaxClients].ReceiveReply(operation, reply), kStatusNoReply);

  // A tool that leaves in the middle of a frame is dropped; its half frame changes nothing.
  const Bytes frame = Frame(kOpSet, Named("car.gear", {kTagInt, 9, 0, 0, 0}));
  ASSERT_TRUE(tools[0].SendRaw(frame.data(), static_cast<uint32_t>(frame.size() - 2)));
  tools[0].Disconnect();
  connection.Poll();
  EXPECT_EQ(connection.ClientCount(), Connection::kMaxClients - 1);
  EXPECT_EQ(cars[0].gear, 1);
  // A whole frame sent just before leaving still counts.
  ASSERT_TRUE(tools[1].SendRaw(frame.data(), static_cast<uint32_t>(frame.size())));
  tools[1].Disconnect();
  EXPECT_EQ(connection.Poll(), 1u);
  EXPECT_EQ(cars[0].gear, 9);
  EXPECT_EQ(connection.ClientCount(), Connection::kMaxClients - 2);

  connection.Close();
  EXPECT_FALSE(connection.IsListening());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(connection.Poll(), 0u);
}

TEST_F(ConnectionTest, ListenRefusesPathsItCannotUseAndKeepsOtherFiles) {
  Connection other(database, updater);
  EXPECT_FALSE(other.Listen(std::string(Yr::Platform::MaxSocketPathLength() + 1, 'x').c_str()));
  EXPECT_FALSE(other.Listen(At("no-such-dir/rtu.sock").c_str()));
  WriteText("plain", "keep me");
  EXPECT_FALSE(other.Listen(At("plain").c_str()));
  EXPECT_EQ(ReadText("plain"), "keep me");
  // A socket file left by an earlier run is replaced.
  connection.Close();
  const int stale = Yr::Platform::ListenLocal(path.c_str());
  ASSERT_GE(stale, 0);
  Yr::Platform::SocketClose(stale);
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(other.Listen(path.c_str()));
}

#if defined(_WIN32)
// The command interpreter groups words with double quotes only.
constexpr char kQuote = '"';
// The tool's name as the command interpreter takes it. This program and its children run in
// the same (possibly emulated) system, so no emulator goes in front; a build run by an
// emulator names the tool by the host's absolute path, which the emulated system sees on
// its Z: drive.
std::string ToolProgram() {
  std::string name = YR_RTU_TOOL;
  if (!name.empty() && name[0] == '/') name = "Z:" + name;
  for (char& c : name) c = c == '/' ? '\\' : c;
  return name;
}
#else
constexpr char kQuote = '\'';
// The tool runs under the emulator that runs this program, if any.
std::string ToolProgram() {
  std::string command;
  if (const char* emulator = std::getenv("YR_TEST_EMULATOR"); emulator && *emulator) command = std::string(emulator) + " ";
  return command + YR_RTU_TOOL;
}
#endif

// The command-line tool, started as a child process, changes and reads the variables of
// this running program while its frame loop polls.
TEST_F(ConnectionTest, CommandLineToolChangesVariablesOfARunningProgram) {
  auto runTool = [&](const std::string& arguments) {
    std::string command = ToolProgram() + " " + path + " " + arguments + " 2>&1";
    std::string output;
    int status = -1;
    WithFrameLoop([&] {
      FILE* pipe = popen(command.c_str(), "r");
      if (!pipe) return;
      char line[512];
      while (std::fgets(line, sizeof line, pipe)) output += line;
      status = pclose(pipe);
    });
    return std::make_pair(status, output);
  };
  auto [setStatus, setOutput] = runTool("set car.speed 7.25");
  EXPECT_EQ(setStatus, 0) << setOutput;
  EXPECT_EQ(setOutput, "car.speed set in 2 variables\n");
  EXPECT_EQ(cars[0].speed, 7.25f);
  EXPECT_EQ(cars[1].speed, 7.25f);

  auto [nameStatus, nameOutput] = runTool(std::string("set car.driver ") + kQuote + "Grace Hopper" + kQuote);
  EXPECT_EQ(nameStatus, 0) << nameOutput;
  EXPECT_EQ(cars[0].driver, StringId("Grace Hopper"));

  auto [getStatus, getOutput] = runTool("get car.gear");
  EXPECT_EQ(getOutput, "car.gear\tint\t1\n");

  auto [listStatus, listOutput] = runTool("list");
  EXPECT_EQ(listStatus, 0);
  EXPECT_NE(listOutput.find("car.driver\tstring\tGrace Hopper\n"), std::string::npos) << listOutput;
  EXPECT_NE(listOutput.find("car.speed\tfloat\t7.25\n"), std::string::npos) << listOutput;

  auto [badStatus, badOutput] = runTool("set car.nothing 1");
  EXPECT_NE(badStatus, 0);
  EXPECT_EQ(badOutput, "yr_rtu: car.nothing: no variable of that name\n");
}

}  // namespace

namespace {

TEST(ToolTextTest, TextEncodesToARecordThatDecodesToTheSameText) {
  const struct {
    int tag;
    const char* text;
    const char* decoded;
  } cases[] = {{kTagBool, "True", "True"},         {kTagBool, "yes", "False"},   {kTagChar, "z", "z"},
               {kTagUnsignedChar, "255", "255"},   {kTagInt, "-12", "-12"},      {kTagUnsignedInt, "0x10", "16"},
               {kTagFloat, "4", "4.0"},            {kTagStringId, "a b", "a b"}, {kTagColor32, "258", "258"}};
  for (const auto& c : cases) {
    ByteArray record;
    ASSERT_TRUE(EncodeText(c.tag, c.text, record)) << c.text;
    EXPECT_EQ(static_cast<int>(record[0]), c.tag);
    char text[kTextBufferSize];
    EXPECT_TRUE(DecodeText(record, text));
    EXPECT_STREQ(text, c.decoded);
    // A record missing its last byte, or with one too many, does not decode.
    ByteArray cut;
    cut.Append(record.Data(), record.Count() - 1);
    EXPECT_FALSE(DecodeText(cut, text)) << c.text;
    record.Add(0);
    EXPECT_FALSE(DecodeText(record, text)) << c.text;
  }
  ByteArray record;
  EXPECT_FALSE(EncodeText(kTagPointer, "1234", record));
  EXPECT_FALSE(EncodeText(kTagNone, "1", record));
  EXPECT_FALSE(EncodeText(42, "1", record));
  EXPECT_EQ(record.Count(), 0u);
  EXPECT_STREQ(TagName(kTagColor32), "color");
  EXPECT_STREQ(TagName(-1), "?");
}

TEST(VariableTest, RegisterAddsANamedEntryThatOwnsItsMember) {
  Database database;
  int lives = 3;
  const int owner = 0;
  Variable* variable = Register("player.lives", &lives, &owner, database);
  ASSERT_NE(variable, nullptr);
  ASSERT_EQ(database.Count(), 1u);
  EXPECT_EQ(database.Entry(0), variable);
  EXPECT_STREQ(variable->GetName(), "player.lives");
  EXPECT_EQ(variable->GetSource(), &owner);
  EXPECT_EQ(variable->GetAddress(), &lives);
  EXPECT_EQ(variable->GetMember()->GetTag(), kTagInt);
  EXPECT_EQ(database.Lookup(&owner), variable);
  database.Unregister(&lives);  // deletes the variable and its member (leak-checked builds)
  EXPECT_EQ(database.Count(), 0u);

  Yr::AllocatorHook::mInvalid = true;
  Variable* refused = Register("player.lives", &lives, &owner, database);
  Yr::AllocatorHook::mInvalid = false;
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(database.Count(), 0u);
}

}  // namespace

namespace {

// However the bytes of a conversation are cut into deliveries, a session gives the same
// replies and the same changes as when they arrive at once.
TEST(ToolSessionTest, RepliesDoNotDependOnHowBytesArrive) {
  Bytes stream;
  auto add = [&](const Bytes& frame) { stream.insert(stream.end(), frame.begin(), frame.end()); };
  add(Frame(kOpList, {}));
  add(Frame(kOpSet, Named("gear", {kTagInt, 5, 0, 0, 0})));
  add({0, 0, 0, 0});
  Bytes oversized(kFrameSizeBytes + kMaxFrameBytes + 3, 0x55);
  PutLe32(oversized.data(), kMaxFrameBytes + 3);
  add(oversized);
  add(Frame(kOpSet, Named("name", {kTagStringId, 3, 0, 'a', 'b', 'c'})));
  add(Frame(kOpGet, Named("gear")));
  add(Frame(kOpSet, Named("gear", {kTagFloat, 0, 0, 0})));
  add(Frame(7, {1, 2, 3}));
  add(Frame(kOpSet, Named("gear", {kTagInt, 9, 0, 0, 0})));

  struct Outcome {
    Bytes reply;
    unsigned int changed = 0;
    unsigned int refused = 0;
    int gear = 0;
    StringId name;
  };
  auto run = [&](const std::vector<size_t>& cuts) {
    Database database;
    Outcome outcome;
    Register("gear", &outcome.gear, nullptr, database);
    Register("name", &outcome.name, nullptr, database);
    ToolSession session(database, Yr::StaticSingleton<Updater>::Ref());
    size_t at = 0;
    for (size_t cut : cuts) {
      outcome.changed += session.Receive(stream.data() + at, static_cast<uint32_t>(cut - at));
      at = cut;
    }
    outcome.changed += session.Receive(stream.data() + at, static_cast<uint32_t>(stream.size() - at));
    EXPECT_EQ(session.Pending(), 0u);
    outcome.reply.assign(session.Reply().begin(), session.Reply().end());
    outcome.refused = session.Refused();
    database.ClearAll();
    return outcome;
  };

  const Outcome whole = run({});
  EXPECT_EQ(whole.changed, 3u);
  EXPECT_EQ(whole.refused, 4u);
  EXPECT_EQ(whole.gear, 9);
  EXPECT_EQ(whole.name, StringId("abc"));
  std::mt19937 random(5);
  for (int round = 0; round < 40; ++round) {
    std::vector<size_t> cuts;
    size_t at = 0;
    // Small pieces most of the time, now and then a large one.
    while (true) {
      at += 1 + (round % 4 == 0 ? random() % 3 : random() % 5000);
      if (at >= stream.size()) break;
      cuts.push_back(at);
    }
    const Outcome split = run(cuts);
    EXPECT_EQ(split.reply, whole.reply) << "round " << round;
    EXPECT_EQ(split.changed, whole.changed);
    EXPECT_EQ(split.refused, whole.refused);
    EXPECT_EQ(split.gear, whole.gear);
    EXPECT_EQ(split.name, whole.name);
  }
}

}  // namespace
