// Inbound copy-data: every message is traced and answered; code 10 carries a
// reminder command, code 11 starts a worker thread.
#include <memory>

#include "host/service.h"
#include "platform/code_page.h"
#include "platform/thread.h"
#include "trace/trace.h"

namespace chimewell::host {

namespace {
constexpr std::int32_t CMD_QUERY_COMMAND = 10;
constexpr std::int32_t CMD_ASYNC_COMMAND = 11;
}  // namespace

void ProcessAsyncCommand(TfrmChimewell& /*form*/, const std::string& /*cmd*/) {}

std::intptr_t TfrmChimewell::WMCopyData(std::uint64_t code_data, std::string_view payload) {
  trace::WriteLog("RECV WMCopyData");
  // The payload lives only while this handler runs: copy it before anything else.
  const auto cmd = std::make_shared<const std::string>(platform::AnsiToUtf8(payload));
  const auto code = static_cast<std::int32_t>(code_data);
  trace::WriteLogFmt("REMINDER COMMAND :%d", code);
  std::intptr_t result = 0;
  if (code == CMD_QUERY_COMMAND) {
    try {
      result = ProcessQueryCommand(*cmd);
    } catch (const std::exception& error) {
      trace::WriteException("ProcessQueryCommand", error);
    }
  } else if (code == CMD_ASYNC_COMMAND) {
    platform::StartDetachedThread([this, cmd] { ProcessAsyncCommand(*this, *cmd); });
  }
  trace::WriteLogFmt("REMINDER COMMAND :%d RESULT : %d", code, result);
  return result;
}

}  // namespace chimewell::host
