#include "system/rtu/tool_client.h"

#include <cstring>

#include "system/platform/socket_platform.h"

namespace Yr::RTU {

namespace {

constexpr size_t kReplyHeadBytes = 2;  // operation and status

template <typename T>
struct TypeTag {
  using Type = T;
};

// Calls visit with the TypeTag of the tag's value type; false for tags without a type.
template <typename Visit>
bool WithTagType(int tag, Visit&& visit) {
  switch (tag) {
    case kTagBool: return visit(TypeTag<bool>());
    case kTagChar: return visit(TypeTag<char>());
    case kTagUnsignedChar: return visit(TypeTag<unsigned char>());
    case kTagInt: return visit(TypeTag<int>());
    case kTagUnsignedInt: return visit(TypeTag<unsigned int>());
    case kTagFloat: return visit(TypeTag<float>());
    case kTagStringId: return visit(TypeTag<StringId>());
    case kTagColor32: return visit(TypeTag<Color32>());
    case kTagPointer: return visit(TypeTag<void*>());
    default: return false;
  }
}

void AppendName(ByteArray& out, const char* name, size_t length) {
  uint8_t bytes[kNameLengthBytes];
  PutLe16(bytes, static_cast<uint16_t>(length));
  out.Append(bytes, kNameLengthBytes);
  out.Append(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(length));
}

}  // namespace

const char* TagName(int tag) {
  static const char* const kNames[kTagCount] = {"none",  "bool",   "char",  "uchar",   "int",
                                                "uint",  "float",  "string", "color",  "pointer"};
  return tag >= 0 && tag < kTagCount ? kNames[tag] : "?";
}

bool EncodeText(int tag, const char* text, ByteArray& record) {
  // A pointer has no text form.
  if (tag == kTagPointer) return false;
  return WithTagType(tag, [&](auto type) {
    using T = typename decltype(type)::Type;
    T value{};
    MemberT<T>* member = MemberT<T>::Create(&value);
    if (member == nullptr) return false;
    member->FromString(text);
    member->Write(record);
    delete member;
    return true;
  });
}

bool DecodeText(const ByteArray& record, char* buffer) {
  buffer[0] = '\0';
  if (record.Empty()) return false;
  return WithTagType(static_cast<int8_t>(record[0]), [&](auto type) {
    using T = typename decltype(type)::Type;
    T value{};
    MemberT<T>* member = MemberT<T>::Create(&value);
    if (member == nullptr) return false;
    IRTUStream in(record.Data() + 1, record.Count() - 1);
    member->Read(in);
    const bool whole = !in.mShort && in.Remaining() == 0;
    if (whole) member->ToString(buffer);
    delete member;
    return whole;
  });
}

ToolClient::~ToolClient() { Disconnect(); }

bool ToolClient::Connect(const char* path, unsigned int timeoutMs) {
  Disconnect();
  mSocket = Platform::ConnectLocal(path);
  mTimeoutMs = timeoutMs;
  return mSocket >= 0;
}

void ToolClient::Disconnect() {
  Platform::SocketClose(mSocket);
  mSocket = Platform::kInvalidSocket;
}

bool ToolClient::SendRaw(const void* bytes, uint32_t size) {
  if (mSocket < 0) return false;
  if (Platform::SocketSendAll(mSocket, bytes, size)) return true;
  Disconnect();
  return false;
}

bool ToolClient::ReceiveExactly(uint8_t* out, uint32_t count) {
  while (count > 0) {
    if (!Platform::SocketWaitReadable(mSocket, mTimeoutMs)) return false;
    const long received = Platform::SocketReceive(mSocket, out, count);
    if (received == Platform::kSocketClosed) return false;
    out += received;
    count -= static_cast<uint32_t>(received);
  }
  return true;
}

uint8_t ToolClient::ReceiveReply(uint8_t& operation, ByteArray& reply) {
  reply.Clear();
  if (mSocket < 0) return kStatusNoConnection;
  uint8_t size[kFrameSizeBytes];
  uint8_t head[kReplyHeadBytes];
  if (!ReceiveExactly(size, sizeof size)) {
    Disconnect();
    return kStatusNoReply;
  }
  const uint32_t bytes = ReadLe32(size);
  // After a reply that cannot be read whole the stream is out of step: end it.
  if (bytes < kReplyHeadBytes || bytes > kMaxReplyBytes || !ReceiveExactly(head, sizeof head)) {
    Disconnect();
    return kStatusBadReply;
  }
  reply.Resize(bytes - static_cast<uint32_t>(kReplyHeadBytes));
  if (!ReceiveExactly(reply.Data(), reply.Count())) {
    Disconnect();
    return kStatusNoReply;
  }
  operation = head[0];
  return head[1];
}

uint8_t ToolClient::Request(uint8_t operation, const uint8_t* payload, uint32_t size, ByteArray& reply) {
  if (mSocket < 0) return kStatusNoConnection;
  ByteArray frame;
  uint8_t head[kFrameSizeBytes + 1];
  const uint32_t frameSize = size + 1;
  PutLe32(head, frameSize);
  head[kFrameSizeBytes] = operation;
  frame.Append(head, sizeof head);
  frame.Append(payload, size);
  if (!SendRaw(frame.Data(), frame.Count())) return kStatusNoConnection;
  uint8_t answered = 0;
  const uint8_t status = ReceiveReply(answered, reply);
  if (status >= kStatusNoConnection) return status;
  if (answered != (operation | kReplyBit)) {
    Disconnect();
    return kStatusBadReply;
  }
  return status;
}

uint8_t ToolClient::List(ByteArray& listing) { return Request(kOpList, nullptr, 0, listing); }

bool ToolClient::ForEachListed(const ByteArray& listing, void (*visit)(void*, const ListedVariable&),
                               void* context) {
  IRTUStream in(listing.Data(), listing.Count());
  if (!in.Has(kCountBytes)) return false;
  const uint32_t count = ReadLe32(in.mCursor);
  in.mCursor += kCountBytes;
  for (uint32_t i = 0; i < count; ++i) {
    ListedVariable entry;
    if (!in.Has(1 + kNameLengthBytes)) return false;
    entry.tag = static_cast<int8_t>(in.mCursor[0]);
    entry.nameLength = ReadLe16(in.mCursor + 1);
    in.mCursor += 1 + kNameLengthBytes;
    if (!in.Has(entry.nameLength + kNameLengthBytes)) return false;
    entry.name = reinterpret_cast<const char*>(in.mCursor);
    in.mCursor += entry.nameLength;
    entry.textLength = ReadLe16(in.mCursor);
    in.mCursor += kNameLengthBytes;
    if (!in.Has(entry.textLength)) return false;
    entry.text = reinterpret_cast<const char*>(in.mCursor);
    in.mCursor += entry.textLength;
    visit(context, entry);
  }
  return in.Remaining() == 0;
}

uint8_t ToolClient::Get(const char* name, ByteArray& record) {
  const size_t length = std::strlen(name);
  if (length == 0 || length > UINT16_MAX) return kStatusMalformed;
  ByteArray payload;
  AppendName(payload, name, length);
  return Request(kOpGet, payload.Data(), payload.Count(), record);
}

uint8_t ToolClient::Set(const char* name, const uint8_t* record, uint32_t size, uint32_t* changed) {
  const size_t length = std::strlen(name);
  if (length == 0 || length > UINT16_MAX) return kStatusMalformed;
  ByteArray payload;
  AppendName(payload, name, length);
  payload.Append(record, size);
  ByteArray reply;
  const uint8_t status = Request(kOpSet, payload.Data(), payload.Count(), reply);
  if (status == kStatusOk && reply.Count() != kCountBytes) return kStatusBadReply;
  if (changed) *changed = status == kStatusOk ? ReadLe32(reply.Data()) : 0;
  return status;
}

uint8_t ToolClient::SetText(const char* name, const char* text, uint32_t* changed) {
  if (changed) *changed = 0;
  ByteArray current;
  const uint8_t status = Get(name, current);
  if (status != kStatusOk) return status;
  if (current.Empty()) return kStatusBadReply;
  ByteArray record;
  if (!EncodeText(static_cast<int8_t>(current[0]), text, record)) return kStatusTypeMismatch;
  return Set(name, record.Data(), record.Count(), changed);
}

}  // namespace Yr::RTU
