// Tour section: debug output, log targets and the messenger.
#include "examples/tour/tour.h"
#include "system/debug/debug_output.h"
#include "system/debug/log.h"
#include "system/debug/messenger.h"
#include "system/options/options.h"

namespace {

// Debug output goes to the debug sink (standard error, or the file named by YR_DEBUG_OUTPUT);
// flushing first keeps the two streams in order on a terminal.
void Step(const char* what) {
  std::printf("  %s\n", what);
  std::fflush(stdout);
}

}  // namespace

void Tour::Debug(int, char**) {
  Section("Debug output");
  Yr::Debug::Output("this line is dropped: debug output is still off\n");
  std::printf("Before Debug::Init output is off (%s): the line just written was dropped.\n",
              Yr::Debug::IsEnabled() ? "on" : "off");

  const Yr::StringId option("debug.output");
  if (!Yr::Options::Test(option)) {
    Yr::Options::Set("--debug.output");
    std::printf("Set(\"--debug.output\"): the option is a bare switch, which reads as on.\n");
  } else {
    std::printf("\"debug.output\" was given on the command line.\n");
  }
  Yr::Debug::Init();
  std::printf("Debug::Init: output is now %s. What follows goes to the debug sink%s:\n",
              Yr::Debug::IsEnabled() ? "on" : "off", Yr::Debug::IsEnabled() ? "" : ", so nothing appears");

  Step("Output(\"plain text\\n\")");
  Yr::Debug::Output("plain text\n");
  Step("OutputNum(4294967295), OutputNumX(0x1A)");
  Yr::Debug::OutputNum(4294967295u);
  Yr::Debug::Output(" ");
  Yr::Debug::OutputNumX(0x1Au);
  Yr::Debug::Output("\n");
  Step("OutputFmtU(\"%s has %u items at %x; 100%% done, %d is no conversion\\n\", ...)");
  Yr::Debug::OutputFmtU("%s has %u items at %x; 100%% done, %d is no conversion\n", "the pool", 12u, 0xBEEFu);
  Step("OutputFmt(\"%-8s|%5.2f|\\n\", \"printf\", 3.14159)");
  Yr::Debug::OutputFmt("%-8s|%5.2f|\n", "printf", 3.14159);
  Step("OutputFmtCR(\"line %d, ended for you\", 7)");
  Yr::Debug::OutputFmtCR("line %d, ended for you", 7);
  Step("Print(\"Print also reaches standard output\\n\")");
  Yr::Debug::Print("Print also reaches standard output\n");
  Yr::Debug::Flush();

  Yr::Log::LogTarget& banner = Yr::Log::GetBanner();
  std::printf("Log::GetTarget(\"anything\") is the banner target: %s; its name \"%s\", words %u and 0x%X.\n",
              &Yr::Log::GetTarget("anything", true) == &banner ? "yes" : "no", banner.GetName().CStr(), banner.mLevel,
              banner.mFlags);

  int received = 0;
  Yr::SetMessenger(Yr::MakeFunction<void (*)(const Yr::StringId&, const char*)>(
      [&received](const Yr::StringId& channel, const char* text) {
        ++received;
        std::printf("  messenger got [%s] %s\n", channel.CStr(), text);
      }));
  std::printf("A messenger is installed; sending two messages:\n");
  Yr::ProcessMessage("status", "level loaded");
  Yr::ProcessMessage("chat", "hello from the tour");
  Yr::ResetMessenger();
  Yr::ProcessMessage("status", "nobody hears this");
  std::printf("After ResetMessenger the third message went nowhere: %d received.\n", received);
}
