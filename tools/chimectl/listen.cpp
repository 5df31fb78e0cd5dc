#include "platform/message_loop.h"
#include "session.h"
#include "verbs.h"

namespace chimectl {

int Listen(Arguments arguments) {
  if (!arguments.Positionals().empty()) throw UsageError("listen takes no arguments");
  auto loop = chimewell::platform::CreateMessageLoop();
  ViewWindowPrinter printer("");
  auto window = loop->CreateHiddenWindow(kViewClass, "Calendar view", printer);
  PrintLine(std::to_string(window->Handle()));
  loop->Run();
  return kExitOk;
}

}  // namespace chimectl
