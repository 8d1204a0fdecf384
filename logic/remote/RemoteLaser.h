// What a remote session needs of the laser: its state as the window sees it, its command table,
// and a way to queue commands on a client's behalf and hear how each ended. The program's
// implementation is TLaserLink over TLaser; tests may put a scripted laser in its place.
// Everything here runs on the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "laser/CommandQueue.h"
#include "laser/Commands.h"
#include "laser/ReceiveText.h"

enum class TRemoteState : std::uint8_t { Disconnected, Probing, Ready };

// How one queued command ended; Groups are its reply's capture groups when it was answered.
struct TRemoteReply {
  TCommandOutcome Outcome = TCommandOutcome::NoReply;
  TLaserMsg Groups;
};
using TRemoteDone = std::function<void(const TRemoteReply& Reply)>;

class TRemoteLaser {
 public:
  virtual ~TRemoteLaser() = default;

  virtual TRemoteState State() const = 0;
  // The laser's serial number while a laser is ready, else 0.
  virtual int SerialNumber() const = 0;
  // The entry the laser's command table has for (kind, branch), as a request would find it.
  virtual std::optional<TCommandSyntax> Entry(TLaserCommand Kind, std::uint8_t Branch) const = 0;
  // Queues the table's command for (kind, branch) with an optional parameter. `done` runs once
  // when it has ended, never from inside this call for this command. False when nothing was
  // queued: the port is closed, or the table has no such command.
  virtual bool Send(TLaserCommand Kind, std::uint8_t Branch, std::string_view Param,
                    TPriority Priority, TRemoteDone Done) = 0;
  // Whether the command table knows a command text, and so the pattern of its reply.
  virtual bool KnowsText(std::string_view Text) const = 0;
  // Queues a command text as the console sends it; false when nothing was queued.
  virtual bool SendRaw(std::string_view Text, TPriority Priority, TRemoteDone Done) = 0;
  // Whether a text is the error-code read, which the engine does not wait for: its answer is
  // error lines or nothing, and its `done` runs only when it is refused or never written.
  virtual bool IsErrorCodeRead(std::string_view Text) const = 0;
  // Error lines taken out of the input so far, and the ones after a count (TReceiveText).
  virtual std::uint64_t ErrorLineCount() const = 0;
  virtual std::vector<TErrorLine> ErrorLinesSince(std::uint64_t Count) const = 0;
  // Whether a clear-error or reset phase runs (the controller is busy until it ends).
  virtual bool PhaseRunning() const = 0;
};
