// A blocking socket descriptor as a Beast synchronous stream.
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

  template <class ConstBufferSequence>
  size_t write_some(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    ec = {};
    iovec iov[16];
    int count = 0;
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers) && count < 16; ++it) {
      const boost::asio::const_buffer b = *it;
      iov[count++] = iovec{const_cast<void*>(b.data()), b.size()};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
      const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      ec = boost::system::error_code(errno, boost::system::generic_category());
      return 0;
    }
  }

  template <class ConstBufferSequence>
  size_t write_some(const ConstBufferSequence& buffers) {
    boost::system::error_code ec;
    const size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  int fd_;
};

}  // namespace zuntar
