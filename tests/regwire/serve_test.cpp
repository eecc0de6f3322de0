// regwire as client against a second regwire serving its in-memory tables:
// coils and holding registers start at 0, discrete input i is on when i is
// odd, input register i holds i.
#include "cliline.h"
// cliline.h first: its system headers come before gtest's.
#include <gtest/gtest.h>

#include <algorithm>

namespace {

class RegwireAgainstServe : public ::testing::Test {
  protected:
    void SetUp() override { Server = Line.Serve(); }
    void TearDown() override {
        Server->Signal(SIGTERM);
        EXPECT_EQ(Server->Wait(), 0) << Server->Err();
    }

    TCliLine Line;
    std::unique_ptr<TRegwireProcess> Server;
};

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(RegwireAgainstServe, ReadCommandsPrintTheTablesAsTextAndJson) {
    struct Case {
        std::vector<std::string> words;
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {{"read-coils", "0", "3"},
         "0: 0\n1: 0\n2: 0\n",
         R"({"function":1,"status":"success","attempts":1,"rttUs":0,"start":0,"values":[0,0,0]})"},
        {{"read-discrete-inputs", "4", "4"},
         "4: 0\n5: 1\n6: 0\n7: 1\n",
         R"({"function":2,"status":"success","attempts":1,"rttUs":0,"start":4,"values":[0,1,0,1]})"},
        {{"read-holding-registers", "0x0A", "2"},
         "10: 0\n11: 0\n",
         R"({"function":3,"status":"success","attempts":1,"rttUs":0,"start":10,"values":[0,0]})"},
        {{"read-input-registers", "98", "2"},
         "98: 98\n99: 99\n",
         R"({"function":4,"status":"success","attempts":1,"rttUs":0,"start":98,"values":[98,99]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front());
        const TRun text = Line.Run(c.words);
        EXPECT_EQ(text.Status, 0) << text.Err;
        EXPECT_EQ(text.Out, c.text);
        EXPECT_EQ(text.Err, "");
        const TRun json = Line.Run(Joined({"--json"}, c.words));
        EXPECT_EQ(json.Status, 0) << json.Err;
        EXPECT_EQ(JsonLines(json.Out), JsonLines(c.json + "\n"));
    }
}

TEST_F(RegwireAgainstServe, WritesAreConfirmedAndReadBack) {
    struct Case {
        std::vector<std::string> write;
        std::string confirmation;
        std::vector<std::string> read;
        std::string text;
    };
    const Case cases[] = {
        {{"write-coil", "3", "1"},
         "written 1 coil at 3\n",
         {"read-coils", "2", "3"},
         "2: 0\n3: 1\n4: 0\n"},
        {{"write-register", "7", "0xBEEF"},
         "written 1 register at 7\n",
         {"read-holding-registers", "7", "1"},
         "7: 48879\n"},
        {{"write-coils", "10", "1", "0", "1", "1"},
         "written 4 coils at 10\n",
         {"read-coils", "10", "4"},
         "10: 1\n11: 0\n12: 1\n13: 1\n"},
        {{"write-registers", "20", "1", "2", "65535"},
         "written 3 registers at 20\n",
         {"read-holding-registers", "20", "3"},
         "20: 1\n21: 2\n22: 65535\n"},
        {{"--quiet", "write-registers", "20", "9"},
         "",
         {"read-holding-registers", "20", "1"},
         "20: 9\n"},
        // 1-based addresses are typed and printed as such.
        {{"--base", "1", "write-register", "25", "5"},
         "written 1 register at 25\n",
         {"read-holding-registers", "24", "1"},
         "24: 5\n"},
        // A broadcast is taken by every server and answered by none.
        {{"-a", "0", "write-register", "5", "7"},
         "written 1 register at 5 by broadcast (no server confirms it)\n",
         {"read-holding-registers", "5", "1"},
         "5: 7\n"},
        // Register pairs written as numbers, as they are read.
        {{"--format", "float", "write-registers", "50", "12.5", "-0.25"},
         "written 4 registers at 50\n",
         {"read-holding-registers", "50", "4"},
         "50: 16712\n51: 0\n52: 48768\n53: 0\n"},
        {{"--format", "float-swapped", "write-registers", "50", "12.5"},
         "written 2 registers at 50\n",
         {"--format", "float-swapped", "read-holding-registers", "50", "2"},
         "50: 12.5\n"},
        {{"--format", "int32", "write-registers", "60", "-2", "70000"},
         "written 4 registers at 60\n",
         {"read-holding-registers", "60", "4"},
         "60: 65535\n61: 65534\n62: 1\n63: 4464\n"},
        {{"--format", "int32-swapped", "write-registers", "60", "70000"},
         "written 2 registers at 60\n",
         {"read-holding-registers", "60", "2"},
         "60: 4464\n61: 1\n"},
        {{"--format", "signed", "write-registers", "70", "-1", "5"},
         "written 2 registers at 70\n",
         {"--format", "signed", "read-holding-registers", "70", "2"},
         "70: -1\n71: 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.write.front() + " " + c.write[1]);
        const TRun write = Line.Run(c.write);
        EXPECT_EQ(write.Status, 0) << write.Err;
        EXPECT_EQ(write.Out, c.confirmation);
        EXPECT_EQ(write.Err, "");
        const TRun read = Line.Run(c.read);
        EXPECT_EQ(read.Status, 0) << read.Err;
        EXPECT_EQ(read.Out, c.text);
    }
    const TRun json = Line.Run({"--json", "write-registers", "30", "4", "5"});
    EXPECT_EQ(JsonLines(json.Out),
              JsonLines(R"({"function":16,"status":"success","attempts":1,"rttUs":0,)"
                        R"("start":30,"values":[4,5]})"
                        "\n"));
    const TRun broadcast = Line.Run({"--json", "-a", "0", "write-register", "5", "8"});
    EXPECT_EQ(JsonLines(broadcast.Out),
              JsonLines(R"({"function":6,"status":"success","attempts":1,"rttUs":0,)"
                        R"("broadcast":true})"
                        "\n"));
}

// 1.5 as a float, high word first, then a pair that is no number as a float
// and -2 as a 32-bit integer.
TEST_F(RegwireAgainstServe, RegistersShowInTheFormatAsked) {
    ASSERT_EQ(Line.Run({"write-registers", "40", "0x3FC0", "0", "0xFFFF", "0xFFFE"}).Status, 0);
    struct Case {
        std::vector<std::string> words;
        std::string text;
    };
    const std::vector<std::string> read = {"read-holding-registers", "40", "4"};
    const Case cases[] = {
        {Joined({"--format", "unsigned"}, read), "40: 16320\n41: 0\n42: 65535\n43: 65534\n"},
        {Joined({"--format", "signed"}, read), "40: 16320\n41: 0\n42: -1\n43: -2\n"},
        {Joined({"--format", "hex"}, read), "40: 0x3FC0\n41: 0x0000\n42: 0xFFFF\n43: 0xFFFE\n"},
        {Joined({"--format", "int32"}, read), "40: 1069547520\n42: -2\n"},
        {Joined({"--format", "int32-swapped"}, read), "40: 16320\n42: -65537\n"},
        {Joined({"--format", "float"}, read), "40: 1.5\n42: nan\n"},
        {Joined({"--format", "float-swapped"}, read), "40: 2.2869e-41\n42: nan\n"},
        {{"--base", "1", "--format", "int32", "read-holding-registers", "41", "4"},
         "41: 1069547520\n43: -2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[1]);
        const TRun run = Line.Run(c.words);
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Out, c.text);
    }
    const TRun json = Line.Run(Joined({"--json", "--format", "float"}, read));
    EXPECT_EQ(JsonLines(json.Out),
              JsonLines(R"({"function":3,"status":"success","attempts":1,"rttUs":0,)"
                        R"("start":40,"values":[1.5,null]})"
                        "\n"));
}

TEST_F(RegwireAgainstServe, ExceptionReplyExitsOneAndNamesTheException) {
    struct Case {
        std::vector<std::string> words;
        int function;
        int code;
        std::string name;
    };
    const Case cases[] = {
        {{"read-holding-registers", "99", "2"}, 3, 2, "Illegal data address"},
        {{"write-coil", "100", "1"}, 5, 2, "Illegal data address"},
        {{"diagnostics", "0", "0x1234"}, 8, 1, "Illegal function"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front());
        const TRun text = Line.Run(c.words);
        EXPECT_EQ(text.Status, 1);
        EXPECT_EQ(text.Out, "");
        EXPECT_NE(text.Err.find(c.name), std::string::npos) << text.Err;
        const TRun json = Line.Run(Joined({"--json"}, c.words));
        EXPECT_EQ(json.Status, 1);
        EXPECT_EQ(JsonLines(json.Out),
                  JsonLines(R"({"function":)" + std::to_string(c.function) +
                            R"(,"status":"exception","attempts":1,"rttUs":0,"exceptionCode":)" +
                            std::to_string(c.code) + R"(,"exception":")" + c.name + "\"}\n"));
    }
}

TEST_F(RegwireAgainstServe, AnotherServerAddressGetsNoReplyAndExitsTwo) {
    const TRun text = Line.Run({"-a", "7", "-t", "100", "read-holding-registers", "0", "1"});
    EXPECT_EQ(text.Status, 2);
    EXPECT_EQ(text.Out, "");
    EXPECT_NE(text.Err.find("no reply from server 7"), std::string::npos) << text.Err;

    const TRun json =
        Line.Run({"--json", "-a", "7", "-t", "100", "-r", "1", "read-coils", "0", "1"});
    EXPECT_EQ(json.Status, 2);
    EXPECT_EQ(JsonLines(json.Out),
              JsonLines(R"({"function":1,"status":"no reply","attempts":2,"rttUs":0})"
                        "\n"));
}

TEST_F(RegwireAgainstServe, CustomFunctionPrintsTheResponseData) {
    const TRun text = Line.Run({"custom", "3", "00000002"});
    EXPECT_EQ(text.Status, 0) << text.Err;
    EXPECT_EQ(text.Out, "04 00 00 00 00\n");
    const TRun json = Line.Run({"--json", "custom", "0x04", "00630001"});
    EXPECT_EQ(JsonLines(json.Out), JsonLines(R"({"function":4,"status":"success","attempts":1,)"
                                             R"("rttUs":0,"response":"020063"})"
                                             "\n"));
}

TEST_F(RegwireAgainstServe, FramesPrintsEachFrameInHexOnStandardError) {
    const TRun read = Line.Run({"--frames", "read-holding-registers", "0", "1"});
    EXPECT_EQ(read.Status, 0);
    EXPECT_EQ(read.Out, "0: 0\n");
    EXPECT_EQ(read.Err, "> 01 03 00 00 00 01 84 0A\n< 01 03 02 00 00 B8 44\n");

    // Every attempt is shown; a server that keeps silent shows no reply.
    const TRun unanswered = Line.Run(
        {"--frames", "-a", "7", "-r", "1", "-t", "50", "read-holding-registers", "0", "1"});
    EXPECT_EQ(unanswered.Status, 2);
    EXPECT_EQ(unanswered.Err.find("> 07 03 00 00 00 01 84 6C\n> 07 03 00 00 00 01 84 6C\n"), 0u)
        << unanswered.Err;
    EXPECT_EQ(unanswered.Err.find("< "), std::string::npos);
}

TEST_F(RegwireAgainstServe, CountRepeatsAndEndsWithASummary) {
    const TRun text = Line.Run({"-c", "3", "-i", "20", "read-input-registers", "5", "1"});
    EXPECT_EQ(text.Status, 0) << text.Err;
    EXPECT_EQ(text.Out, "5: 5\n5: 5\n5: 5\n");
    for (const char* line :
         {"transactions: 3\n", "success: 3\n", "retries: 0\n", "round trip: min "})
        EXPECT_NE(text.Err.find(line), std::string::npos) << line << " in " << text.Err;

    const TRun json = Line.Run({"--json", "-c", "2", "-i", "0", "read-coils", "0", "1"});
    EXPECT_EQ(json.Status, 0);
    EXPECT_EQ(Lines(json.Out), 2u);
    EXPECT_NE(json.Out.find("\"function\":1,"), std::string::npos);

    // The exit status tells the last failure; the summary counts each kind.
    const TRun failing = Line.Run({"-c", "2", "-i", "0", "read-holding-registers", "99", "2"});
    EXPECT_EQ(failing.Status, 1);
    EXPECT_NE(failing.Err.find("exception: 2\n"), std::string::npos) << failing.Err;
}

TEST_F(RegwireAgainstServe, InterruptEndsAnEndlessRunWithASummary) {
    const auto client = Line.Start({"-c", "0", "-i", "10", "read-coils", "0", "1"});
    ASSERT_TRUE(client->WaitUntil([&] { return Lines(client->Out()) >= 3; }));
    client->Signal(SIGINT);
    EXPECT_EQ(client->Wait(), 0) << client->Err();
    EXPECT_NE(client->Err().find("transactions: "), std::string::npos) << client->Err();
    EXPECT_NE(client->Err().find("success: "), std::string::npos);
    EXPECT_NE(client->Err().find("round trip: min "), std::string::npos);
}

TEST_F(RegwireAgainstServe, ThePortServeHoldsCannotBeOpenedAgain) {
    TRegwireProcess second({"-p", Line.FarPath(), "read-coils", "0", "1"});
    EXPECT_EQ(second.Wait(), 74);
    EXPECT_NE(second.Err().find(Line.FarPath()), std::string::npos) << second.Err();
}

TEST(RegwireServeInAscii, AnswersAnAsciiClient) {
    TCliLine line;
    const auto server = line.Serve({"-m", "ascii"});
    const TRun write = line.Run({"-m", "ascii", "--frames", "write-register", "3", "0x1234"});
    EXPECT_EQ(write.Status, 0) << write.Err;
    // ':' starts and CR LF ends each frame; the digits are ASCII hex.
    EXPECT_EQ(write.Err.find("> 3A 30 31 30 36 "), 0u) << write.Err;
    EXPECT_NE(write.Err.find(" 0D 0A\n< 3A 30 31 30 36 "), std::string::npos) << write.Err;
    const TRun read = line.Run({"-m", "ascii", "read-holding-registers", "3", "1"});
    EXPECT_EQ(read.Status, 0) << read.Err;
    EXPECT_EQ(read.Out, "3: 4660\n");
    // A client in RTU is not understood.
    EXPECT_EQ(line.Run({"-t", "100", "read-holding-registers", "3", "1"}).Status, 2);
    server->Signal(SIGINT);
    EXPECT_EQ(server->Wait(), 0) << server->Err();
}

// Told to keep gap timing, serve ends each request at a silence, as the
// console's library does, and answers masters of either timing.
TEST(RegwireServeInGapTiming, AnswersMastersOfEitherTiming) {
    TCliLine line;
    const auto server = line.Serve({"--timing", "gap"});
    for (const std::string timing : {"gap", "standard"}) {
        const TRun read = line.Run({"--timing", timing, "read-input-registers", "5", "1"});
        EXPECT_EQ(read.Status, 0) << timing << ": " << read.Err;
        EXPECT_EQ(read.Out, "5: 5\n") << timing;
    }
    server->Signal(SIGINT);
    EXPECT_EQ(server->Wait(), 0) << server->Err();
}

}  // namespace
