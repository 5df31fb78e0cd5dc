#include "platform/message_box.h"

namespace chimewell::platform {

void ShowErrorMessage(const std::string& /*title*/, const std::string& /*text*/) {}

}  // namespace chimewell::platform
