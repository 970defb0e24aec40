// The error tables of the two step sequences and the log they write: levels, dump modes, system
// error texts, and the time entries.
#include "installer_fixture.h"
#include "instlib.h"

#include <regex>

namespace {

const LOG_ENTRY *Last() { return GetLog()->pLast; }

TEST_F(InstallerTest, ClockFailuresAreLoggedOnceAndTheRunGoesOn)
{
    EXPECT_EQ(ProcessInstallError(1, GetLog()), 2);
    EXPECT_STREQ(Last()->szMessage, "Could not get start time\n");
    EXPECT_EQ(Last()->iLevel, LOG_NFO);
    EXPECT_EQ(ProcessInstallError(15, GetLog()), 16);
    EXPECT_STREQ(Last()->szMessage, "Could not get end time\n");
    EXPECT_EQ(ProcessUninstallError(0, GetLog()), 1);
    EXPECT_EQ(ProcessUninstallError(7, GetLog()), 8);
    // Disabling RSM never fails; if it did, the run would go on too.
    EXPECT_EQ(ProcessInstallError(7, GetLog()), 8);
}

TEST_F(InstallerTest, FailedStepsStopWithTheirTableMessage)
{
    const std::pair<int, const char *> install[] = {
        {4, "Current Windows version is not supported"},   {5, "Failed to locate all required driver sys files"},
        {6, "Failed to create necesary registry keys"},    {8, "Failed to uninstall devices"},
        {9, "Failed to install virtual changer bus"},      {10, "Failed to install virtual tape bus"},
        {11, "Failed to scan for hardware changes"},       {12, "Failed to install driver for medium changers"},
        {13, "Failed to install driver for tape drives"}, {14, "Failed to set post-installation registry keys"},
    };
    for (auto &[step, text] : install) {
        EXPECT_EQ(ProcessInstallError(step, GetLog()), STEP_STOP) << step;
        EXPECT_EQ(std::string(Last()->szMessage), std::string(text) + "\n");
        EXPECT_EQ(Last()->iLevel, LOG_ERR);
    }
    EXPECT_EQ(ProcessInstallError(3, GetLog()), STEP_USAGE);
    EXPECT_EQ(ProcessUninstallError(2, GetLog()), STEP_USAGE);
    EXPECT_EQ(ProcessUninstallError(4, GetLog()), STEP_STOP);
    EXPECT_STREQ(Last()->szMessage, "Failed to uninstall all devices\n");
    EXPECT_EQ(ProcessUninstallError(6, GetLog()), STEP_STOP);
    EXPECT_STREQ(Last()->szMessage, "Failed to delete all registry keys\n");
}

TEST_F(InstallerTest, StartTimeIsLoggedInAsctimeForm)
{
    ASSERT_EQ(GetTime(0, GetLog()), 1);
    std::string message = Last()->szMessage;
    EXPECT_TRUE(std::regex_match(message, std::regex("Start time: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] "
                                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n")))
        << message;
    EXPECT_EQ(Last()->iLevel, LOG_NFO);
}

TEST_F(InstallerTest, SystemErrorTextsReplaceTheMessage)
{
    LogMessage(GetLog(), 2, LOG_ERR, 10, "f", "dir/file.cpp", "ignored");
    EXPECT_STREQ(Last()->szMessage, "The system cannot find the file specified.\n");
    EXPECT_STREQ(Last()->szFile, "file.cpp");
    LogMessage(GetLog(), 0x1f, LOG_ERR, 10, "f", "file.cpp", "");
    EXPECT_STREQ(Last()->szMessage, "Returned error: 1F\n");
    // A message that fills the entry gets no line feed and is not overrun.
    std::string huge(3000, 'm');
    LogMessage(GetLog(), 0, LOG_DBG, 10, std::string(400, 'f').c_str(), "file.cpp", huge.c_str());
    EXPECT_EQ(std::string(Last()->szMessage), std::string(LOG_MESSAGE_CHARS, 'm'));
    EXPECT_EQ(std::string(Last()->szFunction).size(), (size_t)LOG_FUNCTION_CHARS);
}

TEST_F(InstallerTest, DumpModesChooseLevelsAndTheStreamGetsEverything)
{
    const char *texts[] = {"an error", "some information", "a detail", "a success", "entering", "leaving"};
    for (int level = 0; level <= 5; ++level)
        LogMessage(GetLog(), 0, level, 7, "Fn", "x.cpp", texts[level]);

    auto dump = [](int mode, INST_STREAM *stream) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        DumpLog(GetLog(), mode, stream);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        return std::make_pair(out, err);
    };
    auto [out0, err0] = dump(0, nullptr);
    EXPECT_EQ(out0, "a success\n");
    EXPECT_EQ(err0, "");
    auto [out1, err1] = dump(1, nullptr);
    EXPECT_EQ(out1, "some information\na success\n");
    auto [out2, err2] = dump(2, nullptr);
    EXPECT_EQ(err2, "ERR: x.cpp(7) : Fn-> an error\n");
    EXPECT_EQ(out2, "NFO: x.cpp(7) : Fn-> some information\nDBG: x.cpp(7) : Fn-> a detail\n"
                    "SUC: x.cpp(7) : Fn-> a success\nENT: x.cpp(7) : Fn-> entering\nEXT: x.cpp(7) : Fn-> leaving\n");

    INST_STREAM *stream = StreamOpen("C:\\VorkaPkg\\dump.txt", TRUE);
    ASSERT_NE(stream, nullptr);
    dump(0, stream);
    StreamClose(stream);
    auto file = fakemachine::GetFile("C:\\VorkaPkg\\dump.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, "ERR: x.cpp(7) : Fn-> an error\r\nNFO: x.cpp(7) : Fn-> some information\r\n"
                     "DBG: x.cpp(7) : Fn-> a detail\r\nSUC: x.cpp(7) : Fn-> a success\r\n"
                     "ENT: x.cpp(7) : Fn-> entering\r\nEXT: x.cpp(7) : Fn-> leaving\r\n");
}

} // namespace
