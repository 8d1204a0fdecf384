// The remote sessions' road to the program's laser: every command goes into TLaser's queue as an
// operator's command, with the session's callback for how it ended.
#pragma once

#include <functional>

#include "laser/QNLaser.h"
#include "logic/remote/RemoteLaser.h"

class TLaserLink : public TRemoteLaser {
 public:
  // `state` tells what the window knows: whether a laser is connected, being probed or ready.
  TLaserLink(TLaser& Laser, std::function<TRemoteState()> State);

  TRemoteState State() const override;
  int SerialNumber() const override;
  std::optional<TCommandSyntax> Entry(TLaserCommand Kind, std::uint8_t Branch) const override;
  bool Send(TLaserCommand Kind, std::uint8_t Branch, std::string_view Param, TPriority Priority,
            TRemoteDone Done) override;
  bool KnowsText(std::string_view Text) const override;
  bool SendRaw(std::string_view Text, TPriority Priority, TRemoteDone Done) override;
  bool IsErrorCodeRead(std::string_view Text) const override;
  std::uint64_t ErrorLineCount() const override;
  std::vector<TErrorLine> ErrorLinesSince(std::uint64_t Count) const override;
  bool PhaseRunning() const override;

 private:
  TLaser& FLaser;
  std::function<TRemoteState()> FState;
};
