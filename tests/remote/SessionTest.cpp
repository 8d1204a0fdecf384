// A client's session against a scripted laser that holds the two-branch command table and ends
// each queued command when the test says: what each command queues, what it answers, which
// errors it leaves, read-only and state refusals, and the order in which answers and errors come
// however the laser ends the commands.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "laser/Regex.h"
#include "logic/remote/Session.h"

namespace {

class TScriptedLaser : public TRemoteLaser {
 public:
  TScriptedLaser() { LoadQTCommands(List, true); }

  TRemoteState State() const override { return Now; }
  int SerialNumber() const override { return 1234; }
  std::optional<TCommandSyntax> Entry(TLaserCommand Kind, std::uint8_t Branch) const override {
    const int index = List.IndexOf(Kind, Branch);
    if (index < 0) return std::nullopt;
    return List.Items(index);
  }
  bool Send(TLaserCommand Kind, std::uint8_t Branch, std::string_view Param, TPriority Priority,
            TRemoteDone Done) override {
    const int index = List.IndexOf(Kind, Branch);
    if (Now == TRemoteState::Disconnected || index < 0) return false;
    std::string text = List.Items(index).Command;
    if (!Param.empty()) text += " " + std::string(Param);
    return Queue(text, Priority, std::move(Done));
  }
  bool KnowsText(std::string_view Text) const override { return List.IndexOfCommand(Text) >= 0; }
  bool SendRaw(std::string_view Text, TPriority Priority, TRemoteDone Done) override {
    return Now != TRemoteState::Disconnected && Queue(std::string(Text), Priority, std::move(Done));
  }
  bool IsErrorCodeRead(std::string_view Text) const override {
    return SameCommand(std::string(Text), "r90");
  }
  std::uint64_t ErrorLineCount() const override { return ErrorLog.size(); }
  std::vector<TErrorLine> ErrorLinesSince(std::uint64_t Count) const override {
    return {ErrorLog.begin() + static_cast<std::ptrdiff_t>(Count), ErrorLog.end()};
  }
  bool PhaseRunning() const override { return Phase; }

  // Ends the command at `at` (0: the oldest still under way). An error-code read that is
  // answered puts ErrorAnswer into the error lines and, as the engine, tells nobody.
  void End(TCommandOutcome Outcome, std::size_t at = 0) {
    ASSERT_LT(at, Waiting.size());
    TWaiting w = std::move(Waiting[at]);
    Waiting.erase(Waiting.begin() + static_cast<std::ptrdiff_t>(at));
    if (Outcome == TCommandOutcome::Answered && SameCommand(w.Text, "r90")) {
      ErrorLog.insert(ErrorLog.end(), ErrorAnswer.begin(), ErrorAnswer.end());
      return;
    }
    TRemoteReply reply{Outcome, {}};
    if (Outcome == TCommandOutcome::Answered) {
      const int index = List.IndexOfCommand(w.Text);
      TRegexMatch match;
      ASSERT_TRUE(index >= 0 && TRegex(List.Items(index).Mask).Search(Reply(w.Text), match))
          << w.Text << " answered " << Reply(w.Text);
      reply.Groups = match.Groups;
    }
    w.Done(reply);
  }
  // Ends everything as the laser would: Replies, or OK for a setting.
  void AnswerAll() {
    while (!Waiting.empty()) {
      const std::string reply = Reply(Waiting.front().Text);
      End(reply == "ERROR" ? TCommandOutcome::Refused : TCommandOutcome::Answered);
    }
  }
  std::string Reply(const std::string& text) const {
    if (SameCommand(text, "r90")) return "";  // error lines, or nothing
    const auto it = Replies.find(text);
    return it != Replies.end() ? it->second : text[0] == 'w' ? "OK" : "ERROR";
  }
  // Everything queued so far, " | " between; an urgent command marked "!".
  std::string Sent() const {
    std::string out;
    for (const std::string& s : Log) out += (out.empty() ? "" : " | ") + s;
    return out;
  }

