#include <cstdio>

#include "platform/code_page.h"
#include "platform/message_loop.h"
#include "session.h"
#include "verbs.h"

namespace chimectl {
namespace {

namespace platform = chimewell::platform;

// Reports a send that did not reach the service; true when it did.
bool Delivered(const platform::SendResult& result) {
  if (result.access_denied) {
    std::fprintf(stderr, "chimectl: the service window refused the message\n");
  } else if (!result.delivered) {
    std::fprintf(stderr, "chimectl: the service window went away before answering\n");
  }
  return result.delivered;
}

// Finds the target window, honouring --class and --wait, or explains why not.
std::optional<platform::WindowHandle> ServiceWindowFor(Arguments& arguments) {
  const std::string class_name = arguments.TakeValue("--class").value_or(kServiceClass);
  if (class_name.empty()) throw UsageError("--class needs a class name");
  const auto wait = arguments.TakeValue("--wait");
  const double seconds = wait ? ParseSeconds(*wait, "--wait") : 5.0;
  auto handle = FindServiceWindow(SecondsToMilliseconds(seconds), class_name);
  if (!handle) std::fprintf(stderr, "chimectl: no window of class %s found\n", class_name.c_str());
  return handle;
}

// Sends a message without payload (clock change, close) to the service window.
template <typename SendFn>
int SendNotice(Arguments& arguments, const char* verb, SendFn send) {
  auto handle = ServiceWindowFor(arguments);
  if (!arguments.Positionals().empty()) throw UsageError(std::string(verb) + " takes no arguments");
  if (!handle) return kExitNoServiceWindow;
  auto loop = platform::CreateMessageLoop();
  return Delivered(send(*loop, *handle)) ? kExitOk : kExitSendFailed;
}

}  // namespace

int Send(Arguments arguments) {
  const auto code_text = arguments.TakeValue("--code");
  const std::int64_t code = code_text ? ParseInteger(*code_text, "--code") : 10;
  auto handle = ServiceWindowFor(arguments);
  const auto texts = arguments.Positionals();
  if (texts.empty()) throw UsageError("send needs at least one TEXT");
  if (!handle) return kExitNoServiceWindow;
  auto loop = platform::CreateMessageLoop();
  for (const std::string& text : texts) {
    const auto result =
        loop->SendCopyData(*handle, static_cast<std::uint64_t>(code), platform::Utf8ToAnsi(text));
    if (!Delivered(result)) return kExitSendFailed;
    PrintLine(std::to_string(result.result));
  }
  return kExitOk;
}

int TimeChange(Arguments arguments) {
  return SendNotice(arguments, "timechange", [](platform::MessageLoop& loop, platform::WindowHandle h) {
    return loop.SendTimeChange(h);
  });
}

int Close(Arguments arguments) {
  return SendNotice(arguments, "close", [](platform::MessageLoop& loop, platform::WindowHandle h) {
    return loop.SendClose(h);
  });
}

}  // namespace chimectl
