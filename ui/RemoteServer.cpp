#include "ui/RemoteServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>

namespace {

// Answers still unsent beyond which a client's further lines wait: one that sends queries and
// never reads its answers holds itself back, not the program's memory.
constexpr qint64 WriteBacklogBytes = 1024 * 1024;

const char* const TooManyClients = "-300,\"Device-specific error; at most 8 clients at once\"\n";

std::string PortText(std::uint16_t Port) {
  return std::to_string(Port);
}

}  // namespace

TRemoteServer::TRemoteServer(TLaser& Laser, std::function<TRemoteState()> State, QObject* Parent)
    : QObject(Parent), FLink(Laser, std::move(State)) {}

TRemoteServer::~TRemoteServer() {
  // The sessions go before the sockets they write to.
  for (auto& client : FClients) client->Session.reset();
}

void TRemoteServer::ReadSettings(const TIniFile& File, std::optional<std::uint16_t> RunPort) {
  FRead = ReadRemoteSettings(File);
  FSettings = FRead;
  FRunPort = RunPort;
  if (FRunPort) {
    Listen(*FRunPort);
  } else if (FSettings.Enabled) {
    Listen(FSettings.Port);
  }
}

bool TRemoteServer::StoreSettings(TIniFile& File) const {
  return StoreRemoteSettings(File, FSettings, FRead);
}

void TRemoteServer::Apply(const TRemoteSettings& Settings) {
  const bool wasOn = FRunPort || FSettings.Enabled;
  const std::uint16_t wasPort = FRunPort.value_or(FSettings.Port);
  FSettings = Settings;
  if (FSettings.Enabled != wasOn || (FSettings.Enabled && FSettings.Port != wasPort)) {
    // The operator's word from now on, also over the command line's port.
    FRunPort.reset();
    StopListening();
    if (FSettings.Enabled) Listen(FSettings.Port);
  } else if (FSettings.Enabled && !Listening()) {
    Listen(FSettings.Port);  // OK again after a port in use: a second try
  }
  for (auto& client : FClients) client->Session->SetAllowControl(FSettings.AllowControl);
  Changed();
}

void TRemoteServer::Close() {
  FRunPort.reset();
  StopListening();
}

void TRemoteServer::Subscribe(TLaserEvents& Events) {
  const auto ended = [this](bool answered) {
    // A session may end a client's wait here; none is destroyed while the list is walked.
    for (auto& client : FClients) client->Session->PhaseEnded(answered);
  };
  FSubscriptions += Events.Reseted.Subscribe([ended] { ended(true); });
  FSubscriptions += Events.ClearedError.Subscribe([ended] { ended(false); });
}

void TRemoteServer::SetMaxCurrent(double Amperes) {
  FMaxCurrent = Amperes;
}

TRemoteOptions TRemoteServer::Options() const {
  TRemoteOptions options;
  options.AllowControl = FSettings.AllowControl;
  options.MaxCurrent = FMaxCurrent;
  return options;
}

bool TRemoteServer::Listening() const {
  return FPort != 0;
}

QString TRemoteServer::StatusText() const {
  if (Listening()) return QStringLiteral("Remote: %1").arg(ClientCount());
  if (!FProblem.isEmpty()) return QStringLiteral("Remote off: ") + FProblem;
  return {};
}

QString TRemoteServer::StateText() const {
  if (Listening()) {
    return QStringLiteral("Listening on port %1 of this computer: %2 client%3 connected")
        .arg(FPort)
        .arg(ClientCount())
        .arg(ClientCount() == 1 ? "" : "s");
  }
  if (!FProblem.isEmpty()) return QStringLiteral("Not listening: ") + FProblem;
  return QStringLiteral("Off");
}

void TRemoteServer::Listen(std::uint16_t Port) {
  StopListening();
  FProblem.clear();
  const auto open = [this, Port](const QHostAddress& address) {
    auto* server = new QTcpServer(this);
    if (!server->listen(address, Port)) return std::make_pair(server, false);
    connect(server, &QTcpServer::newConnection, this, [this, server] { Accept(server); });
    return std::make_pair(server, true);
  };
  auto [v4, v4Ok] = open(QHostAddress(QHostAddress::LocalHost));
  auto [v6, v6Ok] = open(QHostAddress(QHostAddress::LocalHostIPv6));
  // A machine without IPv6 has no ::1: 127.0.0.1 alone is then enough. A port that another
  // program holds on either address is not: a client asking for "localhost" could reach it.
  const bool taken = v4->serverError() == QAbstractSocket::AddressInUseError ||
                     v6->serverError() == QAbstractSocket::AddressInUseError;
  if (taken || (!v4Ok && !v6Ok)) {
    FProblem = taken ? QStringLiteral("port %1 in use").arg(Port)
                     : QStringLiteral("port %1: %2").arg(Port).arg(v4->errorString());
    delete v4;
    delete v6;
    Log("Remote control --> not started, " + FProblem.toStdString());
    Changed();
    return;
  }
  FServer4 = v4Ok ? v4 : nullptr;
  FServer6 = v6Ok ? v6 : nullptr;
  if (!v4Ok) delete v4;
  if (!v6Ok) delete v6;
  FPort = Port;
  std::string where = FServer4 && FServer6 ? "127.0.0.1 and ::1" : FServer4 ? "127.0.0.1" : "::1";
  Log("Remote control on " + where + ", port " + PortText(Port) +
      (FSettings.AllowControl ? ", control allowed" : ", read-only"));
  Changed();
}

