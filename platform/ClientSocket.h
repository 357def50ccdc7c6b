// One client connection as the rest of the server sees it: a user slot for the station's
// record, a queued send, and a close. The Asio connection implements it; tests fake it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/TAVOcommon.h"

namespace tavo {

// Reply bytes that never change once built: one rendering is handed to every connection that
// shows the same thing, and each keeps only a reference until it is written.
using TSharedReply = std::shared_ptr<const std::string>;

// What a queued reply is. A station list that has not begun on the wire is replaced by a newer
// one of the same kind for the same connection: a display wants the current state, not the
// history.
enum class TReplyKind : uint8_t { Other, CurrentList, RetCallList };

class TClientSocket {
 public:
  virtual ~TClientSocket() = default;

  // False once the peer or the server closed the connection.
  virtual bool Connected() const = 0;
  // Hands the bytes over in one piece; they are written in order. Never throws.
  virtual void SendShared(TSharedReply bytes, TReplyKind kind) = 0;
  // Closes the connection (its record is destroyed by the disconnect handler).
  virtual void Close() = 0;
  // "TAVOMainSocket" or "TAVOUpdateSocket": the listener that accepted it.
  virtual const std::string& ListenerName() const = 0;
  // The peer's address and port ("127.0.0.1:50412"), as it was when the connection came in.
  virtual const std::string& PeerAddress() const = 0;
  // The peer's address alone ("127.0.0.1", "::1"), for rules that match addresses.
  std::string PeerHost() const {
    const std::string& peer = PeerAddress();
    const size_t colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
  }

  // A reply of its own for this connection. Never throws.
  void SendText(const std::string& bytes) {
    if (!bytes.empty()) SendShared(std::make_shared<const std::string>(bytes), TReplyKind::Other);
  }

  // The user slot: the connection's record once it has signed on.
  std::unique_ptr<TTAVOConnectInfo> Data;
  // A refused administration command has been logged for this connection; later refusals
  // are dropped without an entry, so a client cannot flood the event log.
  bool AdminRefusalLogged = false;
};

using TClientSocketPtr = std::shared_ptr<TClientSocket>;

}  // namespace tavo
