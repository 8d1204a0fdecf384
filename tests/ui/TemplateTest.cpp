// Command templates: path resolution, names, every rejection rule, removals and additions.
#include "logic/Template.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "laser/ErrorExplan.h"
#include "logic/Settings.h"
#include "tests/TempDir.h"

namespace fs = std::filesystem;

namespace {

using test::TTempDir;

struct TLayoutLog : ITemplateLayout {
  std::vector<std::string> Calls;
  void ApplyCurrentLayout(int Layout, bool ShowActual) override {
    Calls.push_back("current " + std::to_string(Layout) + (ShowActual ? " actual" : ""));
  }
  void ApplyTriggerLayout(int Layout) override {
    Calls.push_back("trigger " + std::to_string(Layout));
  }
};

using TEntry = std::tuple<TLaserCommand, int, std::string>;

std::vector<TEntry> Entries(const TCommandList& list) {
  std::vector<TEntry> out;
  for (int i = 0; i < list.Count(); ++i)
    out.emplace_back(list.Items(i).ID, list.Items(i).SubID, list.Items(i).Command);
  return out;
}

std::vector<TEntry> BaseEntries() {
  TCommandList list;
  LoadBaseCommands(list);
  return Entries(list);
}

std::vector<TEntry> Without(std::vector<TEntry> entries, TLaserCommand id, int subId) {
  std::erase_if(entries,
                [&](const TEntry& e) { return std::get<0>(e) == id && std::get<1>(e) == subId; });
  return entries;
}

// A connected laser's state just before its template applies: the base set, no error table.
struct TFixture {
  TLayoutLog Layout;
  TCommandList Commands;
  TExplanationList Explanations;
  std::vector<std::string> Skipped;
  TFixture() {
    LoadBaseCommands(Commands);
    Explanations.Add(1, "marker");
  }
  bool Apply(const std::string& text) {
    TIniFile file;
    file.SetText(text);
    return ApplyTemplate(file, Layout, Commands, Explanations, &Skipped);
  }
};

const std::string Layouts = "[General]\nCurrentLayout=3\nTriggerLayout=2\n";

}  // namespace

TEST(TemplateNames, StandForTheKindOfTheSameName) {
  ASSERT_EQ(TemplateCommandNames.size(), 27u);
  for (int i = 0; i < TemplateCommandCount; ++i) {
    const TLaserCommand kind = TemplateCommandKind(i);
    EXPECT_EQ(LaserCommandName(kind), "lc" + std::string(TemplateCommandNames[i]));
    EXPECT_EQ(IndexOfTemplateCommand(TemplateCommandNames[i]), i);
  }
  EXPECT_EQ(TemplateCommandKind(IndexOfTemplateCommand("readflowrate")), lcReadFlowRate);
  EXPECT_EQ(TemplateCommandKind(IndexOfTemplateCommand("CUSTOMIZED")), lcCustomized);
  for (const char* name : {"", "ReadQXC03SN", "lcReadSN", "ReadSN ", "Unknown", "ReadSNx"})
    EXPECT_EQ(IndexOfTemplateCommand(name), 27) << '"' << name << '"';
  EXPECT_EQ(TemplateCommandKind(27), lcUnknown);
  EXPECT_EQ(TemplateCommandKind(-1), lcUnknown);
}

