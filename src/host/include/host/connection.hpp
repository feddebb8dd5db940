#pragma once

#include "host/readers.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <unordered_map>

namespace kelvarin {

// One accepted client: the writer's side of its socket and the handle of its
// reader task, which owns the reading side.
class Connection {
 public:
  Connection(std::shared_ptr<asio::ip::tcp::socket> socket, ReaderTask reader)
      : socket_(std::move(socket)), reader_(std::move(reader)) {}
  // Aborts the reader, shuts the sending direction and closes the socket.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] asio::ip::tcp::socket& writer() { return *socket_; }

  // Set once a reply was abandoned part-way: the client's stream is corrupt
  // and nothing more may be written to it.
  bool broken = false;

 private:
  std::shared_ptr<asio::ip::tcp::socket> socket_;
  ReaderTask reader_;
};

using Connections = std::unordered_map<ConnectionId, Connection>;

}  // namespace kelvarin
