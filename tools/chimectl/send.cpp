#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

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
  } else if (result.interrupted) {
    std::fprintf(stderr, "chimectl: interrupted while waiting for the answer\n");
  } else if (!result.delivered) {
    std::fprintf(stderr, "chimectl: the service window went away before answering\n");
  }
  return result.delivered;
}

// Where to look for the target window: --class and --wait.
struct WindowQuery {
  std::string class_name;
  double seconds;
};

WindowQuery TakeWindowQuery(Arguments& arguments) {
  const std::string class_name = arguments.TakeValue("--class").value_or(kServiceClass);
  if (class_name.empty()) throw UsageError("--class needs a class name");
  const auto wait = arguments.TakeValue("--wait");
  return {class_name, wait ? ParseSeconds(*wait, "--wait") : 5.0};
}

// Finds the target window, or explains why not. Called only once every
// option has been checked, so a mistyped option never waits for a window.
std::optional<platform::WindowHandle> FindWindow(const WindowQuery& query) {
  auto handle = FindServiceWindow(SecondsToMilliseconds(query.seconds), query.class_name);
  if (!handle) std::fprintf(stderr, "chimectl: no window of class %s found\n", query.class_name.c_str());
  return handle;
}

// The texts to send: the arguments, or with "-" one per line of standard
// input (a line's carriage return dropped), which keeps quoting out of the way.
std::vector<std::string> TextsToSend(const std::vector<std::string>& positionals) {
  if (positionals != std::vector<std::string>{"-"}) return positionals;
  std::vector<std::string> texts;
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    texts.push_back(std::move(line));
  }
  return texts;
}

// Sends a message without payload (clock change, close) to the service window.
template <typename SendFn>
int SendNotice(Arguments& arguments, const char* verb, SendFn send) {
  const WindowQuery query = TakeWindowQuery(arguments);
  if (!arguments.Positionals().empty()) throw UsageError(std::string(verb) + " takes no arguments");
  auto handle = FindWindow(query);
  if (!handle) return kExitNoServiceWindow;
  auto loop = platform::CreateMessageLoop();
  return Delivered(send(*loop, *handle)) ? kExitOk : kExitSendFailed;
}

}  // namespace

int Send(Arguments arguments) {
  const auto code_text = arguments.TakeValue("--code");
  const std::int64_t code = code_text ? ParseInteger(*code_text, "--code") : 10;
  const WindowQuery query = TakeWindowQuery(arguments);
  const auto positionals = arguments.Positionals();
  if (positionals.empty()) throw UsageError("send needs at least one TEXT, or - to read them from standard input");
  const auto texts = TextsToSend(positionals);
  auto handle = FindWindow(query);
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
