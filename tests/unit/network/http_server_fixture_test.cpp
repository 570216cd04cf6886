// Smoke test of the test HTTP server fixture with a plain socket client; the network suites
// (url_fetcher_test, downloader_test) exercise its other features.
#include "fixtures/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

struct Response {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
};

// Sends one request with Connection: close and reads until the server closes.
Response rawRequest(unsigned port, const std::string& target) {
    Response response;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port;
        if (fd >= 0) close(fd);
        return response;
    }
    timeval timeout{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string data;
    char buffer[4096];
    for (ssize_t count; (count = recv(fd, buffer, sizeof buffer, 0)) > 0;) data.append(buffer, count);
    close(fd);
    size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return response;
    response.head = data.substr(0, end);
    response.body = data.substr(end + 4);
    response.status = std::atoi(response.head.substr(response.head.find(' ') + 1).c_str());
    return response;
}

TEST(HttpServerFixture, ServesFileRedirectsAndChallenges) {
    HttpTestServer server;
    server.addFile("repo/data.txt", "content\n");
    Response response = rawRequest(server.port(), "/repo/data.txt?a=1");
    EXPECT_EQ(200, response.status);
    EXPECT_EQ("content\n", response.body);
    std::vector<HttpRequest> requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/repo/data.txt", requests[0].path);
    EXPECT_EQ("a=1", requests[0].query);
    EXPECT_EQ(200, requests[0].status);
    EXPECT_EQ(404, rawRequest(server.port(), "/missing").status);

    ASSERT_TRUE(server.setRedirectChain("/start", 1, "/repo/data.txt", 307, RedirectPort::Same));
    response = rawRequest(server.port(), "/start");
    EXPECT_EQ(307, response.status);
    EXPECT_NE(std::string::npos, response.head.find("\r\nLocation: " + server.url("/repo/data.txt"))) << response.head;

    server.addFile("secure/file", "secret");
    ASSERT_TRUE(server.addDigestRealm("/secure/", "Updates Realm", {{"device", "pass"}}));
    response = rawRequest(server.port(), "/secure/file");
    EXPECT_EQ(401, response.status);
    EXPECT_NE(std::string::npos, response.head.find("WWW-Authenticate: Digest realm=\"Updates Realm\", nonce=\""))
        << response.head;
    EXPECT_EQ(std::string::npos, response.body.find("secret"));
}

}  // namespace
