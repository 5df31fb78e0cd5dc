// Reads one request frame (header, then payload) from a non-blocking
// connection, a piece at a time as its bytes arrive.
#pragma once

#include <cstddef>
#include <string>

#include "platform/posix/bus.h"

namespace chimewell::platform::posix {

class FrameReader {
 public:
  enum class Progress {
    kMore,      // wait until the connection is readable again
    kComplete,  // Header() and TakePayload() hold the request
    kDropped,   // the connection is of no further use; Problem() says why
  };

  // Reads whatever has arrived on `fd`.
  Progress Read(int fd);

  // Why the frame was dropped; empty for a probe (a connection closed before
  // its first byte, as IsWindow makes).
  const std::string& Problem() const { return problem_; }
  // Bytes received so far: grows while the peer is still sending.
  std::size_t Received() const { return header_bytes_ + payload_bytes_; }
  // Bytes of memory the payload holds so far: never more than announced, but
  // for the string's smallest allocation (a few dozen bytes).
  std::size_t Held() const { return payload_.capacity(); }
  const RequestHeader& Header() const { return header_; }
  std::string TakePayload() { return std::move(payload_); }

 private:
  Progress Drop(std::string problem);
  // Makes room for `size` payload bytes, allocating exactly that much.
  void GrowPayload(std::size_t size);

  RequestHeader header_{};
  std::size_t header_bytes_ = 0;
  std::string payload_;
  std::size_t payload_bytes_ = 0;
  std::string problem_;
};

}  // namespace chimewell::platform::posix
