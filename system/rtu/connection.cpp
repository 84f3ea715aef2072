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
    const bool open = Receive(client);
    changed += HandleFrames(client);
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
    mClients[mClientCount++] = new (block) Client{socket, ByteArray(), ByteArray(), 0};
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

bool Connection::Receive(Client& client) {
  uint8_t chunk[kReceiveChunk];
  for (uint32_t total = 0; total < kMaxReceivePerPoll;) {
    const long received = Platform::SocketReceive(client.socket, chunk, sizeof chunk);
    if (received == Platform::kSocketClosed) return false;
    if (received == Platform::kSocketWouldBlock) break;
    client.input.Append(chunk, static_cast<uint32_t>(received));
    total += static_cast<uint32_t>(received);
  }
  return true;
}

unsigned int Connection::HandleFrames(Client& client) {
  unsigned int changed = 0;
  uint32_t at = 0;
  const uint32_t count = client.input.Count();
  while (at < count) {
    const uint8_t* data = client.input.Data() + at;
    const uint32_t available = count - at;
    if (client.skip) {
      const uint32_t dropped = client.skip < available ? client.skip : available;
      client.skip -= dropped;
      at += dropped;
      continue;
    }
    if (available < kFrameSizeBytes) break;
    const uint32_t size = ReadLe32(data);
    if (size == 0 || size > kMaxFrameBytes) {
      // Refused unread; a frame too large is dropped as its bytes arrive, so the frames
      // after it are still found.
      ++mRefused;
      Reply(client, 0, size == 0 ? kStatusMalformed : kStatusTooLarge, nullptr, 0);
      client.skip = size;
      at += kFrameSizeBytes;
      continue;
    }
    if (available - kFrameSizeBytes < size) break;  // the rest has not arrived yet
    changed += HandleFrame(client, data + kFrameSizeBytes, size);
    at += kFrameSizeBytes + size;
  }
  DropFront(client.input, at);
  return changed;
}

unsigned int Connection::HandleFrame(Client& client, const uint8_t* frame, uint32_t size) {
  const uint8_t operation = frame[0];
  const uint8_t* payload = frame + kOperationBytes;
  const size_t payloadSize = size - kOperationBytes;
  unsigned int changed = 0;
  if (operation == kOpList) {
    if (payloadSize == 0) {
      ReplyList(client);
    } else {
      ++mRefused;
      Reply(client, operation, kStatusMalformed, nullptr, 0);
    }
  } else if (operation == kOpGet || operation == kOpSet) {
    const size_t nameLength = payloadSize >= kNameLengthBytes ? ReadLe16(payload) : 0;
    const char* name = reinterpret_cast<const char*>(payload + kNameLengthBytes);
    if (nameLength == 0 || kNameLengthBytes + nameLength > payloadSize ||
        (operation == kOpGet && kNameLengthBytes + nameLength != payloadSize)) {
      ++mRefused;
      Reply(client, operation, kStatusMalformed, nullptr, 0);
    } else if (operation == kOpGet) {
      ReplyGet(client, name, nameLength);
    } else {
      const uint8_t* record = payload + kNameLengthBytes + nameLength;
      changed = ApplySet(client, name, nameLength, record, payloadSize - kNameLengthBytes - nameLength);
    }
  } else {
    ++mRefused;
    Reply(client, operation, kStatusUnknownOperation, nullptr, 0);
  }
  return changed;
}

void Connection::Reply(Client& client, uint8_t operation, uint8_t status, const uint8_t* payload, uint32_t size) {
  AppendLe32(client.reply, static_cast<uint32_t>(kOperationBytes + kStatusBytes + size));
  const uint8_t head[2] = {static_cast<uint8_t>(operation | kReplyBit), status};
  client.reply.Append(head, 2);
  if (size) client.reply.Append(payload, size);
}

void Connection::ReplyList(Client& client) {
  // The size is known once every entry is written: reserve it and fill it in after.
  const uint32_t start = client.reply.Count();
  Reply(client, kOpList, kStatusOk, nullptr, 0);
  const uint32_t countAt = client.reply.Count();
  AppendLe32(client.reply, 0);
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
    client.reply.Append(&tag, 1);
    AppendLe16(client.reply, static_cast<uint16_t>(nameLength));
    client.reply.Append(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(nameLength));
    const uint32_t textLength = static_cast<uint32_t>(std::strlen(member->ToString(text)));
    AppendLe16(client.reply, static_cast<uint16_t>(textLength));
    client.reply.Append(reinterpret_cast<const uint8_t*>(text), textLength);
    ++listed;
  }
  PutLe32(client.reply.Data() + start, client.reply.Count() - start - static_cast<uint32_t>(kFrameSizeBytes));
  PutLe32(client.reply.Data() + countAt, listed);
}

void Connection::ReplyGet(Client& client, const char* name, size_t length) {
  for (uint32_t i = 0; i < mDatabase.Count(); ++i) {
    const Database::UpdateBase* entry = mDatabase.Entry(i);
    Member* member = entry ? entry->GetMember() : nullptr;
    if (member == nullptr || !NameIs(entry->GetName(), name, length)) continue;
    ByteArray record;
    member->Write(record);
    Reply(client, kOpGet, kStatusOk, record.Data(), record.Count());
    return;
  }
  ++mRefused;
  Reply(client, kOpGet, kStatusUnknownName, nullptr, 0);
}

unsigned int Connection::ApplySet(Client& client, const char* name, size_t length, const uint8_t* record,
                                  size_t size) {
  uint8_t status = kStatusOk;
  uint32_t changed = 0;
  if (size == 0 || WholeRecordBytes(record, size) != size) {
    status = kStatusMalformed;
  } else {
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
      status = kStatusUnknownName;
    } else if (objects.Empty() || mUpdater.mMembers[tag] == nullptr) {
      status = kStatusTypeMismatch;
    } else {
      IRTUStream in(record, size);
      mUpdater.Dispatch(objects.Data(), objects.Count(), 0, in);
      if (in.mShort || in.mCursor != record + size) status = kStatusMalformed;
      else changed = objects.Count();
    }
  }
  if (status != kStatusOk) ++mRefused;
  uint8_t payload[kCountBytes];
  PutLe32(payload, changed);
  Reply(client, kOpSet, status, status == kStatusOk ? payload : nullptr, status == kStatusOk ? kCountBytes : 0);
  return changed;
}

bool Connection::Flush(Client& client) {
  uint32_t sent = 0;
  while (sent < client.reply.Count()) {
    const long result = Platform::SocketSend(client.socket, client.reply.Data() + sent, client.reply.Count() - sent);
    if (result == Platform::kSocketClosed) return false;
    if (result == Platform::kSocketWouldBlock) break;
    sent += static_cast<uint32_t>(result);
  }
  DropFront(client.reply, sent);
  // A tool that never reads its replies would make them pile up without end.
  return client.reply.Count() <= kMaxPendingReply;
}

}  // namespace Yr::RTU
