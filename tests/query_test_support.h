// What the query tests share: the request head handed to every export, and
// the service failures that every query passes on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http_server.h"

namespace kiv::test {

// "kiv sdk -- 调用参数出错"
inline constexpr char kParamErrorText[] =
    "kiv sdk -- \xB5\xF7\xD3\xC3\xB2\xCE\xCA\xFD\xB3\xF6\xB4\xED";

struct Head {
  const char* host = "127.0.0.1";
  const char* url = "query";
  uint32_t port = 0;
  const char* protocol = "http";
  const char* request = "request-text";
  int32_t size = 12;
};

// The head with its `index`-th pointer (host, url, protocol, request) null.
inline Head without(Head head, int index) {
  const char** pointers[] = {&head.host, &head.url, &head.protocol, &head.request};
  *pointers[index] = nullptr;
  return head;
}
inline constexpr int kHeadPointers = 4;

// A port on which nothing listens: that of a server that has just stopped.
inline uint16_t closed_port() {
  auto server = std::make_unique<LoopbackHttpServer>();
  const uint16_t port = server->port();
  server.reset();
  return port;
}

// A JSON object text padded with blanks to exactly `size` bytes.
inline std::string padded(std::string json, size_t size) {
  json.insert(json.size() - 1, size - json.size(), ' ');
  return json;
}

// A reply with this status and body as they are.
inline Reply plain_reply(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

struct TransportFailure {
  std::string what;
  Reply reply;          // ignored when `closed` is set
  bool closed = false;  // nothing listens on the port
  int32_t transport_code;
};

// Failures of the exchange itself, with the transport's codes. `answer_size`
// is the export's answer capacity: one byte more does not fit.
inline std::vector<TransportFailure> transport_failures(size_t answer_size) {
  return {
      {"status 404", json_reply(R"({"err":1})", 404), false, 113},
      {"body that is not a zlib stream", plain_reply(200, "plain text"), false, 102},
      {"answer one byte longer than the buffer",
       json_reply(padded(R"({"err":1})", answer_size + 1)), false, 102},
      {"nothing listening", Reply{}, true, 114},
  };
}

}  // namespace kiv::test
