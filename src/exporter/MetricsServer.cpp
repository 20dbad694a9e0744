#include "exporter/MetricsServer.h"

#include "core/FileDescriptor.h"
#include "core/Language.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fmt/format.h>
#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <stdexcept>
#include <sys/socket.h>

namespace tallowin {

namespace {

bool isIPv6(const std::string& host)
{
    in6_addr address;
    return ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// Why binding the address fails, asked of the kernel directly: the HTTP server only says that
// it could not listen.
int bindError(const ListenAddress& address)
{
    const bool v6 = isIPv6(address.host);
    FileDescriptor socket(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return errno;
    int result;
    if (v6) {
        sockaddr_in6 in6 {};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(address.port);
        ::inet_pton(AF_INET6, address.host.c_str(), &in6.sin6_addr);
        result = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
    } else {
        sockaddr_in in4 {};
        in4.sin_family = AF_INET;
        in4.sin_port = htons(address.port);
        ::inet_pton(AF_INET, address.host.c_str(), &in4.sin_addr);
        result = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&in4), sizeof in4);
    }
    return result == 0 ? 0 : errno;
}

}

std::string ListenAddress::text() const
{
    return isIPv6(host) ? fmt::format("[{}]:{}", host, port) : fmt::format("{}:{}", host, port);
}

Expected<ListenAddress, std::string> parseListenAddress(std::string_view text)
{
    auto invalid = [&] {
        return Unexpected(isEnglish()
                ? fmt::format("\"{}\" is not an address and port such as 127.0.0.1:{} or [::1]:{}", text,
                    defaultExporterPort, defaultExporterPort)
                : fmt::format("“{}”不是地址加端口（例如 127.0.0.1:{} 或 [::1]:{}）", text,
                    defaultExporterPort, defaultExporterPort));
    };
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size())
        return invalid();
    auto hostText = text.substr(0, colon);
    auto portText = text.substr(colon + 1);
    ListenAddress address;
    if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
        address.host = std::string(hostText.substr(1, hostText.size() - 2));
        if (!isIPv6(address.host))
            return invalid();
    } else {
        address.host = std::string(hostText);
        in_addr v4;
        if (::inet_pton(AF_INET, address.host.c_str(), &v4) != 1)
            return invalid();
    }
    unsigned port = 0;
    auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port > 65535)
        return invalid();
    address.port = static_cast<std::uint16_t>(port);
    return address;
}

std::string ListenFailure::description(Language language) const
{
    const bool english = language == Language::English;
    if (error == EADDRINUSE)
        return english
            ? fmt::format("{} is already in use; choose another port with --listen", address.text())
            : fmt::format("{} 已被占用；请用 --listen 选择其他端口", address.text());
    if (english)
        return fmt::format("cannot listen on {}: {}", address.text(),
            error ? std::strerror(error) : "the HTTP server refused");
    return fmt::format(
        "无法在 {} 上监听：{}", address.text(), error ? std::strerror(error) : "HTTP 服务器拒绝");
}

Expected<std::unique_ptr<MetricsServer>, ListenFailure> MetricsServer::start(
    const ListenAddress& address, std::shared_ptr<prometheus::Collectable> collectable)
{
    std::unique_ptr<prometheus::Exposer> exposer;
    try {
        // Two threads: a scrape is short, and a second one lets a slow client not block Prometheus.
        exposer = std::make_unique<prometheus::Exposer>(address.text(), 2);
    } catch (const std::exception&) {
        return Unexpected(ListenFailure { address, bindError(address) });
    }
    exposer->RegisterCollectable(collectable);
    auto ports = exposer->GetListeningPorts();
    auto port = ports.empty() ? address.port : static_cast<std::uint16_t>(ports.front());
    return std::unique_ptr<MetricsServer>(
        new MetricsServer(std::move(exposer), std::move(collectable), port));
}

MetricsServer::MetricsServer(std::unique_ptr<prometheus::Exposer> exposer,
    std::shared_ptr<prometheus::Collectable> collectable, std::uint16_t port)
    : m_exposer(std::move(exposer))
    , m_collectable(std::move(collectable))
    , m_port(port)
{ }

MetricsServer::~MetricsServer() = default;

}
