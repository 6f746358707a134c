// A blocking socket descriptor as a Beast synchronous read stream, and the
// write that sends a whole reply.
//
// Asio's own sockets wait in poll() without a limit, which ignores the
// socket's SO_RCVTIMEO; a plain blocking recv() honours it, so the read
// time-out of a connection is the kernel's and costs nothing per request.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <chrono>
#include <optional>
#include <span>

namespace zuntar {

// How long each receive on `fd` may wait (0: without limit).
inline void SetReceiveTimeout(int fd, std::chrono::milliseconds limit) {
  const long long ms = limit.count() > 0 ? limit.count() : 0;
  const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

class FdStream {
 public:
  using Clock = std::chrono::steady_clock;

  // `timeout`: the receive time-out the socket has now (an accepted socket
  // has its listening socket's).
  FdStream(int fd, std::chrono::milliseconds timeout) : fd_(fd), applied_(timeout) {}

  // From now on each read waits at most `per_read` (0: without limit), and
  // none goes on past `deadline` when there is one. The socket's time-out
  // is changed only when a read needs another one, so a request that comes
  // in one read costs no call for it.
  void Limit(std::chrono::milliseconds per_read, std::optional<Clock::time_point> deadline) {
    per_read_ = per_read.count() > 0 ? per_read : std::chrono::milliseconds(0);
    deadline_ = deadline;
  }

  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    ec = {};
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::mutable_buffer b = *it;
      if (b.size() == 0) continue;
      if (!ApplyLimit()) {
        ec = boost::system::error_code(ETIMEDOUT, boost::system::generic_category());
        return 0;
      }
      for (;;) {
        const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        if (n > 0) return static_cast<size_t>(n);
        if (n == 0) {
          ec = boost::asio::error::eof;
          return 0;
        }
        if (errno == EINTR) continue;
        ec = boost::system::error_code(errno == EAGAIN ? ETIMEDOUT : errno, boost::system::generic_category());
        return 0;
      }
    }
    return 0;
  }

  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers) {
    boost::system::error_code ec;
    const size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  // Sets the time-out the next read needs; false when the deadline has passed.
  bool ApplyLimit() {
    using std::chrono::milliseconds;
    milliseconds wanted = per_read_;
    if (deadline_) {
      const auto left = std::chrono::ceil<milliseconds>(*deadline_ - Clock::now());
      if (left.count() <= 0) return false;
      if (wanted.count() == 0 || left < wanted) wanted = left;
      // The time-out in place may overrun the deadline a little: the
      // deadline is a guard against clients that never finish, not a clock.
      if (applied_.count() != 0 && applied_ >= wanted && applied_ - wanted <= kSlack) return true;
    }
    if (wanted != applied_) {
      SetReceiveTimeout(fd_, wanted);
      applied_ = wanted;
    }
    return true;
  }

  static constexpr std::chrono::milliseconds kSlack{20};
  int fd_;
  std::chrono::milliseconds applied_;
  std::chrono::milliseconds per_read_{0};
  std::optional<Clock::time_point> deadline_;
};

// Sends every byte of `parts` in order on the blocking socket `fd`, with
// `flags` added to each send (MSG_MORE holds the bytes back until a send
// without it). False with `ec` set when the socket fails. Advances `parts`.
inline bool SendAll(int fd, std::span<iovec> parts, int flags, boost::system::error_code& ec) {
  ec = {};
  while (!parts.empty() && parts.front().iov_len == 0) parts = parts.subspan(1);
  while (!parts.empty()) {
    msghdr msg{};
    msg.msg_iov = parts.data();
    msg.msg_iovlen = parts.size();
    ssize_t n = ::sendmsg(fd, &msg, flags | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      ec = boost::system::error_code(errno, boost::system::generic_category());
      return false;
    }
    for (; !parts.empty() && static_cast<size_t>(n) >= parts.front().iov_len; parts = parts.subspan(1))
      n -= static_cast<ssize_t>(parts.front().iov_len);
    if (!parts.empty()) {
      parts.front().iov_base = static_cast<char*>(parts.front().iov_base) + n;
      parts.front().iov_len -= static_cast<size_t>(n);
    }
  }
  return true;
}

}  // namespace zuntar