TEST(TemplatePath, BareAndDotFolderNamesAreBesideTheExecutable) {
  const fs::path exe = "/opt/laser";
  struct Case {
    const char* name;
    fs::path expected;
  } cases[] = {
      {"LaserA.ini", exe / "LaserA.ini"},
      {".\\tpl\\LaserA.ini", exe / "./tpl/LaserA.ini"},
      {"./tpl/LaserA.ini", exe / "./tpl/LaserA.ini"},
      {"..\\LaserA.ini", exe / "../LaserA.ini"},
      {"tpl\\LaserA.ini", "tpl/LaserA.ini"},
      {"tpl/LaserA.ini", "tpl/LaserA.ini"},
      {"/srv/tpl/LaserA.ini", "/srv/tpl/LaserA.ini"},
      {"D:\\tpl\\LaserA.ini", "D:/tpl/LaserA.ini"},
      {"D:LaserA.ini", "D:LaserA.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveTemplatePath(c.name, exe), c.expected) << c.name;
}

TEST(TemplateFile, IsFoundBesideTheExecutableWhateverTheCurrentFolder) {
  TTempDir exe;
  fs::create_directories(exe.Path() / "tpl");
  std::ofstream(exe.Path() / "tpl" / "LaserA.ini")
      << "\xEF\xBB\xBF[General]\r\nCurrentLayout=1\r\nTriggerLayout=0\r\nBaseCommands=ZE\r\n";
  std::ofstream(exe.Path() / "LaserB.ini") << Layouts << "BaseCommands=QT\n";
  TTempDir elsewhere;
  const fs::path cwd = fs::current_path();
  fs::current_path(elsewhere.Path());
  struct Case {
    const char* link;
    bool applied;
  } cases[] = {
      {".\\tpl\\LaserA.ini", true},
      {"./tpl/LaserA.ini", true},
      {"LaserB.ini", true},
      {"tpl\\LaserA.ini", false},  // relative without a dot: the current folder
      {"", false},                 // an empty link is no file, not the folder itself
      {"Missing.ini", false},
      {"tpl", false},
  };
  for (const auto& c : cases) {
    TFixture f;
    EXPECT_EQ(LoadTemplate(c.link, exe.Path(), f.Layout, f.Commands, f.Explanations), c.applied)
        << c.link;
    if (!c.applied) {
      EXPECT_TRUE(f.Layout.Calls.empty()) << c.link;
      EXPECT_EQ(Entries(f.Commands), BaseEntries()) << c.link;
    }
  }
  fs::current_path(cwd);
}

TEST(TemplateRejection, StopsAtTheRuleKeepingWhatWasDone) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> calls;
  } cases[] = {
      {"no current layout", "[General]\nTriggerLayout=2\nBaseCommands=QT\n", {}},
      {"no trigger layout", "[General]\nCurrentLayout=3\nBaseCommands=QT\n", {}},
      {"layouts in another section", "[Other]\nCurrentLayout=3\nTriggerLayout=2\n", {}},
      {"current layout 0", "[General]\nCurrentLayout=0\nTriggerLayout=2\n", {}},
      {"current layout 4", "[General]\nCurrentLayout=4\nTriggerLayout=2\n", {}},
      {"current layout not a number", "[General]\nCurrentLayout=both\nTriggerLayout=2\n", {}},
      {"current layout empty", "[General]\nCurrentLayout=\nTriggerLayout=2\n", {}},
      {"trigger layout 3",
       "[General]\nCurrentLayout=1\nTriggerLayout=3\nBaseCommands=\n",
       {"current 2"}},
      {"trigger layout -1", "[General]\nCurrentLayout=2\nTriggerLayout=-1\n", {"current 4"}},
      {"trigger layout not a number",
       "[General]\nCurrentLayout=3\nTriggerLayout=x\nShowActualCurrent=1\n",
       {"current 6 actual"}},
  };
  for (const auto& c : cases) {
    TFixture f;
    EXPECT_FALSE(f.Apply(c.text)) << c.name;
    EXPECT_EQ(f.Layout.Calls, c.calls) << c.name;
    EXPECT_EQ(Entries(f.Commands), BaseEntries()) << c.name;
    EXPECT_EQ(f.Explanations.Count(), 1) << c.name;
  }
}

