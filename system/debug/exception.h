// Exceptions::Exception: the library's one exception class.
//
// A polymorphic object carrying one interned message (a StringId), for the code of calling
// modules; the library itself throws nothing. Copies share the message.
//
//   throw Yr::Exceptions::Exception("disk full");
//   ...
//   catch (const Yr::Exceptions::Exception& error) { Log(error.What()); }
//
// What() stays valid as long as the exception (or any copy of it) lives.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr::Exceptions {

class YR_API Exception {
 public:
  // Interns message; without one the message is null.
  Exception(const char* message = nullptr);  // NOLINT: implicit from text by design
  Exception(const Exception& other) = default;
  Exception& operator=(const Exception& other) = default;
  virtual ~Exception();

  // The message text, or null when there is none.
  const char* What() const { return mMessage.CStr(); }

 protected:
  StringId mMessage;
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(Exception) == 8, "the virtual table pointer and the message");
#endif

}  // namespace Yr::Exceptions
