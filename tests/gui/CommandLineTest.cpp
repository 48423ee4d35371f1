#include "KestrelBinaryFixture.h"

#include <KestrelVersion.h>

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace kestrel_binary;

// The programs run without a display, as an installer over ssh or a system service runs them.
class CommandLine : public KestrelBinary {
protected:
    void SetUp() override {
        KestrelBinary::SetUp();
        unsetVariables = {"DISPLAY", "WAYLAND_DISPLAY"};
    }
};

// Every long option of a usage text ("--name").
std::vector<std::string> longOptions(const std::string& text) {
    std::vector<std::string> options;
    const std::regex option("--[a-z][a-z0-9-]*");
    for (auto match = std::sregex_iterator(text.begin(), text.end(), option);
         match != std::sregex_iterator(); ++match)
        options.push_back(match->str());
    return options;
}

TEST_F(CommandLine, KestrelHelpAndVersionGoToStandardOutputWithoutADisplay) {
    const ProcessRun help = kestrel({"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.output;
    EXPECT_EQ(help.standardError, "");
    for (const char* option :
         {"--unattended", "--quiet", "--log", "--path", "--ilang", "--json", "--version", "--help"})
        EXPECT_NE(help.standardOutput.find(option), std::string::npos) << option;
    EXPECT_NE(help.standardOutput.find("suppress display of graphical user interface"),
              std::string::npos);

    const ProcessRun version = kestrel({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(version.standardOutput, "Kestrel_Pavo880_CAT10_FW_&_Qlc_Standard 1.0.0.272\n");
    EXPECT_EQ(std::string(Kestrel::kVersion), "1.0.0.272") << "the project's one version";
    EXPECT_EQ(version.standardError, "");
}

TEST_F(CommandLine, KestrelWrongUsageIsReportedOnStandardErrorAsAStartUpFailure) {
    const ProcessRun run = kestrel({"--no-such-option", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 255) << run.output;
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_NE(run.standardError.find("no-such-option"), std::string::npos) << run.standardError;
    EXPECT_FALSE(fs::exists(codePath())) << "nothing ran";
}

TEST_F(CommandLine, QuietUpdateRunsWithoutADisplay) {
    startCard();
    const ProcessRun run = kestrel({"-q", "-l", "-p", codePath()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(codeFile(), "0\n");
    EXPECT_TRUE(registryWritten());
    EXPECT_NE(log().find("Execution mode is execNoInterface"), std::string::npos);
    EXPECT_NE(log().find("Application::openWindow(2, 0, 6)"), std::string::npos) << log();
    EXPECT_NE(log().find("Application::openWindow(5, 2, 9)"), std::string::npos)
        << "the progress window opens with the update page as its parent";
}

TEST_F(CommandLine, ModesWithWindowsSayInOneLineThatThereIsNoDisplay) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-u", "-l"}, {"-l"}}) {
        const ProcessRun run = kestrel(arguments);
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(std::count(run.standardError.begin(), run.standardError.end(), '\n'), 1)
            << run.standardError;
        EXPECT_NE(run.standardError.find("no display"), std::string::npos) << run.standardError;
        EXPECT_EQ(log().find("StateMachine::"), std::string::npos) << "the workflow never started";
    }
}

// Whether a line holds words of explanation besides options and placeholders.
bool explains(const std::string& line) {
    std::istringstream words(line);
    const std::regex word("[a-z]{3,}");
    for (std::string token; words >> token;) {
        if (token.find('-') == std::string::npos && std::regex_search(token, word))
            return true;
    }
    return false;
}

// Whether the help explains `option` on the line that names it or on the line after.
bool explained(const std::string& help, const std::string& option) {
    std::vector<std::string> lines;
    std::istringstream text(help);
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    const std::regex named("(^|[\\s\\[|])" + option + "($|[\\s=\\]])");
    for (size_t index = 0; index < lines.size(); ++index) {
        if (lines[index].rfind("usage", 0) == 0 || !std::regex_search(lines[index], named))
            continue;
        if (explains(lines[index]) || (index + 1 < lines.size() && explains(lines[index + 1])))
            return true;
    }
    return false;
}

struct Tool {
    const char* path;
    const char* name;
    std::vector<std::string> wrongUsage;
};

TEST_F(CommandLine, ToolsExplainEveryOptionPrintTheVersionAndRefuseWrongUsageWith2) {
    const Tool tools[] = {
        {KESTREL_PCK, "kestrel-pck", {"frobnicate"}},
        {KESTREL_HEADLESS, "kestrel-headless", {"--no-such-option"}},
        {KESTREL_NWMON, "kestrel-nwmon", {"--no-such-option"}},
        {KESTREL_CARDSIM, "kestrel-cardsim", {"--no-such-option"}},
    };
    for (const Tool& tool : tools) {
        SCOPED_TRACE(tool.name);
        const ProcessRun help = program(tool.path, {"--help"}, "10");
        EXPECT_EQ(help.exitCode, 0) << help.output;
        EXPECT_EQ(help.standardError, "");
        // Every option the help names is explained where it is named.
        const std::vector<std::string> options = longOptions(help.standardOutput);
        EXPECT_FALSE(options.empty());
        for (const std::string& option : options)
            EXPECT_TRUE(explained(help.standardOutput, option))
                << option << " is not explained in\n"
                << help.standardOutput;
        EXPECT_NE(help.standardOutput.find("--version"), std::string::npos);

        const ProcessRun version = program(tool.path, {"--version"}, "10");
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.standardOutput, std::string(tool.name) + " 1.0.0.272\n");

        const ProcessRun wrong = program(tool.path, tool.wrongUsage, "10");
        EXPECT_EQ(wrong.exitCode, 2) << wrong.output;
        EXPECT_EQ(wrong.standardOutput, "");
        EXPECT_NE(wrong.standardError.find("usage"), std::string::npos) << wrong.standardError;
    }
}

} // namespace
