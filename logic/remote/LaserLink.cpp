#include "logic/remote/LaserLink.h"

#include <string>
#include <utility>

#include "laser/Text.h"

namespace {

TCommandDone Wrapped(TRemoteDone Done) {
  return [done = std::move(Done)](TCommandOutcome Outcome, const TLaserMsg& Groups) {
    if (done) done(TRemoteReply{Outcome, Groups});
  };
}

}  // namespace

TLaserLink::TLaserLink(TLaser& Laser, std::function<TRemoteState()> State)
    : FLaser(Laser), FState(std::move(State)) {}

TRemoteState TLaserLink::State() const {
  if (!FLaser.Connected()) return TRemoteState::Disconnected;
  return FState ? FState() : TRemoteState::Ready;
}

int TLaserLink::SerialNumber() const {
  // The number read from the laser now connected; a closed port keeps the last one.
  return State() == TRemoteState::Ready ? FLaser.SN() : 0;
}

std::optional<TCommandSyntax> TLaserLink::Entry(TLaserCommand Kind, std::uint8_t Branch) const {
  const int index = FLaser.CommandList().IndexOf(Kind, Branch);
  if (index < 0) return std::nullopt;
  return FLaser.CommandList().Items(index);
}

bool TLaserLink::Send(TLaserCommand Kind, std::uint8_t Branch, std::string_view Param,
                      TPriority Priority, TRemoteDone Done) {
  // The text as SendCommand makes it, through the call that says whether it was queued: a
  // command dropped without a word would keep its client waiting for good.
  const int index = FLaser.CommandList().IndexOf(Kind, Branch);
  if (index < 0) return false;
  std::string text = FLaser.CommandList().Items(index).Command;
  if (!Param.empty()) text = ShortString(text + ' ' + std::string(Param));
  TLaser::TRequestScope scope(FLaser, TOrigin::Operator, Priority, Wrapped(std::move(Done)));
  return FLaser.SendRaw(text, index);
}

bool TLaserLink::KnowsText(std::string_view Text) const {
  return FLaser.CommandList().IndexOfCommand(text::TrimControls(Text)) >= 0;
}

bool TLaserLink::SendRaw(std::string_view Text, TPriority Priority, TRemoteDone Done) {
  TLaser::TRequestScope scope(FLaser, TOrigin::Operator, Priority, Wrapped(std::move(Done)));
  return FLaser.SendRaw(ShortString(Text), -1);
}

bool TLaserLink::IsErrorCodeRead(std::string_view Text) const {
  const int index = FLaser.CommandList().IndexOf(lcReadErrorCode, 0);
  return index >= 0 && SameCommand(std::string(text::TrimControls(Text)),
                                   FLaser.CommandList().Items(index).Command);
}

std::uint64_t TLaserLink::ErrorLineCount() const {
  return FLaser.ErrorLineCount();
}

std::vector<TErrorLine> TLaserLink::ErrorLinesSince(std::uint64_t Count) const {
  return FLaser.ErrorLinesSince(Count);
}

bool TLaserLink::PhaseRunning() const {
  return FLaser.Reseting();
}
