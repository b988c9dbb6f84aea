#include "net/pose_listener.h"

#include "viewer_settings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr size_t datagram_capacity = 512;
constexpr size_t tcp_message_capacity = 512;
constexpr size_t tcp_reply_capacity = 2000;
constexpr size_t address_text_capacity = 16;

std::string addressText(const sockaddr_in& addr) {
  char text[address_text_capacity] = "";
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

const u_short static_udp_port = pose_listener_port;
float _in_x = 1.0f, _in_y = 0.0f, _in_z = 0.0f, _in_w = 1.0f;

Socket::Socket(SocketType socket_type) {
  m_socket = socket(AF_INET, socket_type, 0);
  if (m_socket < 0) throw std::runtime_error("Could not create socket");
  m_addr.sin_family = AF_INET;
}

Socket::~Socket() {}

void Socket::set_port(u_short port) { m_addr.sin_port = htons(port); }

int Socket::set_address(const std::string& ip_address) {
  return inet_pton(AF_INET, ip_address.c_str(), &m_addr.sin_addr);
}

UDPClient::UDPClient(u_short port, const std::string& ip_address) : Socket(TYPE_DGRAM) {
  set_port(port);
  set_address(ip_address);
  std::cout << "UDP Client created." << std::endl;
}

ssize_t UDPClient::send_message(const std::string& message) {
  return sendto(m_socket, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&m_addr),
                sizeof m_addr);
}

UDPServer::UDPServer(u_short port, const std::string& ip_address) : Socket(TYPE_DGRAM) {
  set_port(port);
  set_address(ip_address);
  std::cout << "UDP Server created." << std::endl;
}

UDPServer::~UDPServer() {}

int UDPServer::socket_bind() {
  if (bind(m_socket, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr) != 0) {
    std::cout << "UDP Bind error." << std::endl;
    return socket_bind_err;
  }
  std::cout << "UDP Socket Bound." << std::endl;
  return 0;
}

u_short UDPServer::boundPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

bool UDPServer::receiveOne(bool pose) {
  char buf[datagram_capacity];
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n = recvfrom(m_socket, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0) {
    // There is no datagram to report or act on.
    std::cout << "Receive Data error." << std::endl;
    return false;
  }
  std::cout << "Received packet from " << addressText(from) << ":" << ntohs(from.sin_port) << std::endl;
  const std::string message(buf, static_cast<size_t>(n));
  std::cout << message << std::endl;
  if (pose) handlePoseMessage(message);
  return true;
}

void UDPServer::listen() {
  std::cout << "Waiting for data..." << std::endl;
  for (;;) receiveOne(false);
}

void UDPServer::listenKinect() {
  std::cout << "Waiting for data..." << std::endl;
  for (;;) receiveOne(true);
}

void handlePoseMessage(const std::string& message) {
  const std::vector<std::string> path = split(message, '/');
  if (path.size() < 2) {
    std::cout << "pose message rejected: no kind in field 1" << std::endl;
    return;
  }
  std::cout << "path[1]: " << path[1] << std::endl;
  if (path[1] != "quat") return;
  float* const targets[4] = {&_in_x, &_in_y, &_in_z, &_in_w};
  for (size_t k = 0; k < 4; ++k) {
    if (2 + k >= path.size()) {
      std::cout << "pose message rejected: quat field " << 2 + k << " missing" << std::endl;
      return;
    }
    const char* text = path[2 + k].c_str();
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text, &end);
    // The fields before a bad one keep their new values.
    if (end == text || errno == ERANGE || !std::isfinite(value)) {
      std::cout << "pose message rejected: quat field " << 2 + k << " is not a float" << std::endl;
      return;
    }
    *targets[k] = value;
  }
}

std::vector<std::string> split(const std::string& s, char delimiter) {
  std::vector<std::string> pieces;
  std::istringstream stream(s);
  std::string piece;
  while (std::getline(stream, piece, delimiter)) pieces.push_back(piece);
  return pieces;
}

void listenKinect() {
  server.socket_bind();
  server.listenKinect();
}

TCPClient::TCPClient(u_short port, const std::string& ip_address) : Socket(TYPE_STREAM) {
  set_port(port);
  set_address(ip_address);
  std::cout << "TCP client created." << std::endl;
}

int TCPClient::make_connection() {
  std::cout << "Connecting" << std::endl;
  if (connect(m_socket, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr) < 0) {
    std::cout << "Connection error" << std::endl;
    return connection_err;
  }
  std::cout << "connected" << std::endl;
  return 0;
}

int TCPClient::send_message(const std::string& message) {
  if (send(m_socket, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
    std::cout << "Send failed" << std::endl;
    return message_send_err;
  }
  std::cout << "Data sent" << std::endl;
  char reply[tcp_reply_capacity];
  ssize_t n = recv(m_socket, reply, sizeof reply, 0);
  if (n < 0) {
    std::cout << "Receive Failed" << std::endl;
    return receive_err;
  }
  std::cout << std::string(reply, static_cast<size_t>(n)) << std::endl;
  return 0;
}

TCPServer::TCPServer(u_short port, const std::string& ip_address) : Socket(TYPE_STREAM) {
  set_port(port);
  set_address(ip_address);
  std::cout << "TCP Server created." << std::endl;
}

int TCPServer::socket_bind() {
  if (bind(m_socket, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr) != 0) {
    std::cout << "TCP Socket Bind error." << std::endl;
    return socket_bind_err;
  }
  std::cout << "TCP Socket Bound." << std::endl;
  ::listen(m_socket, 3);
  std::cout << "TCP Socket waiting for incoming connections..." << std::endl;
  sockaddr_in client{};
  socklen_t client_len = sizeof client;
  int connection = accept(m_socket, reinterpret_cast<sockaddr*>(&client), &client_len);
  if (connection < 0) {
    std::cout << "TCP Socket accept error" << std::endl;
    return socket_accept_err;
  }
  std::cout << "Connection accepted from IP address " << addressText(client) << " on port "
            << ntohs(client.sin_port) << std::endl;
  char message[tcp_message_capacity];
  ssize_t n = recv(connection, message, sizeof message, 0);
  std::cout << "Incoming message is:\n";
  std::cout << std::string(message, n > 0 ? static_cast<size_t>(n) : 0) << "\n";
  std::cout << "Message length was: " << n << std::endl;
  static const char reply[] = "Your message has been received client\n";
  send(connection, reply, sizeof reply - 1, MSG_NOSIGNAL);
  // The accepted connection is done with once the reply is out.
  close(connection);
  close(m_socket);
  return 0;
}
