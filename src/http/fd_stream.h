// A blocking socket descriptor as a Beast synchronous read stream, and the
// write that sends a whole reply.
//
// Asio's own sockets wait in poll() without a limit, which ignores the
// socket's SO_RCVTIMEO; a plain blocking recv() honours it, so the read
// time-out of a connection is the kernel's and costs nothing per request.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <span>

namespace zuntar {

class FdStream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}

  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    ec = {};
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::mutable_buffer b = *it;
      if (b.size() == 0) continue;
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
  int fd_;
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
