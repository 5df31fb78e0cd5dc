#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/thread.h"

namespace chimewell::platform {

void StartDetachedThread(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
  } catch (const std::system_error& error) {
    throw std::runtime_error(std::string("Can not start thread: ") + error.what());
  }
}

}  // namespace chimewell::platform
