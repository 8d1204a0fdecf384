// One remote client: its bytes cut into lines, each line's commands run against the laser in
// order, the answers written back one line per command line, and its own error queue.
//
// A command that needs the laser is queued in the client's order, at most MaxPending of them
// under way at once, so that one long line does not fill the laser's queue; a Laser OFF is queued
// at once with everything given before it, and the engine puts it ahead of whatever waits (and
// drops a Laser ON still waiting), as it does the window's. Commands end in any order, but they
// are retired in the order given: an error enters the queue, and a query's answer the answer line,
// when its command and every earlier one have ended. So SYSTem:ERRor? and *OPC? see everything
// before them.
//
// Runs on the UI thread. Nothing a client sends reaches the laser but through the table's
// commands; the session may be destroyed with commands still under way, and their ends are then
// ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "logic/remote/RemoteLaser.h"
#include "logic/remote/Scpi.h"

struct TRemoteOptions {
  bool AllowControl = false;   // commands that change the laser (Laser OFF is always allowed)
  double MaxCurrent = 99.99;   // A; 999.99 where the window takes three integer digits
  std::string Version;         // for *IDN?; empty: this build's
  std::size_t MaxErrors = 32;  // the error queue's length; "Queue overflow" takes the last place
  // Commands not yet retired before the session parses another line, and commands of the laser
  // under way at once.
  std::size_t MaxPending = 32;
  // Bytes of complete lines not yet parsed before the session asks for no more input.
  std::size_t MaxBacklog = 16 * 1024;
};

// Frequencies a client may set, in Hz: the window's range.
inline constexpr double RemoteMaxFrequency = 200000;

class TRemoteSession {
 public:
  // Writes bytes to the client: whole answer lines, each ended by "\n".
  using TWrite = std::function<void(std::string_view Bytes)>;

  TRemoteSession(TRemoteLaser& Laser, TRemoteOptions Options, TWrite Write);
  ~TRemoteSession();
  TRemoteSession(const TRemoteSession&) = delete;
  TRemoteSession& operator=(const TRemoteSession&) = delete;

  // Bytes as they came from the client.
  void Receive(std::string_view Bytes);
  // Whether the session takes more input now; when it did not and does again, OnAccepting runs.
  bool Accepting() const;
  // Commands given and not yet retired.
  std::size_t Pending() const;
  // Every complete line received has been run and retired (a partial line does not count).
  bool Idle() const;
  void SetAllowControl(bool Allow);

  // The laser's clear-error or reset phase ended: with the controller's answer (OnReseted), or
  // without it (OnClearedError: refused or timed out).
  void PhaseEnded(bool Answered);

  std::function<void()> OnAccepting;
  // The session has become idle after work: what a closing client sent has all been carried out.
  // Runs inside the session's own calls: the owner must not destroy the session from it.
  std::function<void()> OnIdle;
  // A command that changed the laser (or was meant to) has ended: its text in short form, and
  // the error when it failed.
  std::function<void(const std::string& Command, const std::optional<TScpiError>& Failure)>
      OnControl;

  struct TCore;  // shared with the callbacks of commands under way

 private:
  std::shared_ptr<TCore> FCore;
};
