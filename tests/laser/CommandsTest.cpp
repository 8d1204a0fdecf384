#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "laser/Commands.h"

namespace {

struct TChangeCounter {
  int Count = 0;
  void Attach(TCommandList& list) {
    list.OnChange = [this](TCommandList*) { ++Count; };
  }
};

void Base(TCommandList& l) {
  LoadBaseCommands(l);
}
void QT(TCommandList& l) {
  LoadQTCommands(l, true);
}
void ZE(TCommandList& l) {
  LoadZECommands(l, true);
}
void Initial(TCommandList& l) {
  LoadInitialCommands(l);
}

TEST(CommandList, SetsHaveTheirEntriesAndRaiseOneChangeEach) {
  struct {
    void (*Loader)(TCommandList&);
    int Count;
  } cases[] = {{Initial, 3}, {Base, 18}, {QT, 38}, {ZE, 23}};
  for (const auto& c : cases) {
    TCommandList list;
    LoadQTCommands(list, true);  // some content before, so each loader must replace it
    TChangeCounter changes;
    changes.Attach(list);
    c.Loader(list);
    EXPECT_EQ(list.Count(), c.Count);
    EXPECT_EQ(changes.Count, 1);
    ASSERT_TRUE(list.OnChange) << "handler must be re-attached";
  }
}

TEST(CommandList, BaseSetTwiceGivesEighteenEntries) {
  TCommandList list;
  LoadBaseCommands(list);
  LoadBaseCommands(list);
  EXPECT_EQ(list.Count(), 18);
}

TEST(CommandList, QTWithoutReloadAppendsToBase) {
  TCommandList list;
  LoadBaseCommands(list);
  LoadQTCommands(list, false);
  EXPECT_EQ(list.Count(), 38);
  EXPECT_EQ(list.Items(18).Command, "r91");
  EXPECT_EQ(list.Items(37).Command, "p66");
}

TEST(CommandList, EntriesInOrderWithTextsAndIndexes) {
  TCommandList list;
  QT(list);
  struct {
    int Index;
    TLaserCommand ID;
    int SubID;
    const char* Command;
    std::vector<std::int16_t> Indexes;
  } cases[] = {
      {0, lcReadSN, 0, "r01", {-1, 2}},
      {4, lcReadRunningTime, 0, "r51", {-1, 1, 2}},
      {5, lcReadErrorCode, 0, "r90", {-1, 0}},
      {8, lcSaveSettings, 0, "w98 347", {-1, 0}},
      {9, lcReset, 0, "w99 347", {-1, 0}},
      {10, lcClearError, 0, "w97 347", {-1, 0}},
      {14, lcReadSeederFrequency, 0, "r170", {-1, 1, 3}},
      {19, lcReadCurrentLimit, 1, "r66", {1, 2}},
      {21, lcReadMaxCurrent, 2, "r69", {1, 2}},
      {23, lcReadTriggerMode, 2, "r72", {2, 3}},
      {26, lcReadHumidity, 1, "r21", {1, 2}},
      {28, lcSetInternal, 0, "w70 1", {-1, 0}},
      {32, lcSetCW, 2, "w72 2", {-1, 0}},
      {37, lcSetCurrentLimit, 1, "p66", {-1, 0}},
  };
  for (const auto& c : cases) {
    const TCommandSyntax& e = list.Items(c.Index);
    EXPECT_EQ(e.ID, c.ID) << c.Command;
    EXPECT_EQ(e.SubID, c.SubID) << c.Command;
    EXPECT_EQ(e.Command, c.Command);
    EXPECT_EQ(e.Indexes, c.Indexes) << c.Command;
  }
  EXPECT_EQ(list.Items(24).Mask, "\\A[ \\w]*?FREQUENCY[ \\t]*?=[ \\t]*?(-??\\d+?\\.\\d{2}) HZ\\Z");
  EXPECT_EQ(list.Items(25).Mask, "\\A[ \\w]*?FREQUENCY[ \\t]*?=[ \\t]*?(\\d+?\\.\\d{2}) HZ\\Z");
  EXPECT_EQ(list.Items(0).Mask, "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ \\t]*?\\Z");
  TCommandList initial;
  Initial(initial);
  EXPECT_EQ(initial.Items(0).Mask, "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ ]*?\\Z");
}

TEST(CommandList, LinesCountsTheLineBreakEscapes) {
  for (auto loader : {Initial, QT, ZE}) {
    TCommandList list;
    loader(list);
    for (int i = 0; i < list.Count(); ++i) {
      const TCommandSyntax& e = list.Items(i);
      EXPECT_EQ(e.Lines, e.ID == lcReadRunningTime ? 3 : 1) << e.Command;
    }
  }
  EXPECT_EQ(CountLines("a\\r\\n\\r\\nb"), 3);
  EXPECT_EQ(CountLines("\\r\\r\\n"), 2);
  EXPECT_EQ(CountLines("\r\n"), 1);  // real line breaks are not the escape
}

TEST(CommandList, IndexOfByKindAndBranch) {
  TCommandList qt;
  QT(qt);
  TCommandList ze;
  ZE(ze);
  struct {
    TCommandList* List;
    TLaserCommand ID;
    int SubID;
    const char* Expected;  // nullptr: not found
  } cases[] = {
      {&ze, lcReadCurrent, 1, nullptr},  {&ze, lcReadCurrent, 2, "r62"},
      {&qt, lcSetInternal, 2, "w70 1"},  {&ze, lcSetInternal, 2, nullptr},
      {&ze, lcSetInternal, 1, "w70 1"},  {&qt, lcReadMaxCurrent, 0, "r67"},
      {&qt, lcReadMaxCurrent, 2, "r69"}, {&qt, lcSetCW, 0, "w71 2"},
      {&qt, lcReadSN, 1, "r01"},         {&qt, lcReadTemperature, 0, nullptr},
      {&ze, lcSetCurrent, 1, nullptr},   {&ze, lcReadMaxCurrent, 2, "r65"},
  };
  for (const auto& c : cases) {
    const int index = c.List->IndexOf(c.ID, static_cast<std::uint8_t>(c.SubID));
    if (c.Expected == nullptr) {
      EXPECT_EQ(index, -1) << LaserCommandName(c.ID) << " " << c.SubID;
    } else {
      ASSERT_GE(index, 0) << LaserCommandName(c.ID) << " " << c.SubID;
      EXPECT_EQ(c.List->Items(index).Command, c.Expected);
    }
  }
}

TEST(CommandList, IndexOfPrefersExactBranchOverEarlierBranchFreeEntry) {
  TCommandList list;
  list.Add(lcReadCurrent, 0, "r60", "x", {-1, 1}, "");
  list.Add(lcReadCurrent, 2, "r62", "x", {-1, 1}, "");
  EXPECT_EQ(list.IndexOf(lcReadCurrent, 2), 1);
  EXPECT_EQ(list.IndexOf(lcReadCurrent, 1), 0);
}

TEST(CommandList, IndexOfCommandByText) {
  TCommandList qt;
  QT(qt);
  TCommandList ze;
  ZE(ze);
  struct {
    TCommandList* List;
    const char* Text;
    const char* Expected;
  } cases[] = {
      {&ze, "w70 2", "w70 2"},
      {&ze, "w70 3", nullptr},
      {&ze, "w01 secret", "w01"},
      {&qt, "R61", nullptr},
      {&qt, "r061", "r61"},
      {&qt, "r61", "r61"},
      {&qt, "w61 12.50", "w61"},
      {&qt, "w61", "w61"},
      {&qt, "w98 347", "w98 347"},
      {&qt, "w98 348", nullptr},
      {&qt, "w98", nullptr},  // kinds up to reset compare the parameter too
      {&qt, "w99   347  ", "w99 347"},
      {&qt, "w72 1", "w72 1"},
      {&qt, "w72 2", "w72 2"},
      {&qt, "r", nullptr},
      {&qt, "", nullptr},
      {&qt, "p66 30", "p66"},
      {&ze, "r71", "r71"},
  };
  for (const auto& c : cases) {
    const int index = c.List->IndexOfCommand(c.Text);
    if (c.Expected == nullptr) {
      EXPECT_EQ(index, -1) << c.Text;
    } else {
      ASSERT_GE(index, 0) << c.Text;
      EXPECT_EQ(c.List->Items(index).Command, c.Expected) << c.Text;
    }
  }
}

TEST(CommandList, AnInvalidNumberCountsAsZero) {
  TCommandList list;
  list.Add(lcCustomized, 0, "rX", "x", {-1, 0}, "");
  EXPECT_EQ(list.IndexOfCommand("r0"), 0);
  EXPECT_EQ(list.IndexOfCommand("r12a"), 0);
  EXPECT_EQ(list.IndexOfCommand("r99999999999"), 0);  // beyond a 32-bit integer
  EXPECT_EQ(list.IndexOfCommand("r1"), -1);
}

TEST(CommandList, DeleteOutOfRangeThrowsBeforeChangingAnything) {
  TCommandList list;
  Base(list);
  TChangeCounter changes;
  changes.Attach(list);
  for (int bad : {-1, 18, 1000}) {
    EXPECT_THROW(list.Delete(bad), std::out_of_range);
  }
  EXPECT_THROW(list.Remove(lcReadFlowRate, 0), std::out_of_range);
  EXPECT_EQ(list.Count(), 18);
  EXPECT_EQ(changes.Count, 0);
  list.Delete(17);
  list.Remove(lcReadSN, 0);
  EXPECT_EQ(list.Count(), 16);
  EXPECT_EQ(list.Items(0).Command, "r60");
  EXPECT_EQ(changes.Count, 2);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(changes.Count, 3);
  EXPECT_THROW(list.Items(0), std::out_of_range);
}

TEST(CommandList, ZEWithoutBranchOneEntriesFailsAndKeepsHandler) {
  TCommandList list;
  LoadZECommands(list, true);
  TChangeCounter changes;
  changes.Attach(list);
  EXPECT_THROW(LoadZECommands(list, false), std::out_of_range);
  EXPECT_EQ(list.Count(), 23);
  EXPECT_EQ(changes.Count, 0);
  list.Clear();
  EXPECT_EQ(changes.Count, 1) << "OnChange must be attached again after the failure";
}

TEST(CommandList, AddTrimsTheCommandAndCutsLongTexts) {
  TCommandList list;
  const std::string longText(300, 'x');
  const int index = list.Add(lcCustomized, 3, " \t r61 \r\n", longText, {-1, 1}, longText);
  const TCommandSyntax& e = list.Items(index);
  EXPECT_EQ(e.Command, "r61");
  EXPECT_EQ(e.Mask.size(), 255u);
  EXPECT_EQ(e.Description.size(), 255u);
  EXPECT_EQ(list.Add(lcCustomized, 0, "r" + longText, "", {-1}, ""), 1);
  EXPECT_EQ(list.Items(1).Command.size(), 255u);
}

TEST(CommandList, SnapshotOutlivesLaterChanges) {
  TCommandList list;
  QT(list);
  TCommandList::TSnapshot before = list.Snapshot();
  LoadZECommands(list, true);
  EXPECT_EQ(before->size(), 38u);
  EXPECT_EQ(list.Snapshot()->size(), 23u);
  EXPECT_EQ(TCommandList::IndexOf(*before, lcReadCurrent, 1), 2);
}

TEST(CommandModel, EnumerationOrderAndNames) {
  EXPECT_EQ(static_cast<int>(lcReadStatus), 0);
  EXPECT_EQ(static_cast<int>(lcReset), 24);
  EXPECT_EQ(static_cast<int>(lcSetPassword), 25);
  EXPECT_EQ(static_cast<int>(lcCustomized), 38);
  EXPECT_EQ(static_cast<int>(lcUnknown), 39);
  EXPECT_EQ(sizeof(TLaserCommand), 1u);
  EXPECT_EQ(sizeof(TTriggerMode), 1u);
  EXPECT_EQ(LaserCommandName(lcReadSeederFrequency), "lcReadSeederFrequency");
  EXPECT_STREQ(TriggerModeNames[tmCW], "CW");
  EXPECT_STREQ(TriggerModeNames[tmError], "Error");
}

}  // namespace