  TCommandList List;
  TRemoteState Now = TRemoteState::Ready;
  bool Phase = false;
  std::vector<TErrorLine> ErrorLog;
  std::vector<TErrorLine> ErrorAnswer;
  std::vector<std::string> Log;
  std::map<std::string, std::string> Replies = {
      {"r60", "LASER_OFF"},
      {"r61", "10.00 A"},
      {"r62", "12.50 A"},
      {"r69", "IMAX2 = 30.00 A"},
      {"r71", "LASER1 INTERNAL"},
      {"r72", "LASER2 EXTERNAL"},
      {"r73", "FREQUENCY = 30000.00 HZ"},
      {"r74", "FREQUENCY = 20000.00 HZ"},
      {"r51", "OPERATING TIME:\r\n  1234 H\r\n    5 M"},
      {"w99 347", "QXC01 OK"},
  };
  struct TWaiting {
    std::string Text;
    TRemoteDone Done;
  };
  std::deque<TWaiting> Waiting;

 private:
  bool Queue(std::string text, TPriority priority, TRemoteDone done) {
    Log.push_back(priority == TPriority::Urgent ? text + " !" : text);
    Waiting.push_back({std::move(text), std::move(done)});
    return true;
  }
};

class Session : public ::testing::Test {
 protected:
  void Open(bool control) {
    Options.AllowControl = control;
    Options.Version = "9.9";
    Client =
        std::make_unique<TRemoteSession>(Laser, Options, [this](std::string_view b) { Out += b; });
    Client->OnControl = [this](const std::string& command, const std::optional<TScpiError>& e) {
      Controls.push_back(command + (e ? " " + std::to_string(e->Code) : ""));
    };
  }
  std::string Take() { return std::exchange(Out, ""); }
  // The client's error queue, emptied: the codes, "," between.
  std::string Errors() {
    std::string codes;
    for (;;) {
      Client->Receive("SYST:ERR?\n");
      const std::string answer = Take();
      if (answer.rfind("0,", 0) == 0) return codes;
      codes += (codes.empty() ? "" : ",") + answer.substr(0, answer.find(','));
    }
  }

