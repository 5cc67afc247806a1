// An ordinary upload host for the benchmark: it reads each request as fast as
// the kernel hands it over, with the kernel's default acknowledgements (no
// quick ACK), and answers with a page of eight links, then closes. Most hosts
// on the Internet behave like this, so a client that leaves Nagle on meets
// here the delayed-ACK stall that it meets out there.
//
//   plain_sink [PORT [RATE]]   prints "plain_sink listening on 127.0.0.1:PORT";
//                              with no PORT, or 0, the system picks a free one;
//                              with RATE, each request is read at RATE bytes a
//                              second, as a slow uplink delivers it

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr std::string_view kPage =
    "<html><body>\r\n"
    "<p>Please use clickable thumbnail</p>\r\n"
    "<input value=\"&lt;a href=&quot;http://sink.test/v/1&quot;&gt;&lt;img "
    "src=&quot;http://sink.test/t/1.png&quot;&gt;&lt;/a&gt;\" /> Thumbnail for Websites\r\n"
    "<input value=\"[URL=http://sink.test/v/1][IMG]http://sink.test/t/1.png[/IMG][/URL]\" /> Thumbnail for forums "
    "(1)\r\n"
    "<input value=\"[url=http://sink.test/v/1][img]http://sink.test/t/1.png[/img][/url]\" /> Thumbnail for forums "
    "(2)\r\n"
    "<p>Include details</p>\r\n"
    "<input style=\"width: 500px\" size=\"70\" "
    "value=\"[URL=http://sink.test][IMG]http://sink.test/i/1.png[/IMG][/URL]\"/>\r\n"
    "<input style=\"width: 500px\" size=\"70\" "
    "value=\"[url=http://sink.test][img]http://sink.test/i/1.png[/img][/url]\"/>\r\n"
    "<input value=\"&lt;a href=&quot;http://sink.test&quot;&gt;&lt;img "
    "src=&quot;http://sink.test/i/1.png&quot;&gt;&lt;/a&gt;\"/>\r\n"
    "<a href=\"http://sink.test/v/1\"><b>Show</b></a>\r\n"
    "<input style=\"width: 500px\" size=\"70\" value=\"http://sink.test/i/1.png\"/>\r\n"
    "</body></html>\r\n";

bool SendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Content-Length of a header block, letter case of the name ignored; 0 if none.
long long ContentLength(std::string_view head)
{
    std::string lower(head);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find("\ncontent-length:");
    return at == std::string::npos ? 0 : std::atoll(lower.c_str() + at + 16);
}

// Bytes a second at which requests are read; 0: as fast as they come.
long long readRate = 0;

void Serve(int fd)
{
    std::string head;
    char buffer[64 * 1024];
    long long bodyLeft = -1;
    const auto start = std::chrono::steady_clock::now();
    long long taken = 0;
    for (;;) {
        // Paced: a twentieth of a second's worth at a time, never ahead of the rate.
        const std::size_t room = readRate > 0 ? std::size_t(std::max(1LL, readRate / 20)) : sizeof buffer;
        const ssize_t got = ::recv(fd, buffer, std::min(room, sizeof buffer), 0);
        if (got <= 0)
            break;
        if (readRate > 0) {
            taken += got;
            std::this_thread::sleep_until(start + std::chrono::microseconds(taken * 1000000 / readRate));
        }
        if (bodyLeft < 0) {
            head.append(buffer, static_cast<std::size_t>(got));
            const std::size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            if (head.find("100-continue") != std::string::npos && head.find("100-continue") < end)
                SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
            bodyLeft = ContentLength(std::string_view(head).substr(0, end + 2))
                - static_cast<long long>(head.size() - end - 4);
        } else {
            bodyLeft -= got;
        }
        if (bodyLeft <= 0) {
            const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
                + std::to_string(kPage.size()) + "\r\nConnection: close\r\n\r\n" + std::string(kPage);
            SendAll(fd, answer);
            ::shutdown(fd, SHUT_WR);
            // Drain until the client closes, so that our close sends no reset.
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) { }
            break;
        }
    }
    ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    readRate = argc > 2 ? std::atoll(argv[2]) : 0;
    if (readRate > 0) {
        // A small window, inherited by each connection: the sender cannot park the request here.
        const int window = 32 * 1024;
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0));
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener, 64) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("plain_sink");
        return 1;
    }
    std::printf("plain_sink listening on 127.0.0.1:%u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread(Serve, fd).detach();
    }
}
