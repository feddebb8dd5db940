#include "host/connection.hpp"

namespace kelvarin {

Connection::~Connection() {
  reader_.abort();
  boost::system::error_code ignored;
  socket_->shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  socket_->close(ignored);
}

}  // namespace kelvarin