void TRemoteServer::StopListening() {
  const bool was = Listening() || !FProblem.isEmpty();
  delete FServer4;
  delete FServer6;
  FServer4 = FServer6 = nullptr;
  FProblem.clear();
  // Clients of the server that stopped go with it.
  std::vector<QTcpSocket*> sockets;
  for (auto& client : FClients) sockets.push_back(client->Socket);
  for (QTcpSocket* socket : sockets) {
    socket->abort();
    Drop(socket);
  }
  if (FPort != 0) Log("Remote control stopped");
  FPort = 0;
  if (was) Changed();
}

void TRemoteServer::Accept(QTcpServer* Server) {
  while (QTcpSocket* socket = Server->nextPendingConnection()) {
    socket->setParent(this);  // not the listener's: a client outlives a listener's restart
    const quint16 peer = socket->peerPort();
    if (ClientCount() >= MaxClients) {
      socket->write(TooManyClients);
      connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
      socket->disconnectFromHost();
      Log("Remote client :" + PortText(peer) + " refused: " + std::to_string(MaxClients) +
          " clients at once");
      continue;
    }
    auto client = std::make_unique<TClient>();
    client->Socket = socket;
    client->PeerPort = peer;
    socket->setReadBufferSize(ReadAheadBytes);
    // Answers go out as soon as they are written: with Nagle's algorithm an answer written while
    // the previous one is unacknowledged waits for the client's delayed ACK, up to 40 ms.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QPointer<QTcpSocket> guard(socket);
    client->Session =
        std::make_unique<TRemoteSession>(FLink, Options(), [guard](std::string_view bytes) {
          if (guard && guard->state() == QAbstractSocket::ConnectedState) {
            guard->write(bytes.data(), static_cast<qint64>(bytes.size()));
            guard->flush();  // now, not on the event loop's next turn
          }
        });
    // Both come from inside the session's own calls: the work is done from the event loop.
    client->Session->OnAccepting = [this, guard] {
      QMetaObject::invokeMethod(
          this,
          [this, guard] {
            if (guard) Pump(guard);
          },
          Qt::QueuedConnection);
    };
    client->Session->OnIdle = [this, guard] {
      if (!guard || guard->state() != QAbstractSocket::UnconnectedState) return;
      QMetaObject::invokeMethod(
          this,
          [this, guard] {
            if (guard) Pump(guard);
          },
          Qt::QueuedConnection);
    };
    client->Session->OnControl = [this, peer](const std::string& command,
                                              const std::optional<TScpiError>& failure) {
      Log("Remote :" + PortText(peer) + ": " + command +
          (failure ? " --> " + failure->Format() : std::string()));
    };
    connect(socket, &QIODevice::readyRead, this, [this, socket] { Pump(socket); });
    connect(socket, &QIODevice::bytesWritten, this, [this, socket] { Pump(socket); });
    // Queued: a socket may say it closed from inside a write, within its session's call.
    connect(
        socket, &QAbstractSocket::disconnected, this, [this, socket] { Pump(socket); },
        Qt::QueuedConnection);
    FClients.push_back(std::move(client));
    Log("Remote client :" + PortText(peer) + " connected");
    Changed();
    Pump(socket);  // what came with the connection
  }
}

TRemoteServer::TClient* TRemoteServer::Find(QTcpSocket* Socket) {
  const auto it = std::find_if(FClients.begin(), FClients.end(),
                               [Socket](const auto& c) { return c->Socket == Socket; });
  return it == FClients.end() ? nullptr : it->get();
}

void TRemoteServer::Pump(QTcpSocket* Socket) {
  TClient* client = Find(Socket);
  if (!client) return;
  TRemoteSession& session = *client->Session;
  // A client that has gone still has what it sent carried out, as a script that sends "OUTP OFF"
  // and closes at once expects; its answers go nowhere.
  const bool gone = Socket->state() == QAbstractSocket::UnconnectedState;
  while (session.Accepting() && (gone || Socket->bytesToWrite() < WriteBacklogBytes)) {
    const QByteArray chunk = Socket->read(ChunkBytes);
    if (chunk.isEmpty()) break;
    session.Receive(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())));
    if (!Find(Socket)) return;
  }
  if (gone && Socket->bytesAvailable() == 0 && session.Idle()) Drop(Socket);
}

void TRemoteServer::Drop(QTcpSocket* Socket) {
  const auto it = std::find_if(FClients.begin(), FClients.end(),
                               [Socket](const auto& c) { return c->Socket == Socket; });
  if (it == FClients.end()) return;
  const quint16 peer = (*it)->PeerPort;
  std::unique_ptr<TClient> client = std::move(*it);
  FClients.erase(it);
  client->Session.reset();  // commands under way still end in the laser; nobody hears of it
  Socket->disconnect(this);
  Socket->deleteLater();
  Log("Remote client :" + PortText(peer) + " closed");
  Changed();
}

void TRemoteServer::Changed() {
  if (OnChanged) OnChanged();
}

void TRemoteServer::Log(const std::string& Line) {
  if (OnLogLine) OnLogLine(Line);
}
