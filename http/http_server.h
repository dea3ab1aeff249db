#pragma once

#include <cstdint>
#include <string>

#include "platform/ip_addr.h"
#include "platform/thin_runner.h"

namespace upnp {

class Gateway;
struct InterfaceState;

// One accepted HTTP connection; owned by the Gateway's connection table.
struct HttpConnection {
  int socket = -1;
  IPAddr peerAddress;
  uint32_t peerPort = 0;                // host order
  InterfaceState* interface = nullptr;  // the internal interface that accepted it
  std::string buffer;                   // every byte received so far
  bus::Timer timer;                     // request timer; destroying the record cancels it
};

// Readable callback of an internal interface's listening socket.
void onHttpAccept(Gateway& gateway, int listenSocket);
// Readable callback of an accepted connection.
void onHttpReadable(Gateway& gateway, int socket);
// The request timer of a connection.
void onHttpTimeout(Gateway& gateway, int socket);
// Unregisters, forgets and closes a connection of the table; a socket that
// is not in the table is left alone.
void closeConnection(Gateway& gateway, int socket);

}  // namespace upnp
