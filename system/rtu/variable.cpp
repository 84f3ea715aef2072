#include "system/rtu/variable.h"

#include <new>

namespace Yr::RTU {

Variable* Variable::Create(const char* name, const void* source, Member* member) {
  if (member == nullptr) return nullptr;
  void* block = Detail::Allocate(static_cast<unsigned int>(sizeof(Variable)));
  if (block == nullptr) {
    delete member;
    return nullptr;
  }
  return new (block) Variable(name, source, member);
}

Variable::~Variable() { delete mMember; }

}  // namespace Yr::RTU
