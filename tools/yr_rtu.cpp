// yr_rtu: lists and changes the live-update variables of a running program.
//
//   yr_rtu SOCKET list               every named variable: name, type, value
//   yr_rtu SOCKET get NAME           the value of NAME
//   yr_rtu SOCKET set NAME VALUE     sets NAME (and every variable of that name) from text
//
// SOCKET is the path the program listens on (RTU::Connection::Listen). Exit status 0 on
// success, 1 when the program refused or did not answer, 2 on a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "system/rtu/tool_client.h"

namespace {

using namespace Yr::RTU;

int Usage() {
  std::fprintf(stderr, "usage: yr_rtu SOCKET list | get NAME | set NAME VALUE\n");
  return 2;
}

int Failed(const char* what, uint8_t status) {
  std::fprintf(stderr, "yr_rtu: %s: %s\n", what, StatusText(status));
  return 1;
}

void PrintListed(void*, const ListedVariable& entry) {
  std::printf("%.*s\t%s\t%.*s\n", static_cast<int>(entry.nameLength), entry.name, TagName(entry.tag),
              static_cast<int>(entry.textLength), entry.text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[2];
  if (!((command == "list" && argc == 3) || (command == "get" && argc == 4) || (command == "set" && argc == 5)))
    return Usage();

  ToolClient tool;
  if (!tool.Connect(argv[1])) {
    std::fprintf(stderr, "yr_rtu: cannot connect to %s\n", argv[1]);
    return 1;
  }
  if (command == "list") {
    ByteArray listing;
    const uint8_t status = tool.List(listing);
    if (status != kStatusOk) return Failed("list", status);
    if (!ToolClient::ForEachListed(listing, &PrintListed, nullptr)) return Failed("list", kStatusBadReply);
    return 0;
  }
  if (command == "get") {
    ByteArray record;
    const uint8_t status = tool.Get(argv[3], record);
    if (status != kStatusOk) return Failed(argv[3], status);
    char text[kTextBufferSize];
    if (!DecodeText(record, text)) return Failed(argv[3], kStatusBadReply);
    std::printf("%s\t%s\t%s\n", argv[3], TagName(static_cast<int8_t>(record[0])), text);
    return 0;
  }
  uint32_t changed = 0;
  const uint8_t status = tool.SetText(argv[3], argv[4], &changed);
  if (status != kStatusOk) return Failed(argv[3], status);
  std::printf("%s set in %u variable%s\n", argv[3], changed, changed == 1 ? "" : "s");
  return 0;
}
