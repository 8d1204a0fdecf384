// Remote control over TCP: scripts and instrument tools talk to the laser through the running
// window, one session (logic/remote/Session.h) per client.
//
// Runs on the UI thread. Every command goes into TLaser's queue there anyway, a session's work
// per line is a parse and a queue push, and the sockets are event-driven, so a thread of its own
// would only add hand-overs between it and the laser's events. The server listens on the loopback
// addresses alone (127.0.0.1 and ::1): a script on this computer, never one on the network.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logic/LaserEvents.h"
#include "logic/remote/LaserLink.h"
#include "logic/remote/RemoteSettings.h"
#include "logic/remote/Session.h"

class QTcpServer;
class QTcpSocket;
class TIniFile;

class TRemoteServer : public QObject {
  Q_OBJECT

 public:
  static constexpr int MaxClients = 8;
  // Bytes handed to a session at a time, and read ahead from a socket while its session waits.
  static constexpr qint64 ChunkBytes = 4096;
  static constexpr qint64 ReadAheadBytes = 64 * 1024;

  // State: what the window knows of the laser (connected, being probed, ready).
  TRemoteServer(TLaser& Laser, std::function<TRemoteState()> State, QObject* Parent = nullptr);
  ~TRemoteServer() override;

  // The settings file's keys, and the command line's port that turns the server on for this run
  // only (it is not written back).
  void ReadSettings(const TIniFile& File, std::optional<std::uint16_t> RunPort);
  // Writes what the options changed; false when nothing did.
  bool StoreSettings(TIniFile& File) const;
  const TRemoteSettings& Settings() const { return FSettings; }
  // New settings from the options dialog: listens, stops or moves as they say.
  void Apply(const TRemoteSettings& Settings);
  void Close();  // stops listening and closes every client (at exit)

  void Subscribe(TLaserEvents& Events);  // the end of Reset and Clear Error reaches the sessions
  void SetMaxCurrent(double Amperes);    // the largest current a client may set

  bool Listening() const;
  std::uint16_t ListeningPort() const { return FPort; }
  int ClientCount() const { return static_cast<int>(FClients.size()); }
  // "Remote: N" while listening, "Remote off: <why>" when it could not listen, else empty.
  QString StatusText() const;
  QString Problem() const { return FProblem; }
  // For the options: where it listens and how many clients it has, or why it does not.
  QString StateText() const;

  std::function<void()> OnChanged;                    // listening or the client count changed
  std::function<void(const std::string&)> OnLogLine;  // a line for the connection log

 private:
  struct TClient {
    QTcpSocket* Socket = nullptr;
    std::unique_ptr<TRemoteSession> Session;
    quint16 PeerPort = 0;
  };
  void Listen(std::uint16_t Port);
  void StopListening();
  void Accept(QTcpServer* Server);
  void Pump(QTcpSocket* Socket);  // hands what the client sent to its session, as it can take it
  void Drop(QTcpSocket* Socket);
  TClient* Find(QTcpSocket* Socket);
  TRemoteOptions Options() const;
  void Changed();
  void Log(const std::string& Line);

  TLaserLink FLink;
  TRemoteSettings FSettings;              // what the options say (and the file keeps)
  TRemoteSettings FRead;                  // as read from the file
  std::optional<std::uint16_t> FRunPort;  // the command line's, for this run
  double FMaxCurrent = 99.99;
  QTcpServer* FServer4 = nullptr;  // children: go with the server
  QTcpServer* FServer6 = nullptr;
  std::uint16_t FPort = 0;  // listening on it when not 0
  QString FProblem;
  std::vector<std::unique_ptr<TClient>> FClients;
  TSubscriptions FSubscriptions;
};