  TScriptedLaser Laser;
  TRemoteOptions Options;
  std::string Out;
  std::vector<std::string> Controls;
  std::unique_ptr<TRemoteSession> Client;
};

struct TCase {
  TRemoteState State;
  bool Control;
  std::string Line;
  std::string Sent;    // what reached the laser's queue
  std::string Answer;  // what the client read
  std::string Errors;  // what its error queue held then
};

constexpr TRemoteState Ready = TRemoteState::Ready;
constexpr TRemoteState Probing = TRemoteState::Probing;
constexpr TRemoteState Gone = TRemoteState::Disconnected;

TEST_F(Session, TheCommandTable) {
  const TCase cases[] = {
      {Ready, false, "*IDN?", "", "Corvane,Laser Control,1234,9.9\n", ""},
      {Ready, false, "*TST?;*OPC?", "", "0;1\n", ""},
      {Ready, false, "*RST", "", "", "-241"},
      {Ready, false, "SYST:STAT?", "", "READY\n", ""},
      {Probing, false, "SYST:STAT?", "", "PROBING\n", ""},
      {Gone, false, "syst:stat?", "", "DISCONNECTED\n", ""},
      // Queries: the value the laser reports to a read sent now, as the window shows it.
      {Ready, false, "SOUR:CURR?", "r61", "10.00\n", ""},
      {Ready, false, "SOUR2:CURR?", "r62", "12.50\n", ""},
      {Ready, false, "SOUR2:CURR:MAX?", "r69", "30.00\n", ""},
      {Ready, false, "SOUR1:FREQ?", "r73", "30000.00\n", ""},
      {Ready, false, "TRIG1:SOUR?;TRIG2:SOUR?", "r71 | r72", "INT;EXT\n", ""},
      {Ready, false, "OUTP?", "r60", "0\n", ""},
      {Ready, false, "SOUR:CURR:ACT?", "", "", "-241"},  // the table's pattern has no such group
      {Ready, false, "SOUR1:CURR?;SOUR2:CURR?;*OPC?", "r61 | r62", "10.00;12.50;1\n", ""},
      // A failing query answers nothing and leaves its error.
      {Ready, false, "SOUR1:CURR?;SOUR2:CURR:MAX?;SOUR1:CURR:MAX?", "r61 | r69 | r67",
       "10.00;30.00\n", "-200"},
      {Ready, false, "SOUR1:CURR:MAX?", "r67", "", "-200"},
      // Read-only: what changes the laser is refused before anything is sent; OFF goes.
      {Ready, false, "SOUR:CURR 12.5", "", "", "-221"},
      {Ready, false, "SOUR:FREQ 1000", "", "", "-221"},
      {Ready, false, "TRIG:SOUR CW", "", "", "-221"},
      {Ready, false, "OUTP ON", "", "", "-221"},
      {Ready, false, "SYST:SAVE;SYST:RES;SYST:CLE", "", "", "-221,-221,-221"},
      {Ready, false, "SYST:COMM:RAW? \"r61\"", "", "", "-221"},
      {Ready, false, "OUTP OFF", "w60 0 | r60 !", "", ""},
      {Ready, false, "LAS:ERR?", "r90 | r60", "0\n", ""},
      // With control: each setting as the window sends it, then read back.
      {Ready, true, "SOUR2:CURR 12.5", "w62 12.50 | r62", "", ""},
      {Ready, true, "SOUR:CURR 99.994", "w61 99.99 | r61", "", ""},
      {Ready, true, "SOUR:CURR 99.995", "", "", "-222"},
      {Ready, true, "SOUR:CURR -0.01", "", "", "-222"},
      {Ready, true, "SOUR:FREQ 20 KHZ", "w73 20000.00 | r73", "", ""},
      {Ready, true, "SOUR2:FREQ 200001", "", "", "-222"},
      {Ready, true, "TRIG2:SOUR EXT", "w72 1 | r72", "", ""},
      {Ready, true, "TRIG2:SOUR CW", "w72 2 | r72", "", ""},
      {Ready, true, "TRIG2:SOUR INT", "w70 1 | r72", "", ""},  // internal is common to both
      {Ready, true, "OUTP ON", "w60 1 | r60", "", ""},
      {Ready, true, "SYST:SAVE", "w98 347", "", ""},
      {Ready, true, "SYST:COMM:RAW? \"r61\"", "r61", "\"10.00 A\"\n", ""},
      {Ready, true, "SYST:COMM:RAW? \"r51\"", "r51",
       "\"OPERATING TIME:\",\"  1234 H\",\"    5 M\"\n", ""},
      {Ready, true, "SYST:COMM:RAW? \"r67\"", "r67", "", "-200"},
      {Ready, true, "SYST:COMM:RAW? \"x1\"", "", "", "-224"},  // no pattern to tell its reply
      // No laser ready: nothing is sent but Laser OFF while one is connected.
      {Gone, true, "SOUR:CURR?", "", "", "-241"},
      {Gone, true, "OUTP OFF", "", "", "-241"},
      {Probing, true, "SOUR:CURR 1;OUTP?;LAS:ERR?", "", "", "-241,-241,-241"},
      {Probing, false, "OUTP OFF", "w60 0 | r60 !", "", ""},
      // Read-only is said before a missing laser.
      {Gone, false, "OUTP ON", "", "", "-221"},
      // A mistake ends the line; what came before it runs.
      {Ready, true, "SOUR:CURR 1;SOUR:CURR 1O;OUTP ON", "w61 1.00 | r61", "", "-131"},
      {Ready, false, "OUTP?;BOGUS?", "r60", "0\n", "-113"},
  };
  for (const TCase& c : cases) {
    Laser.Log.clear();
    Laser.Now = c.State;
    Open(c.Control);
    Client->Receive(c.Line + "\n");
    Laser.AnswerAll();
    EXPECT_EQ(Laser.Sent(), c.Sent) << c.Line;
    EXPECT_EQ(Take(), c.Answer) << c.Line;
    EXPECT_EQ(Errors(), c.Errors) << c.Line;
  }
}

TEST_F(Session, HowALaserCommandEndedBecomesAnError) {
  const std::pair<TCommandOutcome, const char*> cases[] = {
      {TCommandOutcome::Refused, "-200,\"Execution error; laser refused\"\n"},
      {TCommandOutcome::NoReply, "-240,\"Hardware error; laser did not reply\"\n"},
      {TCommandOutcome::NotSent, "-241,\"Hardware missing; no laser ready\"\n"},
      {TCommandOutcome::Cancelled, "-200,\"Execution error; cancelled by Laser OFF\"\n"},
  };
  for (const auto& [outcome, error] : cases) {
    Open(true);
    Client->Receive("OUTP ON\nSYST:ERR?;SYST:ERR?\n");
    Laser.End(outcome);  // w60 1
    EXPECT_EQ(Take(), "") << "the read-back is still under way";
    Laser.End(TCommandOutcome::Answered);  // r60: its own end is not the setting's
    EXPECT_EQ(Take(), std::string(error).insert(std::string(error).size() - 1, ";0,\"No error\""));
    EXPECT_EQ(Controls.back(), "OUTP ON " + std::string(error).substr(0, 4));
  }
}

// Commands end in any order; answers and errors come in the order the client gave them.
TEST_F(Session, AnswersAndErrorsKeepTheClientsOrder) {
  Open(false);
  Client->Receive("SOUR1:CURR?;SOUR2:CURR?\nSOUR1:CURR:MAX?\nSYST:ERR?\n");
  EXPECT_EQ(Laser.Sent(), "r61 | r62 | r67") << "queued at once, in order";
  Laser.End(TCommandOutcome::Answered, 1);  // r62 first
  EXPECT_EQ(Take(), "");
  Laser.End(TCommandOutcome::NoReply, 1);  // r67
  EXPECT_EQ(Take(), "") << "the first line is not through";
  Laser.End(TCommandOutcome::Answered);  // r61
  EXPECT_EQ(Take(), "10.00;12.50\n-240,\"Hardware error; laser did not reply\"\n");
}

TEST_F(Session, OperationCompleteWaitsForEveryEarlierCommand) {
  Open(true);
  Client->Receive("SOUR1:CURR 5\nTRIG2:SOUR CW;*OPC?\n*IDN?\n");
  EXPECT_EQ(Laser.Sent(), "w61 5.00 | r61 | w72 2 | r72");
  for (int i = 0; i < 3; ++i) {
    Laser.End(TCommandOutcome::Answered);
    EXPECT_EQ(Take(), "") << "after " << i + 1 << " of 4";
  }
  Laser.End(TCommandOutcome::Answered);
  EXPECT_EQ(Take(), "1\nCorvane,Laser Control,1234,9.9\n");
}

TEST_F(Session, TheErrorQueue) {
  Options.MaxErrors = 4;
  Open(false);
  // *CLS clears what came before it, not what comes after; a refused line takes its place.
  Client->Receive("BOGUS\n*CLS\nSOUR:CURR 1\n" + std::string(5000, 'x') +
                  "\nSYST:ERR?;SYST:ERR?\n");
  EXPECT_EQ(Take(),
            "-221,\"Settings conflict; remote control not allowed\";-223,\"Too much data; line "
            "longer than 4096 bytes\"\n");
  EXPECT_EQ(Errors(), "");
  // Full: the last place says so, and later errors are lost.
  for (int i = 0; i < 6; ++i) Client->Receive("BOGUS\n");
  EXPECT_EQ(Errors(), "-113,-113,-113,-350");
}

TEST_F(Session, LaserOffIsQueuedAtOnceBehindCommandsUnderWay) {
  Open(false);
  Client->Receive("SOUR1:CURR?\n");
  Client->Receive("OUTP OFF\nOUTP?\n");
  EXPECT_EQ(Laser.Sent(), "r61 | w60 0 | r60 ! | r60");
  EXPECT_EQ(Client->Pending(), 3u);
  EXPECT_EQ(Controls, std::vector<std::string>{});
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "10.00\n0\n");
  EXPECT_EQ(Controls, std::vector<std::string>{"OUTP OFF"});
}

