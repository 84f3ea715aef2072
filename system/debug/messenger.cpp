#include "system/debug/messenger.h"

#include "system/memory/manual_static.h"

namespace Yr {
namespace {

Detail::ManualStatic<Messenger> gSlot;

}  // namespace

void SetMessenger(Messenger f) {
  // The slot takes its own reference before letting go of the old object, so installing
  // the object already installed never drops it to zero; f's reference goes when f does.
  gSlot.Get() = f;
}

void ResetMessenger() { gSlot.Get() = Messenger(); }

void ProcessMessage(const StringId& channel, const char* text) {
  const Messenger& messenger = gSlot.Get();
  if (messenger) messenger(channel, text);
}

namespace Detail {

Messenger::Object* InstalledMessenger() { return gSlot->GetObject(); }

void BuildMessengerSlot() { gSlot.Build(); }
void DestroyMessengerSlot() { gSlot.Destroy(); }

}  // namespace Detail
}  // namespace Yr