TEST(TemplateBase, ChoosesTheFamilyInAnyCase) {
  TCommandList qt, ze;
  LoadBaseCommands(qt);
  LoadQTCommands(qt, false);
  LoadBaseCommands(ze);
  LoadZECommands(ze, false);
  TExplanationList qtErrors, zeErrors;
  qtErrors.LoadQTExplanations();
  zeErrors.LoadZEExplanations();
  struct Case {
    const char* base;
    std::vector<TEntry> entries;
    int errors;  // 1: the table was left alone
  } cases[] = {
      {"QT", Entries(qt), qtErrors.Count()},
      {"qt", Entries(qt), qtErrors.Count()},
      {"Ze", Entries(ze), zeErrors.Count()},
      {"", {}, 1},
      {"XY", BaseEntries(), 1},
      {"QT2", BaseEntries(), 1},
  };
  for (const auto& c : cases) {
    TFixture f;
    EXPECT_TRUE(f.Apply(Layouts + "BaseCommands=" + c.base + "\n")) << c.base;
    EXPECT_EQ(f.Layout.Calls, (std::vector<std::string>{"current 6", "trigger 2"})) << c.base;
    EXPECT_EQ(Entries(f.Commands), c.entries) << c.base;
    EXPECT_EQ(f.Explanations.Count(), c.errors) << c.base;
  }
  TFixture absent;
  EXPECT_TRUE(absent.Apply(Layouts));
  EXPECT_EQ(absent.Commands.Count(), 0) << "no BaseCommands key is an empty one";
}

TEST(TemplateRemovals, RemoveWhatTheyNameAndSkipTheRest) {
  const auto base = BaseEntries();
  struct Case {
    const char* name;
    std::string removals;
    std::vector<TEntry> expected;
    std::size_t skipped;
  } cases[] = {
      {"branch given", "Count=1\nRC1=ReadCurrent,2\n", Without(base, lcReadCurrent, 2), 0},
      {"no branch: the first of the kind", "Count=1\nRC1=readcurrent\n",
       Without(base, lcReadCurrent, 1), 0},
      {"blanks around the parts", "Count=1\nRC1= SetCurrent , 2 \n", Without(base, lcSetCurrent, 2),
       0},
      {"second key missing", "Count=2\nRC1=ReadCurrent,1\n", Without(base, lcReadCurrent, 1), 0},
      {"keys beyond Count ignored", "Count=1\nRC2=ReadCurrent,1\n", base, 0},
      {"empty value", "Count=1\nRC1=\n", base, 0},
      {"unknown name, then a good one", "Count=2\nRC1=ReadQXC03SN\nRC2=ReadSN\n",
       Without(base, lcReadSN, 0), 1},
      {"branch not a number", "Count=2\nRC1=ReadCurrent,x\nRC2=ReadSN\n",
       Without(base, lcReadSN, 0), 1},
      {"branch 256", "Count=1\nRC1=ReadCurrent,256\n", base, 1},
      {"branch -1", "Count=1\nRC1=ReadCurrent,-1\n", base, 1},
      {"empty branch", "Count=1\nRC1=ReadCurrent,\n", base, 1},
      {"not in the list", "Count=2\nRC1=ReadHumidity,1\nRC2=ReadSN\n", Without(base, lcReadSN, 0),
       1},
      {"removed twice: the second is skipped", "Count=2\nRC1=ReadSN\nRC2=ReadSN\n",
       Without(base, lcReadSN, 0), 1},
      {"huge Count", "Count=2000000000\nRC1=ReadSN\n", Without(base, lcReadSN, 0), 0},
      {"Count not a number", "Count=many\nRC1=ReadSN\n", base, 0},
      {"RC01 is not RC1", "Count=1\nRC01=ReadSN\n", base, 0},
      {"two-digit key numbers", "Count=10\nRC10=ReadCurrent\nRC2=ReadCurrent,2\n",
       Without(Without(base, lcReadCurrent, 2), lcReadCurrent, 1), 0},
  };
  for (const auto& c : cases) {
    TFixture f;
    EXPECT_TRUE(f.Apply(Layouts + "BaseCommands=keep\n[RemoveCommand]\n" + c.removals)) << c.name;
    EXPECT_EQ(Entries(f.Commands), c.expected) << c.name;
    EXPECT_EQ(f.Skipped.size(), c.skipped) << c.name;
  }
}

