// The program's end of a tool connection: a local socket that a tool (tools/yr_rtu) connects
// to, to list the named variables of the live-update database and change them while the
// program runs.
//
//   Yr::RTU::Register("car.speed", &gSpeed);
//   Yr::RTU::Connection connection;
//   connection.Listen("/tmp/game.rtu");
//   while (running) {
//     connection.Poll();   // once per frame: never blocks, starts no thread
//     ...
//   }
//
// Poll accepts waiting tools, reads what they sent, applies whole frames (protocol.h)
// through the updater and queues the replies. Frames are outside input: a frame that is
// malformed, names no variable, carries a record of the wrong type or one cut short is
// refused with a status and changes nothing; a frame above kMaxFrameBytes is skipped
// unread. The tool stays connected after a refusal. A tool that sends faster than the
// program reads is held to kMaxReceivePerPoll bytes a frame; one that does not read its
// replies is dropped once kMaxPendingReply bytes wait for it.
//
// Ownership and threads: the connection uses the database and updater it was given for its
// whole life. Poll it on the thread that owns them; it takes no lock.
#pragma once

#include <cstdint>

#include "system/memory/static_singleton.h"
#include "system/platform/export.h"
#include "system/rtu/database.h"
#include "system/rtu/member.h"
#include "system/rtu/protocol.h"
#include "system/rtu/updater.h"

namespace Yr::RTU {

// The protocol of one tool, without the socket: the bytes received and not yet used, and
// the replies not yet sent. Connection keeps one per tool; a fuzz target or a test can feed
// one directly.
class YR_API ToolSession {
 public:
  ToolSession(Database& database, Updater& updater) : mDatabase(database), mUpdater(updater) {}

  // Takes bytes as received and applies every frame they complete; returns the number of
  // variables changed. Replies are appended to Reply().
  unsigned int Receive(const uint8_t* bytes, uint32_t count);
  ByteArray& Reply() { return mReply; }
  // Frames refused so far.
  unsigned int Refused() const { return mRefused; }
  // Bytes held back waiting for the rest of a frame.
  uint32_t Pending() const { return mInput.Count(); }

 private:
  unsigned int HandleFrame(const uint8_t* frame, uint32_t size);
  void Answer(uint8_t operation, uint8_t status, const uint8_t* payload, uint32_t size);
  void Refuse(uint8_t operation, uint8_t status);
  void AnswerList();
  void AnswerGet(const char* name, size_t length);
  unsigned int ApplySet(const char* name, size_t length, const uint8_t* record, size_t size);

  Database& mDatabase;
  Updater& mUpdater;
  ByteArray mInput;
  ByteArray mReply;
  // Bytes still to be dropped of a frame that was too large.
  uint32_t mSkip = 0;
  unsigned int mRefused = 0;
};

class YR_API Connection {
 public:
  static constexpr unsigned int kMaxClients = 4;
  static constexpr uint32_t kMaxReceivePerPoll = 1u << 16;
  static constexpr uint32_t kMaxPendingReply = 1u << 20;
  static constexpr unsigned int kMaxPath = 256;

  explicit Connection(Database& database = StaticSingleton<Database>::Ref(),
                      Updater& updater = StaticSingleton<Updater>::Ref());
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Listens on path (replacing a stale socket file there). False when the path is too long
  // or cannot be bound; an earlier listening socket is closed first.
  bool Listen(const char* path);
  bool IsListening() const { return mListener >= 0; }
  // One frame's work; returns the number of variables changed.
  unsigned int Poll();
  // Disconnects every tool, stops listening and removes the path.
  void Close();

  unsigned int ClientCount() const { return mClientCount; }
  // Frames refused since Listen, for diagnostics.
  unsigned int RefusedFrames() const { return mRefused; }

 private:
  struct Client {
    int socket;
    ToolSession session;
  };

  void Accept();
  // False when the client is gone and must be dropped.
  bool Receive(Client& client, unsigned int& changed);
  bool Flush(Client& client);
  void Drop(unsigned int index);

  Database& mDatabase;
  Updater& mUpdater;
  int mListener;
  unsigned int mClientCount;
  unsigned int mRefused;
  Client* mClients[kMaxClients];
  char mPath[kMaxPath];
};

}  // namespace Yr::RTU
