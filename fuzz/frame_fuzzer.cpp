// Fuzzes the bus frame reader the way a peer reaches it: through a connected
// Unix-domain stream socket, a piece at a time. The reader is the message
// loop's own (FrameReader), reading a non-blocking socket as the loop does
// whenever the connection turns readable.
//
// Input: a flags byte, then pieces, each a length byte L and up to L bytes
// the peer writes at once (L = 0: the peer pauses, the reader finds nothing).
// Flags bit 0: the peer closes its side after the last piece.
//
// Properties, after every read:
//   - the reader never takes more bytes than were sent, nor more than the
//     header plus the size it announces (the rest stays in the socket);
//   - the payload memory never exceeds the announced size (or the string's
//     smallest allocation, a few dozen bytes);
//   - "more" means everything sent so far was taken;
//   - a complete frame has a well-formed header and decodes to exactly the
//     bytes sent, and the bytes after it are still unread in the socket;
//   - a drop names a cause that fits what was sent (malformed header, cut
//     short, or silence for a probe that sent nothing).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/bus.h"
#include "platform/posix/frame_reader.h"
#include "platform/posix/unique_fd.h"

namespace {

using chimewell::platform::posix::FrameReader;
using chimewell::platform::posix::kFrameMagic;
using chimewell::platform::posix::kMaxPayload;
using chimewell::platform::posix::RequestHeader;
using chimewell::platform::posix::UniqueFd;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "frame_fuzzer: %s\n", what.c_str());
  std::abort();
}

void Check(bool holds, const char* property) {
  if (!holds) Fail(property);
}

constexpr std::size_t kHeaderSize = sizeof(RequestHeader);

bool WellFormed(const RequestHeader& header) {
  return header.magic == kFrameMagic && header.kind >= 1 && header.kind <= 3 &&
         header.size <= kMaxPayload;
}

class Peer {
 public:
  Peer() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
      Fail(std::string("socketpair: ") + std::strerror(errno));
    }
    reader_end_ = UniqueFd(ends[0]);
    peer_end_ = UniqueFd(ends[1]);
    // The loop reads accepted connections without blocking.
    const int flags = ::fcntl(reader_end_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(reader_end_.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
      Fail("can not make the socket non-blocking");
    }
  }

  int ReaderEnd() const { return reader_end_.Get(); }

  // Inputs are at most a few kilobytes: the socket's buffer takes them whole.
  void Send(std::string_view piece) {
    while (!piece.empty()) {
      const ssize_t put = ::send(peer_end_.Get(), piece.data(), piece.size(), MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) Fail(std::string("send: ") + std::strerror(errno));
      piece.remove_prefix(static_cast<std::size_t>(put));
    }
  }

  void Close() { ::shutdown(peer_end_.Get(), SHUT_WR); }

  // What is still waiting in the socket, once the peer has closed its side.
  std::string Unread() {
    Close();
    std::string rest;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::recv(reader_end_.Get(), buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      // The peer's side is shut: the socket ends with EOF, never "try again".
      if (got < 0) Fail(std::string("recv of the rest: ") + std::strerror(errno));
      if (got == 0) return rest;
      rest.append(buffer, static_cast<std::size_t>(got));
    }
  }

 private:
  UniqueFd reader_end_;
  UniqueFd peer_end_;
};

class Exchange {
 public:
  // Returns false once the reader is done with the connection.
  bool ReadAvailable(bool peer_closed) {
    const FrameReader::Progress progress = reader_.Read(peer_.ReaderEnd());
    CheckBounds();
    switch (progress) {
      case FrameReader::Progress::kMore:
        Check(!peer_closed, "'more' after the peer closed");
        Check(reader_.Received() == sent_.size(), "'more' left sent bytes unread");
        return true;
      case FrameReader::Progress::kComplete:
        CheckComplete();
        return false;
      case FrameReader::Progress::kDropped:
        CheckDropped(peer_closed);
        return false;
    }
    Fail("unknown progress");
  }

  void Send(std::string_view piece) {
    peer_.Send(piece);
    sent_.append(piece);
  }
  void Close() { peer_.Close(); }

 private:
  bool HeaderArrived() const { return reader_.Received() >= kHeaderSize; }

  RequestHeader SentHeader() const {
    RequestHeader header;
    std::memcpy(&header, sent_.data(), kHeaderSize);
    return header;
  }

  void CheckBounds() {
    // An empty string's own room (held inside the object, not allocated); its
    // first allocation is at least twice that, even for fewer bytes.
    const std::size_t inline_room = std::string().capacity();
    const std::size_t smallest_allocation = 2 * inline_room;
    Check(reader_.Received() <= sent_.size(), "received more bytes than were sent");
    if (HeaderArrived()) {
      const std::uint64_t announced = SentHeader().size;
      Check(reader_.Received() - kHeaderSize <= announced, "read beyond the announced size");
      Check(reader_.Held() <= std::max<std::uint64_t>(announced, smallest_allocation),
            "holds more memory than announced");
    } else {
      Check(reader_.Held() <= inline_room, "holds payload memory before the header");
    }
  }

  void CheckComplete() {
    Check(HeaderArrived(), "complete without a header");
    const RequestHeader sent = SentHeader();
    const RequestHeader& header = reader_.Header();
    Check(WellFormed(sent), "a malformed header was accepted");
    Check(std::memcmp(&header, &sent, kHeaderSize) == 0, "the header differs from the one sent");
    Check(reader_.Received() == kHeaderSize + sent.size, "complete before the announced size");
    const std::string payload = reader_.TakePayload();
    Check(payload.size() == sent.size, "payload size differs from the announced size");
    Check(std::string_view(sent_).substr(kHeaderSize, payload.size()) == payload,
          "payload differs from the bytes sent");
    // Nothing past the frame was taken from the socket.
    const std::string rest = peer_.Unread();
    Check(rest == std::string_view(sent_).substr(kHeaderSize + payload.size()),
          "bytes past the frame were consumed");
  }

  void CheckDropped(bool peer_closed) {
    const std::string& problem = reader_.Problem();
    if (HeaderArrived() && !WellFormed(SentHeader())) {
      Check(problem == "Dropped a malformed message", "a malformed header dropped for another cause");
      Check(reader_.Received() == kHeaderSize, "read past a malformed header");
      return;
    }
    Check(peer_closed, "dropped a well-behaved connection");
    Check(reader_.Received() == sent_.size(), "dropped with sent bytes unread");
    if (sent_.empty()) {
      Check(problem.empty(), "a probe was reported");
    } else {
      Check(problem == "Dropped a message cut short by its sender",
            "a short message dropped for another cause");
    }
  }

  Peer peer_;
  FrameReader reader_;
  std::string sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool close_at_end = (static_cast<unsigned char>(input[0]) & 1) != 0;
  input.remove_prefix(1);

  Exchange exchange;
  bool reading = true;
  while (reading && !input.empty()) {
    const std::size_t length =
        std::min<std::size_t>(static_cast<unsigned char>(input[0]), input.size() - 1);
    exchange.Send(input.substr(1, length));
    input.remove_prefix(1 + length);
    reading = exchange.ReadAvailable(false);
  }
  if (reading) {
    if (close_at_end) exchange.Close();
    reading = exchange.ReadAvailable(close_at_end);
    // A peer that goes quiet without closing is dropped by the loop's timer;
    // once it closes, the reader must finish with the connection.
    if (reading) {
      exchange.Close();
      exchange.ReadAvailable(true);
    }
  }
  return 0;
}