TEST(TemplateAdditions, AddWellFormedSectionsAfterTheList) {
  struct Case {
    const char* name;
    std::string section;  // the body of [Cmd1]
    bool added;
    std::vector<std::int16_t> indexes;
    int subId;
  } cases[] = {
      {"full", "ID=ReadFlowRate\nSubID=2\nIndexes=-1,1\n", true, {-1, 1}, 2},
      {"three indexes", "ID=ReadFlowRate\nIndexes=-1,1,2\n", true, {-1, 1, 2}, 0},
      {"trailing comma", "ID=ReadFlowRate\nIndexes=-1,1,\n", true, {-1, 1}, 0},
      {"blanks", "ID=ReadFlowRate\nIndexes= 1 , 2\n", true, {1, 2}, 0},
      {"no indexes", "ID=ReadFlowRate\n", true, {-1, 0}, 0},
      {"limits", "ID=ReadFlowRate\nIndexes=-32768,32767\nSubID=255\n", true, {-32768, 32767}, 255},
      {"empty element", "ID=ReadFlowRate\nIndexes=-1,,1\n", false, {}, 0},
      {"element not a number", "ID=ReadFlowRate\nIndexes=-1,a\n", false, {}, 0},
      {"element too large", "ID=ReadFlowRate\nIndexes=32768\n", false, {}, 0},
      {"SubID 256", "ID=ReadFlowRate\nSubID=256\n", false, {}, 0},
      {"SubID -1", "ID=ReadFlowRate\nSubID=-1\n", false, {}, 0},
      {"SubID not a number", "ID=ReadFlowRate\nSubID=one\n", false, {}, 0},
      {"no ID", "Command=r91\n", false, {}, 0},
      {"unknown ID", "ID=ReadQXC03SN\n", false, {}, 0},
  };
  for (const auto& c : cases) {
    TFixture f;
    EXPECT_TRUE(f.Apply(Layouts + "NewCommands=1\n[Cmd1]\n" + c.section +
                        "Command= r91 \nMask=\\AFLOW:(\\d+)\\Z\\r\\n\\AOK\\Z\nDescription=Flow\n"))
        << c.name;
    ASSERT_EQ(f.Commands.Count(), c.added ? 1 : 0) << c.name;
    if (!c.added) {
      EXPECT_EQ(f.Skipped.size(), c.section.starts_with("Command") ? 0u : 1u) << c.name;
      continue;
    }
    const TCommandSyntax& e = f.Commands.Items(0);
    EXPECT_EQ(e.ID, lcReadFlowRate) << c.name;
    EXPECT_EQ(e.SubID, c.subId) << c.name;
    EXPECT_EQ(e.Indexes, c.indexes) << c.name;
    EXPECT_EQ(e.Command, "r91") << c.name;
    EXPECT_EQ(e.Mask, "\\AFLOW:(\\d+)\\Z\\r\\n\\AOK\\Z") << c.name;
    EXPECT_EQ(e.Lines, 2) << c.name;
    EXPECT_EQ(e.Description, "Flow") << c.name;
  }
}

TEST(TemplateAdditions, CountSectionsInOrderAndCutLongTexts) {
  TFixture f;
  const std::string longText(300, 'm');
  EXPECT_TRUE(f.Apply(Layouts +
                      "BaseCommands=QT\nNewCommands=3\n[RemoveCommand]\nCount=1\n"
                      "RC1=ReadCurrent,2\n"
                      "[cmd3]\nID=SetCurrent\nSubID=2\nCommand=w62\n"
                      "[Cmd1]\nID=ReadCurrent\nSubID=2\nCommand=r65\nMask=" +
                      longText + "\nDescription=" + longText + "\n[Cmd4]\nID=Reset\n"));
  TCommandList expected;
  LoadBaseCommands(expected);
  LoadQTCommands(expected, false);
  auto entries = Without(Entries(expected), lcReadCurrent, 2);
  entries.emplace_back(lcReadCurrent, 2, "r65");
  entries.emplace_back(lcSetCurrent, 2, "w62");
  EXPECT_EQ(Entries(f.Commands), entries);
  const TCommandSyntax& added = f.Commands.Items(f.Commands.Count() - 2);
  EXPECT_EQ(added.Mask.size(), 255u);
  EXPECT_EQ(added.Description.size(), 255u);
  // The replacement is what the laser object now finds for branch 2.
  EXPECT_EQ(f.Commands.Items(f.Commands.IndexOf(lcReadCurrent, 2)).Command, "r65");
}

