// IPv4 socket classes (UDP and TCP, client and server) and the pose listener
// that stores the last orientation quaternion received over UDP. Nothing in
// the viewer starts the listener or reads the quaternion; it is an optional
// input path. No class closes its socket on destruction.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

using SOCKET = int;

constexpr int socket_bind_err = 3;
constexpr int socket_accept_err = 4;
constexpr int connection_err = 5;
constexpr int message_send_err = 6;
constexpr int receive_err = 7;

class Socket {
 public:
  enum SocketType {
    TYPE_STREAM = SOCK_STREAM,
    TYPE_DGRAM = SOCK_DGRAM,
  };

 protected:
  explicit Socket(SocketType socket_type);
  ~Socket();
  void set_port(u_short port);
  int set_address(const std::string& ip_address);

  SOCKET m_socket = 0;
  sockaddr_in m_addr{};
};

class UDPClient : public Socket {
 public:
  UDPClient(u_short port, const std::string& ip_address);
  ssize_t send_message(const std::string& message);
};

class UDPServer : public Socket {
 public:
  UDPServer(u_short port, const std::string& ip_address);
  ~UDPServer();
  int socket_bind();
  [[noreturn]] void listen();
  [[noreturn]] void listenKinect();

  // One turn of the listening loops: receive one datagram, print it and, for
  // the pose listener, act on it. Returns false when the receive failed.
  bool receiveOne(bool pose);
  // The port the socket is bound to (differs from the requested one for 0).
  u_short boundPort() const;
};

class TCPClient : public Socket {
 public:
  TCPClient(u_short port, const std::string& ip_address);
  int make_connection();
  int send_message(const std::string& message);
};

class TCPServer : public Socket {
 public:
  TCPServer(u_short port, const std::string& ip_address);
  int socket_bind();
};

// The pieces of s between delimiters, read the way std::getline reads lines.
std::vector<std::string> split(const std::string& s, char delimiter);

// Acts on the text of one pose datagram: prints "path[1]: " and its kind and,
// for "quat", stores fields 2 to 5 into _in_x, _in_y, _in_z, _in_w.
void handlePoseMessage(const std::string& message);

extern const u_short static_udp_port;
// Defined in startup/process_objects.cpp, which fixes its place in the start-up.
extern UDPServer server;
extern float _in_x, _in_y, _in_z, _in_w;

// Binds server and turns the calling thread into the pose listener.
[[noreturn]] void listenKinect();
