#include "send.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>

#include "common/ipc/client.hpp"
#include "kolvaris/helper_client.h"

namespace helperctl {

namespace msg = common::ipc::message;

namespace {

bool parse_pid(const std::string& text, std::uint32_t& pid) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int run_send(const std::string& socket_path, int timeout_seconds, const std::string& command,
             std::vector<std::string> args) {
  // relaunch --no-wait returns once the helper has taken the request, before the wait.
  bool no_wait = false;
  if (command == "relaunch" && !args.empty() && args[0] == "--no-wait") {
    no_wait = true;
    args.erase(args.begin());
  }
  if ((command != "replace" && command != "relaunch") || args.size() != 2) {
    std::cerr << "helperctl: " << command << " takes two arguments (see helperctl --help)\n";
    return 2;
  }
  std::uint32_t pid = 0;
  if (command == "relaunch" && !parse_pid(args[0], pid)) {
    std::cerr << "helperctl: relaunch: PID must be a number from 0 to 4294967295, not \"" << args[0]
              << "\"\n";
    return 2;
  }
  const auto timeout_ms = static_cast<std::uint32_t>(
      std::min<long long>(static_cast<long long>(timeout_seconds) * 1000, UINT32_MAX));
  char* error = nullptr;
  kolvaris_helper_reason reason = KOLVARIS_HELPER_REASON_NONE;
  const char* socket = socket_path.c_str();
  const kolvaris_helper_status status =
      command == "replace"
          ? kolvaris_helper_replace_app_atomic_ex(socket, args[0].c_str(), args[1].c_str(),
                                                  timeout_ms, &reason, &error)
      : no_wait ? kolvaris_helper_relaunch_after_exit_of(socket, pid, args[1].c_str(), timeout_ms,
                                                         &reason, &error)
                : kolvaris_helper_wait_for_exit_and_launch_ex(socket, pid, args[1].c_str(),
                                                              timeout_ms, &reason, &error);
  const std::string text = error != nullptr ? error : "out of memory";
  kolvaris_helper_free_error(error);
  switch (status) {
    case KOLVARIS_HELPER_OK:
      std::cout << (no_wait ? "Accepted\n" : "Ok\n");
      return 0;
    case KOLVARIS_HELPER_REFUSED:
      std::cout << "Err " << kolvaris_helper_reason_code(reason) << ": " << text << "\n";
      return 1;
    case KOLVARIS_HELPER_COULD_NOT_CONNECT:
    case KOLVARIS_HELPER_TIMED_OUT:
    case KOLVARIS_HELPER_PROTOCOL_FAILURE:
      break;
  }
  std::cerr << "helperctl: " << text << "\n";
  return 2;
}

}  // namespace helperctl

namespace helperctl {

namespace {

bool from_hex(const std::string& hex, std::string& out) {
  if (hex.size() % 2) return false;
  out.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (ec != std::errc() || end != hex.data() + i + 2) return false;
    out.push_back(static_cast<char>(value));
  }
  return true;
}

}  // namespace

int run_frames(const std::string& socket_path, int timeout_seconds,
               const std::vector<std::string>& hex_payloads) {
  std::vector<std::string> payloads(hex_payloads.size());
  for (std::size_t i = 0; i < hex_payloads.size(); ++i) {
    if (!from_hex(hex_payloads[i], payloads[i])) {
      std::cerr << "helperctl: frames: \"" << hex_payloads[i] << "\" is not hexadecimal bytes\n";
      return 2;
    }
  }
  auto fd = common::ipc::client::connect_to_helper(socket_path);
  if (!fd) {
    std::cerr << "helperctl: cannot connect to " << socket_path << ": " << fd.error().text()
              << "\n";
    return 2;
  }
  for (const auto& payload : payloads) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    auto wrote = common::ipc::client::write_frame(fd->get(), payload, deadline);
    auto reply = wrote ? common::ipc::client::read_frame(fd->get(), deadline)
                       : common::Result<std::string>(common::fail(wrote.error()));
    if (!reply) {
      std::cout << "closed" << std::endl;
      return 2;
    }
    auto decoded = msg::decode_response(*reply);
    std::cout << (decoded && *decoded == msg::IPCResponseMessage::Ok ? "Ok" : "Err") << std::endl;
  }
  return 0;
}

}  // namespace helperctl
