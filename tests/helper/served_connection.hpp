#pragma once
// A connection served by the real connection handler on its own thread; the test plays the client
// over a blocking socket.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "common/ipc/client.hpp"
#include "common/util/unique_fd.hpp"
#include "main/connection.hpp"

namespace test_support {

class ServedConnection {
 public:
  explicit ServedConnection(main_service::ConnectionServices services)
      : services_(std::move(services)) {
    asio::local::stream_protocol::socket helper(io_), client(io_);
    asio::local::connect_pair(helper, client);
    client_.reset(client.release());
    asio::co_spawn(io_, main_service::serve_connection(services_, std::move(helper)),
                   [](std::exception_ptr e) {
                     if (e) std::rethrow_exception(e);
                   });
    thread_ = std::thread([this] { io_.run(); });
  }
  ~ServedConnection() { finish(); }
  void finish() {
    client_.reset();
    if (thread_.joinable()) thread_.join();
  }
  int client() const { return client_.get(); }
  void send(std::string_view payload) {
    ASSERT_TRUE(common::ipc::client::write_frame(client(), payload, deadline()));
  }
  common::Result<std::string> reply() {
    return common::ipc::client::read_frame(client(), deadline());
  }
  // Waits until the helper has closed its end (a reset when it left our frames unread).
  bool closed_by_helper() {
    auto r = reply();
    return !r && (r.error().kind() == common::ErrorKind::UnexpectedEof ||
                  r.error().os_code() == ECONNRESET);
  }
  static common::ipc::client::Deadline deadline() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(10);
  }

 private:
  main_service::ConnectionServices services_;
  asio::io_context io_;
  common::util::UniqueFd client_;
  std::thread thread_;
};

}  // namespace test_support
