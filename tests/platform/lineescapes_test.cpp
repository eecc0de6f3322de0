#include "platform/lineescapes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace {

struct Decoded {
    std::string Text;
    bool LineError = false;
};

// Feeds the pieces in order, as successive reads from the driver.
Decoded Decode(const std::vector<std::string>& pieces) {
    TLineEscapeDecoder decoder;
    Decoded result;
    for (std::string piece : pieces) {
        const size_t kept = decoder.Decode(reinterpret_cast<uint8_t*>(piece.data()), piece.size(),
                                           result.LineError);
        result.Text += piece.substr(0, kept);
    }
    return result;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

}  // namespace

TEST(LineEscapeDecoder, RestoresTheLineCharactersAndReportsMarkedErrors) {
    struct Case {
        const char* Name;
        std::vector<std::string> Pieces;
        std::string Text;
        bool LineError;
    };
    const Case cases[] = {
        {"plain", {Bytes({0x0A, 0x03, 0x00, 0x20})}, Bytes({0x0A, 0x03, 0x00, 0x20}), false},
        {"doubled data byte", {Bytes({1, 0xFF, 0xFF, 2})}, Bytes({1, 0xFF, 2}), false},
        {"parity error", {Bytes({1, 0xFF, 0x00, 0x41, 2})}, Bytes({1, 0x41, 2}), true},
        {"break", {Bytes({0xFF, 0x00, 0x00})}, Bytes({0x00}), true},
        {"doubling split across reads",
         {Bytes({1, 0xFF}), Bytes({0xFF, 2})},
         Bytes({1, 0xFF, 2}),
         false},
        {"mark split across reads", {Bytes({0xFF}), Bytes({0x00}), Bytes({0x41})}, "A", true},
        {"garbled escape", {Bytes({0xFF, 0x41})}, "A", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Decoded d = Decode(c.Pieces);
        EXPECT_EQ(d.Text, c.Text);
        EXPECT_EQ(d.LineError, c.LineError);
    }
}

TEST(LineEscapeDecoder, ResetForgetsAHalfSeenMark) {
    TLineEscapeDecoder decoder;
    bool lineError = false;
    uint8_t first[] = {0xFF};
    EXPECT_EQ(decoder.Decode(first, 1, lineError), 0u);
    decoder.Reset();
    uint8_t second[] = {0x00, 0x41};
    EXPECT_EQ(decoder.Decode(second, 2, lineError), 2u);
    EXPECT_FALSE(lineError);
}
