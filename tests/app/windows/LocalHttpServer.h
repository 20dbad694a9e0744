#pragma once

#include <asio.hpp>

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tallowin::testing {

// A real HTTP/1.1 server on 127.0.0.1 and an ephemeral port, for tests of code that talks to a
// web service: one connection per request, answered by a handler and closed. It runs on its own
// thread ("tallowin.test.http") until the server is destroyed, and records every request.
class LocalHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers; // names in lower case
        std::string body;
    };
    struct Response {
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers {};
        std::string body {};
        // Never answer and keep the connection open, as a service that hangs does.
        bool hang = false;
        // Announce another length than the body's, as a transfer cut short does.
        std::optional<std::size_t> contentLength {};
        // After sending, keep the connection open instead of closing it: a transfer that stalls.
        bool stall = false;
    };
    using Handler = std::function<Response(const Request&)>;

    explicit LocalHttpServer(Handler handler)
        : m_handler(std::move(handler))
        , m_acceptor(m_context, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0))
    {
        m_port = m_acceptor.local_endpoint().port();
        accept();
        m_thread = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "tallowin.test.http");
            m_context.run();
        });
    }
    ~LocalHttpServer()
    {
        asio::post(m_context, [this] {
            asio::error_code ignored;
            m_acceptor.close(ignored);
            m_context.stop();
        });
        m_thread.join();
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::vector<Request> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // An address on 127.0.0.1 where nothing listens (its port was free a moment ago).
    static std::string closedBaseUrl()
    {
        asio::io_context context;
        asio::ip::tcp::acceptor acceptor(context, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        return "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port());
    }

private:
    struct Session {
        asio::ip::tcp::socket socket;
        asio::streambuf buffer {};
        Request request {};
        std::string answer {};
    };

    void accept()
    {
        m_acceptor.async_accept([this](asio::error_code error, asio::ip::tcp::socket socket) {
            if (error)
                return;
            auto session = std::make_shared<Session>(std::move(socket));
            readHead(session);
            accept();
        });
    }

    void readHead(const std::shared_ptr<Session>& session)
    {
        asio::async_read_until(session->socket, session->buffer, "\r\n\r\n",
            [this, session](asio::error_code error, std::size_t headLength) {
                if (error)
                    return;
                std::string data(asio::buffers_begin(session->buffer.data()),
                    asio::buffers_begin(session->buffer.data()) + static_cast<std::ptrdiff_t>(headLength));
                session->buffer.consume(headLength);
                parseHead(data, session->request);
                std::size_t length = 0;
                if (auto found = session->request.headers.find("content-length"); found != session->request.headers.end())
                    length = std::stoul(found->second);
                std::size_t missing = length > session->buffer.size() ? length - session->buffer.size() : 0;
                asio::async_read(session->socket, session->buffer, asio::transfer_exactly(missing),
                    [this, session, length](asio::error_code bodyError, std::size_t) {
                        if (bodyError)
                            return;
                        std::string body(asio::buffers_begin(session->buffer.data()),
                            asio::buffers_begin(session->buffer.data()) + static_cast<std::ptrdiff_t>(length));
                        session->request.body = std::move(body);
                        answer(session);
                    });
            });
    }

    static void parseHead(const std::string& head, Request& request)
    {
        std::istringstream lines(head);
        std::string line;
        std::getline(lines, line);
        std::istringstream(line) >> request.method >> request.target;
        while (std::getline(lines, line)) {
            std::size_t colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            // The value without the blanks after the colon and the line's closing \r.
            std::size_t start = std::min(line.find_first_not_of(' ', colon + 1), line.size() - 1);
            request.headers[name] = line.substr(start, line.size() - 1 - start);
        }
    }

    void answer(const std::shared_ptr<Session>& session)
    {
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(session->request);
        }
        Response response = m_handler(session->request);
        if (response.hang) {
            m_hanging.push_back(session);
            return;
        }
        std::string& text = session->answer;
        text = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\n";
        for (const auto& [name, value] : response.headers)
            text += name + ": " + value + "\r\n";
        // 304 carries no body by definition.
        if (response.status != 304)
            text += "Content-Length: " + std::to_string(response.contentLength.value_or(response.body.size())) + "\r\n";
        text += "Connection: close\r\n\r\n";
        if (response.status != 304)
            text += response.body;
        asio::async_write(session->socket, asio::buffer(text), [this, session, stall = response.stall](asio::error_code, std::size_t) {
            if (stall) {
                m_hanging.push_back(session);
                return;
            }
            asio::error_code ignored;
            session->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            session->socket.close(ignored);
        });
    }

    Handler m_handler;
    asio::io_context m_context;
    asio::ip::tcp::acceptor m_acceptor;
    unsigned short m_port = 0;
    std::vector<std::shared_ptr<Session>> m_hanging; // server thread only
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
    std::thread m_thread;
};

}