TEST_F(Session, TheLasersErrorCodes) {
  Open(true);
  Laser.ErrorLog = {{5, "5"}};  // reported before: not part of the answer
  Laser.ErrorAnswer = {{93, "93"}, {7, "07 (03)"}, {93, "93"}};
  Client->Receive("LAS:ERR?\n");
  EXPECT_EQ(Laser.Sent(), "r90 | r60");
  Laser.End(TCommandOutcome::Answered);  // r90: error lines only
  EXPECT_EQ(Take(), "") << "only the read after it tells that they are all in";
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "93,7\n");
  // Typed, the read answers the lines themselves.
  Client->Receive("SYST:COMM:RAW? \"R090\"\n");
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "\"93\",\"07 (03)\",\"93\"\n");
  // A refused read; a laser that holds no error says nothing.
  Laser.ErrorAnswer.clear();
  Client->Receive("LAS:ERR?\nLAS:ERR?\nSYST:COMM:RAW? \"r90\"\n");
  Laser.End(TCommandOutcome::Refused);
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "0\n\"\"\n");
  EXPECT_EQ(Errors(), "-200");
}

TEST_F(Session, ActualCurrentFromATemplatesPattern) {
  Laser.List.Remove(lcReadCurrent, 1);
  Laser.List.Add(lcReadCurrent, 1, "r61", "\\A(\\d{1,3}\\.\\d\\d) A, (\\d{1,3}\\.\\d\\d) A\\Z",
                 {-1, 1, 2}, "");
  Laser.Replies["r61"] = "20.00 A, 19.87 A";
  Open(false);
  Client->Receive("SOUR:CURR?;SOUR:CURR:ACT?\n");
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "20.00;19.87\n");
  // A value that does not convert is no value.
  Laser.Replies["r61"] = "20.00 A, 19X87 A";
  Laser.List.Remove(lcReadCurrent, 1);
  Laser.List.Add(lcReadCurrent, 1, "r61", "\\A(\\d{1,3}\\.\\d\\d) A, (\\d{1,3}.\\d\\d) A\\Z",
                 {-1, 1, 2}, "");
  Client->Receive("SOUR:CURR:ACT?\n");
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "");
  EXPECT_EQ(Errors(), "-230");
}

