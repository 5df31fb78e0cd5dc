#include "platform/posix/frame_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace chimewell::platform::posix {

FrameReader::Progress FrameReader::Read(int fd) {
  for (;;) {
    char* target;
    std::size_t wanted;
    if (header_bytes_ < sizeof header_) {
      target = reinterpret_cast<char*>(&header_) + header_bytes_;
      wanted = sizeof header_ - header_bytes_;
    } else {
      const std::size_t left = header_.size - payload_bytes_;
      if (left == 0) break;
      // Grow with what arrives, so a header that claims a huge size costs
      // nothing until the bytes are really sent.
      const std::size_t chunk =
          std::min<std::size_t>(left, std::max<std::size_t>(65536, payload_bytes_));
      if (payload_.size() < payload_bytes_ + chunk) GrowPayload(payload_bytes_ + chunk);
      target = payload_.data() + payload_bytes_;
      wanted = chunk;
    }
    const ssize_t got = ::recv(fd, target, wanted, 0);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Progress::kMore;
      if (errno == EINTR) continue;
      return Drop(std::string("Dropped a message: ") + std::strerror(errno));
    }
    if (got == 0) {
      return Drop(header_bytes_ != 0 ? "Dropped a message cut short by its sender" : "");
    }
    if (header_bytes_ < sizeof header_) {
      header_bytes_ += static_cast<std::size_t>(got);
      if (header_bytes_ == sizeof header_ &&
          (header_.magic != kFrameMagic || header_.kind < 1 || header_.kind > 3 ||
           header_.size > kMaxPayload)) {
        return Drop("Dropped a malformed message");
      }
    } else {
      payload_bytes_ += static_cast<std::size_t>(got);
    }
  }
  payload_.resize(payload_bytes_);
  return Progress::kComplete;
}

void FrameReader::GrowPayload(std::size_t size) {
  if (payload_.capacity() < size) {
    // std::string's own growth may double its capacity, past what the sender
    // announced: a fresh string reserved to the size allocates only that.
    std::string bigger;
    bigger.reserve(size);
    bigger.assign(payload_, 0, payload_bytes_);
    payload_.swap(bigger);
  }
  payload_.resize(size);
}

FrameReader::Progress FrameReader::Drop(std::string problem) {
  problem_ = std::move(problem);
  return Progress::kDropped;
}

}  // namespace chimewell::platform::posix
