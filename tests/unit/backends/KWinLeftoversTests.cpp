#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TarnwickScreenCapture/backends/kwin/KWinLeftovers.hpp"
#include "support/TemporaryFolder.hpp"

namespace tarnwick {
namespace {

using testing::TemporaryFolder;

TEST(ScriptNumbersIn, TakesNumberedNodesWithThePrefixOnly) {
    const std::string root =
        R"(<node><interface name="org.freedesktop.DBus.Introspectable"/><node name="KWin"/>)"
        R"(<node name="0"/><node name="12"/><node name="Scripting"/><node name="3x"/></node>)";
    const std::string scripting =
        R"(<node><node name="Script4"/><node name="Script"/><node name="Scripted7"/></node>)";
    const struct {
        std::string xml;
        std::string prefix;
        std::set<int> numbers;
    } cases[] = {
        {root, "", {0, 12}},
        {scripting, "Script", {4}},
        {R"(<node name="99999999999"/><node name="5)", "", {}},  // too long; unterminated
        {"", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scriptNumbersIn(c.xml, c.prefix), c.numbers) << c.xml;
    }
}

struct Leftovers : ::testing::Test {
    TemporaryFolder folder;
    FileDescriptor fd{::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    std::vector<std::string> unloaded;
    bool kwinAnswers = true;

    void clear() {
        clearLeftovers(
            fd.get(),
            [this](const std::string& name) {
                unloaded.push_back(name);
                return kwinAnswers;
            },
            std::chrono::seconds(60));
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(folder / name); }
};

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kLedger = "tarnwick-kwin-" + kToken;

TEST_F(Leftovers, ALiveRunsLedgerIsLeftAndAGoneRunsScriptsAreUnloadedAndItsLedgerRemoved) {
    {
        auto ledger = ScriptLedger::open(fd.get(), kToken);
        ASSERT_TRUE(ledger);
        ASSERT_TRUE(ledger->add("tarnwick-screen-capture-" + kToken + "-0"));
        ASSERT_TRUE(ledger->add("tarnwick-screen-capture-" + kToken + "-1"));
        clear();  // the run lives: its lock holds
        EXPECT_TRUE(unloaded.empty());
        EXPECT_TRUE(exists(kLedger));
        EXPECT_FALSE(exists(kLedger + ".new"));
    }  // killed: the lock goes with it, the ledger stays
    EXPECT_TRUE(exists(kLedger));
    kwinAnswers = false;
    clear();
    EXPECT_EQ(unloaded.size(), 1u);
    EXPECT_TRUE(exists(kLedger)) << "kept for a KWin that answers";
    unloaded.clear();
    kwinAnswers = true;
    clear();
    EXPECT_EQ(unloaded, (std::vector<std::string>{"tarnwick-screen-capture-" + kToken + "-0",
                                                  "tarnwick-screen-capture-" + kToken + "-1"}));
    EXPECT_FALSE(exists(kLedger));
}

TEST_F(Leftovers, ARunThatEndsRemovesItsLedger) {
    auto ledger = ScriptLedger::open(fd.get(), kToken);
    ASSERT_TRUE(ledger);
    EXPECT_FALSE(ScriptLedger::open(fd.get(), kToken)) << "a token is never taken twice";
    ledger->remove();
    EXPECT_TRUE(std::filesystem::is_empty(folder.path));
    EXPECT_FALSE(ScriptLedger::open(fd.get(), "../escape"));
}

TEST_F(Leftovers, OnlyOldFoldersOfEarlierVersionsGoAndOtherFilesStay) {
    const auto make = [&](const std::string& name, int ageSeconds) {
        std::filesystem::create_directory(folder / name);
        folder.write(name + "/list-windows.js", "script");
        const timespec times[2] = {{::time(nullptr) - ageSeconds, 0},
                                   {::time(nullptr) - ageSeconds, 0}};
        ::utimensat(fd.get(), name.c_str(), times, 0);
    };
    make("tarnwick-kwin-Ab12Cd", 3600);
    make("tarnwick-kwin-Ef34Gh", 5);  // a run of an earlier version may still use it
    make("tarnwick-kwin-other-folder", 3600);
    folder.write("tarnwick-kwin-" + std::string(32, 'z'), "not-a-script-name\n");
    std::filesystem::create_symlink(folder.path, folder / ("tarnwick-kwin-" + kToken));
    clear();
    EXPECT_TRUE(unloaded.empty());
    EXPECT_FALSE(exists("tarnwick-kwin-Ab12Cd"));
    EXPECT_TRUE(exists("tarnwick-kwin-Ef34Gh/list-windows.js"));
    EXPECT_TRUE(exists("tarnwick-kwin-other-folder/list-windows.js"));
    EXPECT_FALSE(exists("tarnwick-kwin-" + std::string(32, 'z')));
    EXPECT_TRUE(std::filesystem::is_symlink(folder / ("tarnwick-kwin-" + kToken)));
}

}  // namespace
}  // namespace tarnwick
