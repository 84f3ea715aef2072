#include "system/rtu/connection.h"

#include <cstring>
#include <new>

#include "system/platform/socket_platform.h"

namespace Yr::RTU {

namespace {

constexpr size_t kReceiveChunk = 4096;
constexpr size_t kStatusBytes = 1;
constexpr size_t kOperationBytes = 1;

// Bytes after the tag of each fixed-size record; 0 for none and for StringId.
constexpr size_t kFixedRecordBytes[kTagCount] = {
    0,
    MemberTraits<bool>::kRecordBytes,
    MemberTraits<char>::kRecordBytes,
    MemberTraits<unsigned char>::kRecordBytes,
    MemberTraits<int>::kRecordBytes,
    MemberTraits<unsigned int>::kRecordBytes,
    MemberTraits<float>::kRecordBytes,
    0,
    MemberTraits<Color32>::kRecordBytes,
    MemberTraits<void*>::kRecordBytes,
};

void AppendLe16(ByteArray& out, uint16_t value) {
  uint8_t bytes[2];
  PutLe16(bytes, value);
  out.Append(bytes, 2);
}
void AppendLe32(ByteArray& out, uint32_t value) {
  uint8_t bytes[4];
  PutLe32(bytes, value);
  out.Append(bytes, 4);
}

// Bytes of the one record at data (tag included) when it is a whole record of a type with
// a member; 0 otherwise.
size_t WholeRecordBytes(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int tag = static_cast<int8_t>(data[0]);
  if (tag <= kTagNone || tag >= kTagCount) return 0;
  size_t bytes = 1 + kFixedRecordBytes[tag];
  if (tag == kTagStringId) {
    if (size < 1 + kStringLengthBytes) return 0;
    bytes = 1 + kStringLengthBytes + ReadLe16(data + 1);
  }
  return bytes <= size ? bytes : 0;
}

bool NameIs(const char* name, const char* text, size_t length) {
  return name != nullptr && std::strlen(name) == length && std::memcmp(name, text, length) == 0;
}

void DropFront(ByteArray& bytes, uint32_t count) {
  if (count == 0) return;
  const uint32_t left = bytes.Count() - count;
  if (left) std::memmove(bytes.Data(), bytes.Data() + count, left);
  bytes.Resize(left);
}

}  // namespace

const char* StatusText(uint8_t status) {
  switch (status) {
    case kStatusOk: return "ok";
    case kStatusUnknownName: return "no variable of that name";
    case kStatusTypeMismatch: return "the value is not of the variable's type";
    case kStatusMalformed: return "malformed request";
    case kStatusUnknownOperation: return "unknown operation";
    case kStatusTooLarge: return "request too large";
    case kStatusNoConnection: return "not connected";
    case kStatusNoReply: return "no reply";
    case kStatusBadReply: return "malformed reply";
    default: return "unknown status";
  }
}

// ---- One tool's frames -------------------------------------------------------------------

unsigned int ToolSession::Receive(const uint8_t* bytes, uint32_t count) {
  // Most of a frame too large to keep is dropped as it arrives, never stored.
  if (mSkip && mInput.Empty()) {
    const uint32_t dropped = mSkip < count ? mSkip : count;
    mSkip -= dropped;
    bytes += dropped;
    count -= dropped;
  }
  if (count) mInput.Append(bytes, count);
  unsigned int changed = 0;
  uint32_t at = 0;
  const uint32_t total = mInput.Count();
  while (at < total) {
    const uint8_t* data = mInput.Data() + at;
    const uint32_t available = total - at;
    if (mSkip) {
      const uint32_t dropped = mSkip < available ? mSkip : available;
      mSkip -= dropped;
      at += dropped;
      continue;
    }
    if (available < kFrameSizeBytes) break;
    const uint32_t size = ReadLe32(data);
    if (size == 0 || size > kMaxFrameBytes) {
      // Refused unread; the bytes of a frame too large are skipped as they come, so the
      // frames after it are still found.
      Refuse(0, size == 0 ? kStatusMalformed : kStatusTooLarge);
      mSkip = size;
      at += kFrameSizeBytes;
      continue;
    }
    if (available - kFrameSizeBytes < size) break;  // the rest has not arrived yet
    changed += HandleFrame(data + kFrameSizeBytes, size);
    at += kFrameSizeBytes + size;
  }
  DropFront(mInput, at);
  return changed;
}

unsigned int ToolSession::HandleFrame(const uint8_t* frame, uint32_t size) {
  const uint8_t operation = frame[0];
  const uint8_t* payload = frame + kOperationBytes;
  const size_t payloadSize = size - kOperationBytes;
  if (operation == kOpList) {
    if (payloadSize == 0) AnswerList();
    else Refuse(operation, kStatusMalformed);
    return 0;
  }
  if (operation != kOpGet && operation != kOpSet) {
    Refuse(operation, kStatusUnknownOperation);
    return 0;
  }
  const size_t nameLength = payloadSize >= kNameLengthBytes ? ReadLe16(payload) : 0;
  const char* name = reinterpret_cast<const char*>(payload + kNameLengthBytes);
  if (nameLength == 0 || kNameLengthBytes + nameLength > payloadSize ||
      (operation == kOpGet && kNameLengthBytes + nameLength != payloadSize)) {
    Refuse(operation, kStatusMalformed);
    return 0;
  }
  if (operation == kOpGet) {
    AnswerGet(name, nameLength);
    return 0;
  }
  const uint8_t* record = payload + kNameLengthBytes + nameLength;
  return ApplySet(name, nameLength, record, payloadSize - kNameLengthBytes - nameLength);
}

void ToolSession::Answer(uint8_t operation, uint8_t status, const uint8_t* payload, uint32_t size) {
  AppendLe32(mReply, static_cast<uint32_t>(kOperationBytes + kStatusBytes + size));
  const uint8_t head[kOperationBytes + kStatusBytes] = {static_cast<uint8_t>(operation | kReplyBit), status};
  mReply.Append(head, sizeof head);
  if (size) mReply.Append(payload, size);
}

void ToolSession::Refuse(uint8_t operation, uint8_t status) {
  ++mRefused;
  Answer(operation, status, nullptr, 0);
}

void ToolSession::AnswerList() {
  // The size is known once every entry is written: reserve it and fill it in after.
  const uint32_t start = mReply.Count();
  Answer(kOpList, kStatusOk, nullptr, 0);
  const uint32_t countAt = mReply.Count();
  AppendLe32(mReply, 0);
  uint32_t listed = 0;
  char text[kTextBufferSize];
  for (uint32_t i = 0; i < mDatabase.Count(); ++i) {
    const Database::UpdateBase* entry = mDatabase.Entry(i);
    Member* member = entry ? entry->GetMember() : nullptr;
    const char* name = entry ? entry->GetName() : nullptr;
    if (member == nullptr || name == nullptr) continue;
    const size_t nameLength = std::strlen(name);
    if (nameLength == 0 || nameLength > UINT16_MAX) continue;
    const uint8_t tag = static_cast<uint8_t>(member->GetTag());
    mReply.Append(&tag, 1);
    AppendLe16(mReply, static_cast<uint16_t>(nameLength));
    mReply.Append(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(nameLength));
    const uint32_t textLength = static_cast<uint32_t>(std::strlen(member->ToString(text)));
    AppendLe16(mReply, static_cast<uint16_t>(textLength));
    mReply.Append(reinterpret_cast<const uint8_t*>(text), textLength);
    ++listed;
  }
  PutLe32(mReply.Data() + start, mReply.Count() - start - static_cast<uint32_t>(kFrameSizeBytes));
  PutLe32(mReply.Data() + countAt, listed);
}

void ToolSession::AnswerGet(const char* name, size_t length) {
  for (uint32_t i = 0; i < mDatabase.Count(); ++i) {
    const Database::UpdateBase* entry = mDatabase.Entry(i);
    Member* member = entry ? entry->GetMember() : nullptr;
    if (member == nullptr || !NameIs(entry->GetName(), name, length)) continue;
    ByteArray record;
    member->Write(record);
    Answer(kOpGet, kStatusOk, record.Data(), record.Count());
    return;
  }
  Refuse(kOpGet, kStatusUnknownName);
}

unsigned int ToolSession::ApplySet(const char* name, size_t length, const uint8_t* record, size_t size) {
  if (size == 0 || WholeRecordBytes(record, size) != size) {
    Refuse(kOpSet, kStatusMalformed);
    return 0;
  }
  const int tag = static_cast<int8_t>(record[0]);
  bool named = false;
  DArray<void*> objects;
  for (uint32_t i = 0; i < mDatabase.Count(); ++i) {
    const Database::UpdateBase* entry = mDatabase.Entry(i);
    Member* member = entry ? entry->GetMember() : nullptr;
    if (member == nullptr || !NameIs(entry->GetName(), name, length)) continue;
    named = true;
    if (member->GetTag() == tag) objects.Add(member->mAddress);
  }
  if (!named) {
    Refuse(kOpSet, kStatusUnknownName);
    return 0;
  }
  if (objects.Empty() || mUpdater.mMembers[tag] == nullptr) {
    Refuse(kOpSet, kStatusTypeMismatch);
    return 0;
  }
  IRTUStream in(record, size);
  mUpdater.Dispatch(objects.Data(), objects.Count(), 0, in);
  if (in.mShort || in.mCursor != record + size) {
    Refuse(kOpSet, kStatusMalformed);
    return 0;
  }
  uint8_t payload[kCountBytes];
  PutLe32(payload, objects.Count());
  Answer(kOpSet, kStatusOk, payload, kCountBytes);
  return objects.Count();
}

// ---- The listening socket and its tools ---------------------------------------------------

Connection::Connection(Database& database, Updater& updater)
    : mDatabase(database), mUpdater(updater), mListener(Platform::kInvalidSocket), mClientCount(0), mRefused(0),
      mClients{}, mPath{} {}

Connection::~Connection() { Close(); }

bool Connection::Listen(const char* path) {
  Close();
  if (path == nullptr || std::strlen(path) >= kMaxPath) return false;
  mListener = Platform::ListenLocal(path);
  if (mListener < 0) return false;
  std::strcpy(mPath, path);
  mRefused = 0;
  return true;
}

void Connection::Close() {
  while (mClientCount) Drop(mClientCount - 1);
  if (mListener >= 0) Platform::StopListening(mListener, mPath);
  mListener = Platform::kInvalidSocket;
  mPath[0] = '\0';
}

unsigned int Connection::Poll() {
  if (mListener < 0) return 0;
  Accept();
  unsigned int changed = 0;
  for (unsigned int i = mClientCount; i-- > 0;) {
    Client& client = *mClients[i];
    // Frames that arrived before a close are still applied.
    const bool open = Receive(client, changed);
    if (!Flush(client) || !open) Drop(i);
  }
  return changed;
}

void Connection::Accept() {
  for (;;) {
    const int socket = Platform::AcceptPending(mListener);
    if (socket < 0) return;
    void* block = mClientCount < kMaxClients ? Detail::Allocate(static_cast<unsigned int>(sizeof(Client))) : nullptr;
    if (block == nullptr) {
      // No room: the tool sees its connection closed at once.
      Platform::SocketClose(socket);
      continue;
    }
    mClients[mClientCount++] = new (block) Client{socket, ToolSession(mDatabase, mUpdater)};
  }
}

void Connection::Drop(unsigned int index) {
  Client* client = mClients[index];
  Platform::SocketClose(client->socket);
  client->~Client();
  Detail::Free(client);
  mClients[index] = mClients[--mClientCount];
  mClients[mClientCount] = nullptr;
}

bool Connection::Receive(Client& client, unsigned int& changed) {
  uint8_t chunk[kReceiveChunk];
  const unsigned int refusedBefore = client.session.Refused();
  bool open = true;
  for (uint32_t total = 0; total < kMaxReceivePerPoll;) {
    const long received = Platform::SocketReceive(client.socket, chunk, sizeof chunk);
    if (received == Platform::kSocketClosed) open = false;
    if (received <= 0) break;
    changed += client.session.Receive(chunk, static_cast<uint32_t>(received));
    total += static_cast<uint32_t>(received);
  }
  mRefused += client.session.Refused() - refusedBefore;
  return open;
}

bool Connection::Flush(Client& client) {
  ByteArray& reply = client.session.Reply();
  uint32_t sent = 0;
  while (sent < reply.Count()) {
    const long result = Platform::SocketSend(client.socket, reply.Data() + sent, reply.Count() - sent);
    if (result == Platform::kSocketClosed) return false;
    if (result == Platform::kSocketWouldBlock) break;
    sent += static_cast<uint32_t>(result);
  }
  DropFront(reply, sent);
  // A tool that never reads its replies would make them pile up without end.
  return reply.Count() <= kMaxPendingReply;
}

}  // namespace Yr::RTU
