// The messenger: one application callback that receives (channel, text) messages sent by
// any caller through ProcessMessage.
//
// The slot holds one reference on the installed callable object (see function.h); the
// object stays the caller's otherwise and is destroyed when its last reference goes. The
// slot is empty at load and its reference is released at unload.
//
// Threads: the slot has no lock. Install or reset the messenger before other threads send
// messages, never while they do. ProcessMessage itself does not touch the count, so any
// number of threads may send at once.
#pragma once

#include "system/debug/function.h"
#include "system/platform/export.h"
#include "system/strings/string_id.h"

namespace Yr {

using Messenger = Function<void (*)(const StringId&, const char*)>;

// Installs f (an empty f empties the slot); the previously installed object loses the
// slot's reference. Installing the object already installed changes nothing.
YR_API void SetMessenger(Messenger f);
// Releases the installed messenger and leaves the slot empty.
YR_API void ResetMessenger();
// Calls the installed messenger with (channel, text); nothing when none is installed.
YR_API void ProcessMessage(const StringId& channel, const char* text);

namespace Detail {

// The installed object, or null; for tests.
YR_API Messenger::Object* InstalledMessenger();

// Load and unload step of the messenger slot.
void BuildMessengerSlot();
void DestroyMessengerSlot();

}  // namespace Detail
}  // namespace Yr