TEST_F(Session, ResetAndClearErrorLastUntilTheControllerIsBack) {
  Open(true);
  Client->Receive("SYST:RES\n*OPC?\n");
  Laser.Phase = true;  // the reset's reply begins the phase
  Laser.End(TCommandOutcome::Answered);
  EXPECT_EQ(Take(), "");
  Laser.Phase = false;
  Client->PhaseEnded(true);
  EXPECT_EQ(Take(), "1\n");

  // The READY that ends the clear-error phase is no reply of its command.
  struct {
    bool PhaseAtTheEnd;  // still running when the command's reply wait ran out
    std::optional<bool> PhaseEnded;
    TCommandOutcome Outcome;
    std::string Errors;
  } cases[] = {
      {true, true, TCommandOutcome::NoReply, ""},
      {true, false, TCommandOutcome::NoReply, "-240"},  // no READY within the phase
      {false, true, TCommandOutcome::NoReply, ""},      // READY before the wait ran out
      {false, std::nullopt, TCommandOutcome::NoReply, "-240"},
      {false, std::nullopt, TCommandOutcome::Refused, "-200"},
  };
  for (const auto& c : cases) {
    Client->Receive("SYST:CLE\n*OPC?\n");
    Laser.Phase = true;
    if (c.PhaseEnded && !c.PhaseAtTheEnd) Client->PhaseEnded(*c.PhaseEnded);
    Laser.Phase = c.PhaseAtTheEnd;
    Laser.End(c.Outcome);
    if (c.PhaseAtTheEnd) {
      EXPECT_EQ(Take(), "");
      Laser.Phase = false;
      Client->PhaseEnded(*c.PhaseEnded);
    }
    EXPECT_EQ(Take(), "1\n");
    EXPECT_EQ(Errors(), c.Errors);
  }
}

