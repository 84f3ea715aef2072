#include "system/debug/exception.h"

namespace Yr::Exceptions {

Exception::Exception(const char* message) : mMessage(message ? StringId(message) : StringId()) {}

// Out of line: the virtual table lives in the library.
Exception::~Exception() = default;

}  // namespace Yr::Exceptions
