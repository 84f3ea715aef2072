// Test helper: collects every piece written to the debug sink while alive.
#pragma once

#include <string>
#include <vector>

#include "system/platform/platform.h"

namespace YrTest {

class DebugCapture {
 public:
  DebugCapture() {
    mPrevious = Yr::Platform::SetDebugCapture({&DebugCapture::Collect, this});
  }
  ~DebugCapture() { Yr::Platform::SetDebugCapture(mPrevious); }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  const std::vector<std::string>& Pieces() const { return mPieces; }
  std::string Joined() const {
    std::string all;
    for (const std::string& piece : mPieces) all += piece;
    return all;
  }
  void Clear() { mPieces.clear(); }

 private:
  static void Collect(void* context, const char* bytes, size_t count) {
    static_cast<DebugCapture*>(context)->mPieces.emplace_back(bytes, count);
  }
  std::vector<std::string> mPieces;
  Yr::Platform::DebugCaptureSlot mPrevious;
};

}  // namespace YrTest