TEST_F(Session, AClientThatGoesChangesNothingForTheOthers) {
  Open(false);
  std::string other;
  auto second =
      std::make_unique<TRemoteSession>(Laser, Options, [&](std::string_view b) { other += b; });
  Client->Receive("SOUR1:CURR?;SOUR2:CURR?\n");
  second->Receive("SOUR2:CURR?\n");
  Laser.End(TCommandOutcome::Answered);
  Client.reset();  // mid-line
  Laser.AnswerAll();
  EXPECT_EQ(Out, "");
  EXPECT_EQ(other, "12.50\n");
  // A client may also go while its answer is written.
  std::string got;
  std::unique_ptr<TRemoteSession> closing;
  closing = std::make_unique<TRemoteSession>(Laser, Options, [&](std::string_view b) {
    got += b;
    closing.reset();
  });
  closing->Receive("OUTP?;*IDN?\nSYST:ERR?\n");
  Laser.AnswerAll();
  EXPECT_EQ(got, "0;Corvane,Laser Control,1234,9.9\n");
  EXPECT_EQ(closing, nullptr);
  // What changed the laser is logged also when its client goes as the answer is written.
  std::vector<std::string> logged;
  Options.AllowControl = true;
  closing =
      std::make_unique<TRemoteSession>(Laser, Options, [&](std::string_view) { closing.reset(); });
  closing->OnControl = [&](const std::string& command, const std::optional<TScpiError>&) {
    logged.push_back(command);
  };
  closing->Receive("SYST:COMM:RAW? \"w61 5\"\n");
  Laser.AnswerAll();
  EXPECT_EQ(closing, nullptr);
  EXPECT_EQ(logged, std::vector<std::string>{"SYST:COMM:RAW? \"w61 5\""});
}

// A client that sends faster than the laser answers: lines wait unparsed, so its commands do
// not pile up in the laser's queue, and the server is told to stop reading and when to go on.
TEST_F(Session, AFastClientIsHeldBack) {
  Options.MaxPending = 2;
  Options.MaxBacklog = 40;
  Open(false);
  int resumed = 0;
  Client->OnAccepting = [&] { ++resumed; };
  for (int i = 0; i < 6; ++i) Client->Receive("SOUR1:CURR?\n");  // 12 bytes each
  EXPECT_EQ(Laser.Sent(), "r61 | r61");
  EXPECT_FALSE(Client->Accepting());
  Laser.End(TCommandOutcome::Answered);
  EXPECT_EQ(Laser.Sent(), "r61 | r61 | r61");
  EXPECT_TRUE(Client->Accepting());
  EXPECT_EQ(resumed, 1);
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "10.00\n10.00\n10.00\n10.00\n10.00\n10.00\n");
  EXPECT_EQ(resumed, 1);
}

// One long line does not fill the laser's queue: a few of its commands at a time, unless a Laser
// OFF comes later, which goes at once with everything before it (so that it can drop a Laser ON
// given before it).
TEST_F(Session, ALongLineIsQueuedAFewCommandsAtATime) {
  Options.MaxPending = 2;
  Open(true);
  Client->Receive("SOUR1:CURR?;SOUR2:CURR?;OUTP?;*OPC?;TRIG1:SOUR?\n");
  EXPECT_EQ(Laser.Sent(), "r61 | r62");
  Laser.End(TCommandOutcome::Answered, 1);  // r62 ends first: one more may go
  EXPECT_EQ(Laser.Sent(), "r61 | r62 | r60");
  Laser.End(TCommandOutcome::Answered);
  EXPECT_EQ(Laser.Sent(), "r61 | r62 | r60 | r71");
  Laser.AnswerAll();
  EXPECT_EQ(Take(), "10.00;12.50;0;1;INT\n");

  Laser.Log.clear();
  Client->Receive("SOUR1:CURR?;OUTP ON;SOUR2:CURR?;OUTP OFF;OUTP?\n");
  EXPECT_EQ(Laser.Sent(), "r61 | w60 1 | r60 | r62 | w60 0 | r60 !");
  Laser.AnswerAll();
  EXPECT_EQ(Laser.Sent(), "r61 | w60 1 | r60 | r62 | w60 0 | r60 ! | r60");
  EXPECT_EQ(Take(), "10.00;12.50;0\n");
  EXPECT_EQ(Errors(), "");
}

}  // namespace
