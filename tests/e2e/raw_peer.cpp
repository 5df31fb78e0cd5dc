// A peer that ignores every rule of the window bus: it connects to a window
// on the bus folder its environment names (as every process of the user
// finds it), whoever owns the folder, and sends one copy-data frame. The
// security tests start it as another user, to show that the receiver's own
// check refuses it (a well-behaved sender refuses such a bus itself).
//
//   raw_peer WINDOW     (the window's handle, in decimal)
//
// Prints "refused", "result N", or "no answer".
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/bus.h"

namespace posix = chimewell::platform::posix;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: raw_peer WINDOW\n");
    return 2;
  }
  // A receiver that refuses may answer and close before reading the request.
  std::signal(SIGPIPE, SIG_IGN);
  const auto handle = static_cast<chimewell::platform::WindowHandle>(std::strtoul(argv[1], nullptr, 10));
  const posix::WindowAddress address = posix::WindowSocketAddress(posix::BusDirectory(), handle);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (address.error != 0 || fd < 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address.address), sizeof address.address) != 0) {
    std::perror("raw_peer: connect");
    return 1;
  }
  const char payload[] = "x";
  const posix::RequestHeader header{posix::kFrameMagic, static_cast<std::uint32_t>(posix::FrameKind::kCopyData),
                                    10, sizeof payload - 1};
  posix::Reply reply{};
  // The writes may fail against a refusing receiver; its answer is read anyway.
  [[maybe_unused]] const ssize_t sent_header = ::write(fd, &header, sizeof header);
  [[maybe_unused]] const ssize_t sent_payload = ::write(fd, payload, sizeof payload - 1);
  if (::read(fd, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) {
    std::puts("no answer");
  } else if (reply.status == static_cast<std::uint64_t>(posix::ReplyStatus::kRefused)) {
    std::puts("refused");
  } else {
    std::printf("result %lld\n", static_cast<long long>(reply.result));
  }
  ::close(fd);
  return 0;
}
