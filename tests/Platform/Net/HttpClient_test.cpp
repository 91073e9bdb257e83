#include "Platform/Net/HttpClient.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "Platform/Net/NetworkError.hpp"
#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using namespace platform::net;

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hub.addFile("models/org/model", "blob.bin", content);
    hub.control({{"redirect", {"blob.bin"}}});
  }
  HttpRequest request(std::string method = "GET") const {
    HttpRequest made;
    made.method = std::move(method);
    made.url = hub.endpoint() + "/org/model/resolve/main/blob.bin";
    made.timeoutSeconds = 10;
    return made;
  }

  hubtest::HubEmulator hub;
  const std::string content = hubtest::patternBytes(200000, 4);
};

TEST_F(HttpClientTest, RedirectsAreFollowedOnlyWhenAsked) {
  auto head = request("HEAD");
  head.followRedirects = false;
  const auto redirect = HttpClient::send(head);
  EXPECT_EQ(redirect.statusCode, 302);
  ASSERT_TRUE(redirect.header("location"));
  EXPECT_NE(redirect.header("LOCATION")->find(hub.contentHost()), std::string::npos);
  EXPECT_TRUE(redirect.body.empty());

  const auto followed = HttpClient::send(request());
  EXPECT_EQ(followed.statusCode, 200);
  EXPECT_NE(followed.url.find(hub.contentHost()), std::string::npos);
  EXPECT_EQ(followed.body, content);
  EXPECT_FALSE(followed.header("X-Linked-Etag")) << "headers of the final answer only";
}

TEST_F(HttpClientTest, RangeRequestStreamsTheTail) {
  auto ranged = request();
  setHeader(ranged.headers, "Range", "bytes=1000-");
  std::string received;
  int heads = 0;
  StreamHandlers handlers;
  handlers.onResponse = [&](const HttpResponse& response) {
    ++heads;
    EXPECT_EQ(response.statusCode, 206);
    EXPECT_TRUE(received.empty()) << "the head comes before any byte";
    return true;
  };
  handlers.onData = [&](std::string_view piece) {
    EXPECT_LE(piece.size(), 16384u);
    received.append(piece);
  };
  const auto response = HttpClient::stream(ranged, handlers);
  EXPECT_EQ(heads, 1);
  EXPECT_EQ(received, content.substr(1000));
  EXPECT_TRUE(response.body.empty()) << "streamed bytes are not kept";
}

TEST_F(HttpClientTest, ReceiverCanRefuseOrFailTheBody) {
  StreamHandlers refuse;
  refuse.onResponse = [](const HttpResponse&) { return false; };
  refuse.onData = [](std::string_view) { FAIL() << "no body after a refusal"; };
  EXPECT_EQ(HttpClient::stream(request(), refuse).statusCode, 200);

  StreamHandlers failing;
  failing.onResponse = [](const HttpResponse&) { return true; };
  failing.onData = [](std::string_view) { throw std::logic_error("disk full"); };
  EXPECT_THROW(HttpClient::stream(request(), failing), std::logic_error);
}

TEST_F(HttpClientTest, TransportFailuresAreNetworkErrors) {
  hub.control({{"redirect", nlohmann::json::array()},
               {"faults",
                {{{"file", "blob.bin"}, {"kind", "stall"}, {"after", 10}, {"seconds", 8}},
                 {{"file", "blob.bin"}, {"kind", "drop"}, {"after", 100}}}}});
  auto stalled = request();
  stalled.timeoutSeconds = 1;
  try {
    HttpClient::send(stalled);
    ADD_FAILURE() << "stall not noticed";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.code(), NetworkError::Code::timedOut) << error.what();
  }
  hub.control({{"faults", {{{"file", "blob.bin"}, {"kind", "drop"}, {"after", 100}}}}});
  try {
    HttpClient::send(request());
    ADD_FAILURE() << "cut not noticed";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.code(), NetworkError::Code::connectionLost) << error.what();
  }
  auto refused = request();
  refused.url = "http://127.0.0.1:1/";
  try {
    HttpClient::send(refused);
    ADD_FAILURE() << "no server there";
  } catch (const NetworkError& error) {
    EXPECT_EQ(error.code(), NetworkError::Code::cannotConnect) << error.what();
  }
}

TEST_F(HttpClientTest, CancellationStopsAStalledTransfer) {
  hub.control(
      {{"redirect", nlohmann::json::array()},
       {"faults", {{{"file", "blob.bin"}, {"kind", "stall"}, {"after", 10}, {"seconds", 20}}}}});
  std::atomic<bool> cancelled{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancelled = true;
  });
  auto slow = request();
  slow.timeoutSeconds = 30;
  const auto started = std::chrono::steady_clock::now();
  try {
    HttpClient::send(slow, &cancelled);
    ADD_FAILURE() << "not cancelled";
  } catch (const NetworkError& error) {
    EXPECT_TRUE(error.isCancelled());
  }
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(URLTest, AddressesAreTakenApartAndResolved) {
  const auto parts = parseAbsoluteURL("http://127.0.0.1:8080/a/b.json?x=1");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->host, "127.0.0.1");
  EXPECT_EQ(parts->port, "8080");
  EXPECT_EQ(parts->path, "/a/b.json");
  EXPECT_EQ(parts->query, "x=1");
  EXPECT_FALSE(parseAbsoluteURL("/relative/path"));
  EXPECT_FALSE(parseAbsoluteURL("no address"));
  EXPECT_EQ(resolveReference("http://h:1/a/b?q", "/c/d?e=2"), "http://h:1/c/d?e=2");
  EXPECT_EQ(escapePathComponent("a b/c~"), "a%20b%2Fc~");
}

}  // namespace
