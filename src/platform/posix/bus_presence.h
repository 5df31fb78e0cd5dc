// A window's presence on the bus: a listening socket under a random free
// handle and the entry that announces its class. Both go with this object.
#pragma once

#include <random>
#include <string>

#include "platform/message_loop.h"
#include "platform/posix/unique_fd.h"

namespace chimewell::platform::posix {

class BusWindow {
 public:
  // Throws std::runtime_error with the reason when the window can not be made
  // (a bad class name, an unsafe bus folder, a socket error).
  BusWindow(const std::string& class_name, std::mt19937& random);
  ~BusWindow();
  BusWindow(const BusWindow&) = delete;
  BusWindow& operator=(const BusWindow&) = delete;

  WindowHandle Handle() const { return handle_; }
  int Listener() const { return listener_.Get(); }

 private:
  WindowHandle handle_ = 0;
  UniqueFd listener_;
  std::string socket_path_;
  std::string class_path_;
};

}  // namespace chimewell::platform::posix
