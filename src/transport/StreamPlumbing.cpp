// Plumbing shared by the TCP and TLS transports.
#include "transport/StreamPlumbing.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "transport/AsioError.hpp"
#include "transport/KeepAlive.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;
using tcp = asio::ip::tcp;

bool ends_direction(const asio::error_code& error)
{
    return error && error != asio::error::operation_aborted && error != asio::error::bad_descriptor;
}

std::vector<asio::const_buffer> pieces_after(const std::vector<asio::const_buffer>& pieces, std::size_t done)
{
    std::vector<asio::const_buffer> rest;
    rest.reserve(pieces.size());
    for (const asio::const_buffer& piece : pieces) {
        if (done >= piece.size()) {
            done -= piece.size();
            continue;
        }
        rest.push_back(piece + done);
        done = 0;
    }
    return rest;
}

korvane_buf_len_t transfer_result(const asio::error_code& error, std::size_t transferred, Status& status)
{
    status = Status();
    if (!error) {
        return static_cast<korvane_buf_len_t>(transferred);
    }
    if (error == asio::error::eof) {
        return 0;
    }
    status = status_from(error);
    return -1;
}

Status listen_on(asio::io_service& service, Transport::port_t port, const std::string& address,
                 tcp::endpoint& endpoint, tcp::acceptor& acceptor)
{
    asio::error_code error;
    const asio::ip::address ip =
        address == "*" ? asio::ip::address(asio::ip::address_v6::any()) : asio::ip::make_address(address, error);
    if (error) {
        return status_from(error);
    }
    endpoint = tcp::endpoint(ip, port);
    tcp::acceptor fresh(service);
    if (fresh.open(endpoint.protocol(), error)) {
        return status_from("open", error);
    }
    if (fresh.set_option(asio::socket_base::reuse_address(true), error)) {
        return status_from("set_option", error);
    }
    if (fresh.bind(endpoint, error)) {
        return status_from("bind", error);
    }
    if (fresh.listen(LISTEN_BACKLOG, error)) {
        return status_from("listen", error);
    }
    close_listener(acceptor);
    acceptor = std::move(fresh);
    if (acceptor.set_option(asio::socket_base::reuse_address(true), error)) {
        return status_from("set_option", error);
    }
    return Status();
}

void close_listener(tcp::acceptor& acceptor)
{
    if (!acceptor.is_open()) {
        return;
    }
    asio::error_code ignored;
    acceptor.cancel(ignored);
    ::shutdown(acceptor.native_handle(), SHUT_RDWR);
    acceptor.close(ignored);
}

Status connect_blocking(asio::io_service& service, tcp::socket& socket, const std::string& address,
                        Transport::port_t port)
{
    asio::error_code error;
    tcp::resolver resolver(service);
    const auto endpoints = resolver.resolve(address, std::to_string(port), RESOLVE_FLAGS, error);
    if (error) {
        return status_from("resolve", error);
    }
    asio::connect(socket, endpoints, error);
    return error ? status_from("connect", error) : Status();
}

asio::error_code tune_client_socket(tcp::socket& socket, const KeepAliveTiming& timing)
{
    asio::error_code error;
    socket.set_option(asio::socket_base::keep_alive(true), error);
    socket.set_option(tcp::no_delay(true), error);
    apply_keep_alive(socket.native_handle(), timing.idleSec, timing.probeCount, timing.probeInterval);
    socket.set_option(asio::socket_base::send_buffer_size(SOCKET_BUFFER_SIZE), error);
    if (!error) {
        socket.set_option(asio::socket_base::receive_buffer_size(SOCKET_BUFFER_SIZE), error);
    }
    return error;
}

// Small replies from a server must not wait for the peer's delayed ACK
// behind Nagle's algorithm, so the accepted side sets TCP_NODELAY too.
asio::error_code tune_accepted_socket(tcp::socket& socket, const KeepAliveTiming& timing)
{
    asio::error_code error;
    if (socket.set_option(asio::socket_base::keep_alive(true), error)) {
        return error;
    }
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    apply_keep_alive(socket.native_handle(), timing.idleSec, timing.probeCount, timing.probeInterval);
    return asio::error_code();
}

bool exhausts_resources(const asio::error_code& error)
{
    const int value = error.value();
    return error.category() == asio::system_category() &&
           (value == EMFILE || value == ENFILE || value == ENOBUFS || value == ENOMEM);
}

std::chrono::milliseconds grow_backoff(std::chrono::milliseconds& delay)
{
    using std::chrono::milliseconds;
    delay = delay.count() <= 0 ? milliseconds(10) : std::min(delay * 2, milliseconds(1000));
    return delay;
}

asio::error_code accept_blocking(tcp::acceptor& acceptor, tcp::socket& socket)
{
    std::chrono::milliseconds delay{0};
    for (;;) {
        asio::error_code error;
        acceptor.accept(socket, error);
        if (!exhausts_resources(error)) {
            return error;
        }
        std::this_thread::sleep_for(grow_backoff(delay));
    }
}

} // namespace detail
} // namespace korvane