TEST(TemplateAdditions, TheIssueExampleMakesAReadyTwoBranchLaser) {
  TFixture f;
  EXPECT_TRUE(f.Apply("[general]\ncurrentlayout=3\ntriggerlayout=2\nbasecommands=QT\n"));
  EXPECT_EQ(f.Layout.Calls, (std::vector<std::string>{"current 6", "trigger 2"}));
  EXPECT_GE(f.Commands.IndexOf(lcReadFrequency, 2), 0);
  EXPECT_TRUE(f.Skipped.empty());
}

TEST(TemplateBase, AListWithoutTheSingleBranchEntriesRejectsInsteadOfThrowing) {
  TFixture f;
  f.Commands.Clear();
  EXPECT_FALSE(f.Apply(Layouts + "BaseCommands=ZE\n"));
  EXPECT_EQ(f.Skipped.size(), 1u);
}

namespace {

// A template too big to be sane is refused as a whole, before anything of it applies, and says
// why; so is one that cannot be found.
TEST(TemplateBounds, ATemplateTooBigIsRefusedSayingWhy) {
  std::string manyAdded = std::string(Layouts) + "NewCommands=129\n";
  for (int i = 1; i <= 129; ++i) {
    manyAdded += "[Cmd" + std::to_string(i) + "]\nID=Customized\nCommand=r" + std::to_string(i) +
                 "\nMask=\\A((A|AA)+)+\\Z\n";
  }
  std::string manyRemoved = std::string(Layouts) + "[RemoveCommand]\nCount=129\n";
  for (int i = 1; i <= 129; ++i) manyRemoved += "RC" + std::to_string(i) + "=ReadStatus\n";
  const std::string longLine =
      std::string(Layouts) + "Description=" + std::string(TemplateMaxLine, 'x') + "\n";
  std::string huge = std::string(Layouts);
  while (huge.size() <= TemplateMaxBytes) huge += "; " + std::string(200, 'c') + "\n";
  struct {
    const char* Name;
    std::string Text;
    std::string Why;  // the reason's end
  } cases[] = {
      {"129 commands added", manyAdded, "more than 128 commands added"},
      {"129 commands removed", manyRemoved, "more than 128 commands removed"},
      {"a line too long", longLine, "a line longer than 1024 characters"},
      {"a file too large", huge, "larger than 256 KiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir exe;
    std::ofstream(exe.Path() / "t.ini") << c.Text;
    TFixture f;
    std::string why;
    EXPECT_FALSE(
        LoadTemplate("t.ini", exe.Path(), f.Layout, f.Commands, f.Explanations, &f.Skipped, &why));
    EXPECT_TRUE(why.ends_with(c.Why)) << why;
    EXPECT_TRUE(f.Layout.Calls.empty());
    EXPECT_EQ(Entries(f.Commands), BaseEntries());
  }
  TTempDir exe;
  TFixture f;
  std::string why;
  EXPECT_FALSE(
      LoadTemplate("none.ini", exe.Path(), f.Layout, f.Commands, f.Explanations, &f.Skipped, &why));
  EXPECT_TRUE(why.ends_with("not found")) << why;
}

// A template is read once and kept until its file changes.
TEST(TemplateBounds, ReadOncePerChangeOfTheFile) {
  TTempDir exe;
  const fs::path path = exe.Path() / "t.ini";
  std::ofstream(path) << Layouts << "BaseCommands=QT\n";
  TTemplateCache cache;
  std::string why;
  const auto first = cache.Read(path, why);
  ASSERT_TRUE(first) << why;
  EXPECT_EQ(cache.Read(path, why), first) << "the same file, not read again";
  // another size: a file system may stamp both writes with the same time (Windows, Wine)
  std::ofstream(path) << Layouts << "BaseCommands=ZE\n\n";
  const auto second = cache.Read(path, why);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->ReadString("General", "BaseCommands", ""), "ZE");
  fs::remove(path);
  EXPECT_FALSE(cache.Read(path, why));
  EXPECT_EQ(why, "not found");
}

}  // namespace
