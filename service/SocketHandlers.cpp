// The five socket event handlers shared by both listeners, and the send-overflow guard.
#include "common/StrUtils.h"
#include "protocol/WireFormat.h"
#include "service/UTavoServerMain.h"

namespace tavo {

void TTAVO_WindowsServer::OnListen(TServerSocket& listener) {
  try {
    notices_.Notice("Listen Socket: " + HostName());
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg("Error in " + listener.Name() + "Listen: " + e.what(), ltError);
  }
}

void TTAVO_WindowsServer::OnClientConnect(TServerSocket& listener, const TClientSocketPtr& socket) {
  if (!MayServeInput()) {
    socket->Close();
    return;
  }
  try {
    notices_.Notice("Socket connected: " + HostName());
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg("Error in " + listener.Name() + "ClientConnect: " + e.what(), ltError);
  }
}

void TTAVO_WindowsServer::OnClientDisconnect(TServerSocket& listener,
                                             const TClientSocketPtr& socket) {
  try {
    socket->Data.reset();
  } catch (const std::exception& e) {
    logging_.IncErrorCount();
    logging_.Logg("Error in " + listener.Name() + "ClientDisconnect: " + e.what(), ltError);
  }
}

void TTAVO_WindowsServer::OnClientRead(TServerSocket& listener, const TClientSocketPtr& socket,
                                       const std::string& chunk) {
  if (!MayServeInput()) {
    socket->Close();
    return;
  }
  try {
    auto* tcp = dynamic_cast<TTcpConnection*>(socket.get());
    if (!tcp) return;
    TMessageAssembler::TResult r = tcp->Incoming.Feed(chunk);
    if (r.Overflowed)
      logging_.Logg(listener.Name() + "ClientRead: a framed message passed " +
                        std::to_string(TMessageAssembler::kDefaultLimit) +
                        " bytes without its end marker; its bytes were discarded",
                    ltWarning);
    if (r.Message) interpreter_.DataRead(std::move(*r.Message), socket);
  } catch (const std::exception& e) {
    logging_.LogFailure(listener.Name() + "ClientRead", e);
  }
}

void TTAVO_WindowsServer::OnClientError(TServerSocket& listener, const TClientSocketPtr& socket,
                                        int& errorCode) {
  const std::string name = listener.Name();
  try {
    if (socket->Data) {
      try {
        for (auto& c : TAVOMainSocket.Connections()) {
          if (c != socket) continue;
          try {
            c->Close();
            logging_.Logg(name + ".ClientError: Disconnecting errorneous clientsocket!", ltInfo);
            break;
          } catch (const std::exception& e) {
            logging_.Logg("Error in " + name + "ClientError, " + name + ".FreeCustomSocket" +
                              e.what(),
                          ltError);
          }
        }
      } catch (const std::exception& e) {
        logging_.Logg("Error in " + name + "ClientError, " + name + ".FindCustomSocket" + e.what(),
                      ltError);
      }
    }
    errorCode = 0;
  } catch (const std::exception& e) {
    errorCode = 0;
    logging_.IncErrorCount();
    logging_.Logg("Error in " + name + "ClientError: " + e.what(), ltError, socket);
  }
}

void TTAVO_WindowsServer::OnSendOverflow(TServerSocket& listener, const TClientSocketPtr& socket,
                                         TSendOverflow why) {
  std::string who = socket->Data ? QuoteClientText(socket->Data->StationName)
                                 : std::string("(not signed on)");
  const std::string reason =
      why == TSendOverflow::Connection
          ? "more than " + std::to_string(TServerSocket::kMaxUnsentBytes / (1024 * 1024)) +
                " MB of replies were not read"
          : "all connections together held more than " +
                std::to_string(listener.SendBudget().Limit() / (1024 * 1024)) +
                " MB of unsent replies, and this one the most";
  logging_.Logg(listener.Name() + ": closing the connection of " + who + ": " + reason, ltWarning);
}

void TTAVO_WindowsServer::OnAcceptPaused(TServerSocket& listener, bool paused,
                                         const std::error_code& ec) {
  // Not counted: opening connections is all a client needs to cause it.
  if (paused)
    logging_.Logg(listener.Name() + ": cannot accept a connection (" + ec.message() +
                      "); accepting pauses, retried every " +
                      std::to_string(TServerSocket::kAcceptRetry.count()) + " ms",
                  ltWarning);
  else
    logging_.Logg(listener.Name() + ": accepting connections again", ltInfo);
}

}  // namespace tavo
