#include "calc/memorycalculator.h"
#include "calc/model.h"
#include "platform/fperror.h"
#include "platform/msgsink.h"
#include "platform/numtext.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace calc;

namespace {

// The operator's separators, in place before the window is created.
struct TSeparators {
    explicit TSeparators(char decimal) {
        platform::FormatSettings().DecimalSeparator = decimal;
        platform::FormatSettings().ThousandSeparator = decimal == ',' ? '.' : ',';
    }
    ~TSeparators() { platform::FormatSettings() = {}; }
};

// The calculator part of a freshly started window, with every message box
// recorded instead of shown.
class CalculatorTest : public ::testing::TestWithParam<char> {
  protected:
    void SetUp() override {
        previous_ = platform::SetMessageSink(
            [this](const platform::TMessage& m) { Messages.push_back(m.Caption + ": " + m.Text); });
        w.Start();
    }
    void TearDown() override { platform::SetMessageSink(previous_); }

    // A number text with the separator under test ("40.02" -> "40,02").
    static std::string Local(std::string text) {
        for (char& c : text) {
            if (c == '.')
                c = GetParam();
        }
        return text;
    }

    std::map<std::string, std::string> Texts() const {
        std::map<std::string, std::string> texts;
        for (const auto& [name, field] : w.Fields())
            texts[name] = field->Text();
        return texts;
    }

    // The operator switches to manual input and types a wanted output.
    void TypeWanted(const std::string& text) {
        w.SetAllowInput(true);
        w.edtDilutedOput.SetText(Local(text));
    }

    TSeparators separators_{GetParam()};
    TMemoryCalculator w;
    std::vector<std::string> Messages;

  private:
    platform::TMessageSink previous_;
};

INSTANTIATE_TEST_SUITE_P(DecimalSeparators, CalculatorTest, ::testing::Values('.', ','));

TEST_P(CalculatorTest, StartShowsTheFirstExampleWithApplyDisabled) {
    const std::map<std::string, std::string> expected = {{"edtTemp", "40"},
                                                         {"edtFlow", "6"},
                                                         {"edtDilutionFlow", "10"},
                                                         {"edtPbar", Local("29.96")},
                                                         {"edtDp", "0"},
                                                         {"edtRefTemp", "20"},
                                                         {"edtSatConc", Local("6.25E+01")},
                                                         {"edtSatFlow", Local("6.407207")},
                                                         {"edtSaturator", Local("400.45")},
                                                         {"edtUncorrectedOput", Local("37.48")},
                                                         {"edtDilutedOput", Local("40.02")},
                                                         {"edtRatio", Local("1.07")}};
    EXPECT_EQ(Texts(), expected);
    EXPECT_FALSE(w.btnApplyEnabled);
    EXPECT_NEAR(static_cast<double>(w.Calculator.SatConc), 62.510151, 5e-7);
}

TEST_P(CalculatorTest, EnterThenExitBackCalculatesOnce) {
    w.edtSatFlow.SetText(Local("1.5"));  // shows whether the forward steps ran again
    TypeWanted("40.02");
    EXPECT_TRUE(w.edtDilutedOput.Focused());
    EXPECT_TRUE(w.edtFlow.ReadOnly());
    EXPECT_FALSE(w.edtDilutedOput.ReadOnly());

    w.Calculator.edtDilutedOputKeyDown(vkReturn);
    EXPECT_EQ(w.edtFlow.Text(), "6");
    EXPECT_EQ(w.edtUncorrectedOput.Text(), Local("37.48"));
    EXPECT_EQ(w.edtRatio.Text(), Local("1.07"));
    EXPECT_EQ(w.edtSatFlow.Text(), Local("1.500000"));
    EXPECT_TRUE(w.btnApplyEnabled);
    EXPECT_NEAR(static_cast<double>(w.Calculator.CalcFlow), 5.99887, 5e-6);

    // The exit that follows the Enter must not run it again: a now-invalid
    // wanted output would be reported if it did.
    w.edtDilutedOput.SetText("0");
    w.Calculator.edtDilutedOputExit();
    EXPECT_TRUE(Messages.empty());
    EXPECT_FALSE(w.Calculator.ConcEntered);

    // A second exit without Enter does run it.
    w.Calculator.edtDilutedOputExit();
    EXPECT_EQ(Messages, std::vector<std::string>{"Error: Invalid concentration value"});
}

TEST_P(CalculatorTest, RejectedBackCalculationsLeaveFlowAndApplyAlone) {
    const struct {
        const char* Wanted;
        const char* Message;
    } cases[] = {
        {"0", "Error: Invalid concentration value"},
        {"100000", "Error: The calculated Flow Value is below the acceptable limit of 0"},
        {"400", "Error: The calculated Flow Value is above the acceptable limit of 20"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Wanted);
        Messages.clear();
        TypeWanted(c.Wanted);
        w.Focus.Current = nullptr;
        w.Calculator.edtDilutedOputKeyDown(vkReturn);
        EXPECT_EQ(Messages, std::vector<std::string>{c.Message});
        EXPECT_EQ(w.edtFlow.Text(), "6");
        EXPECT_EQ(w.edtRatio.Text(), Local("1.07"));
        EXPECT_EQ(w.edtDilutedOput.Text(), Local(c.Wanted));
        EXPECT_TRUE(w.edtDilutedOput.Focused());
        EXPECT_FALSE(w.btnApplyEnabled);
    }
}

TEST_P(CalculatorTest, BoundsInMessagesAreGeneralNumberTexts) {
    w.edtFlow.SetBounds(0.5L, 19.5L);
    TypeWanted("400");
    w.Calculator.btnCalculateClick();
    TypeWanted("1");
    w.Calculator.btnCalculateClick();
    EXPECT_EQ(
        Messages,
        (std::vector<std::string>{
            "Error: The calculated Flow Value is above the acceptable limit of " + Local("19.5"),
            "Error: The calculated Flow Value is below the acceptable limit of " + Local("0.5")}));
    EXPECT_NEAR(static_cast<double>(w.Calculator.CalcFlow), 0.14981, 5e-6)
        << "a rejected flow is kept";
}

TEST_P(CalculatorTest, FlowOnTheBoundIsAccepted) {
    w.edtFlow.SetBounds(0, 15.00317L);
    TypeWanted("100");
    w.Calculator.btnCalculateClick();
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(w.edtFlow.Text(), "15");
}

TEST_P(CalculatorTest, UnguardedSaturatorConditionsReachTheErrorBox) {
    w.edtRefTemp.SetText(Local("-273.15"));
    TypeWanted("40");
    EXPECT_THROW(w.Calculator.edtDilutedOputKeyDown(vkReturn), EImpossibleInput);
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(w.edtFlow.Text(), "6");
}

TEST_P(CalculatorTest, TypingTheWantedOutputDoesNotTouchRatioOrApply) {
    TypeWanted("55");
    EXPECT_EQ(w.edtRatio.Text(), Local("1.07"));
    EXPECT_FALSE(w.btnApplyEnabled);
}

TEST_P(CalculatorTest, ForwardRunReplacesTheTypedOutputAndEnablesApply) {
    TypeWanted("55");
    w.Focus.Current = &w.edtTemp;
    w.edtTemp.SetText("45");
    w.Calculator.edtExit();
    EXPECT_EQ(w.edtSatConc.Text(), Local("8.94E+01"));
    EXPECT_NE(w.edtDilutedOput.Text(), "55");
    EXPECT_TRUE(w.btnApplyEnabled);
}

// A result that cannot be computed is cleared, and so is everything
// computed from it; what does not depend on it is still computed.
TEST_P(CalculatorTest, FailedStepsClearWhatFollowsFromThem) {
    using TInput = TMemoryField TMemoryCalculator::*;
    const struct {
        std::vector<std::pair<TInput, const char*>> Typed;
        std::map<std::string, std::string> Shown;
        const char* Failure;
    } cases[] = {
        {{{&TMemoryCalculator::edtPbar, "0"}},
         {{"edtSatConc", "6.25E+01"},
          {"edtSatFlow", ""},
          {"edtSaturator", ""},
          {"edtUncorrectedOput", "37.48"},
          {"edtDilutedOput", ""},
          {"edtRatio", ""}},
         "edtSatFlow: Atmospheric pressure: the absolute pressure in the saturator must be above "
         "0 in. Hg"},
        {{{&TMemoryCalculator::edtRefTemp, "-273.15"}},
         {{"edtSatConc", "6.25E+01"},
          {"edtSatFlow", ""},
          {"edtSaturator", ""},
          {"edtUncorrectedOput", "37.48"},
          {"edtDilutedOput", ""},
          {"edtRatio", ""}},
         "edtSatFlow: Reference temperature: must be above absolute zero (-273.15 \u00B0C)"},
        {{{&TMemoryCalculator::edtTemp, "-300"}},
         {{"edtSatConc", ""},
          {"edtSatFlow", "-0.549365"},
          {"edtSaturator", ""},
          {"edtUncorrectedOput", ""},
          {"edtDilutedOput", ""},
          {"edtRatio", ""}},
         "edtSatConc: Invalid floating point operation"},
        {{{&TMemoryCalculator::edtFlow, "0"}, {&TMemoryCalculator::edtDilutionFlow, "0"}},
         {{"edtSatConc", "6.25E+01"},
          {"edtSatFlow", "0.000000"},
          {"edtSaturator", "0"},
          {"edtUncorrectedOput", ""},
          {"edtDilutedOput", ""},
          {"edtRatio", ""}},
         "edtUncorrectedOput: Invalid floating point operation"},
    };
    std::vector<std::string> failures;
    w.Calculator.OnStepFailed = [&](const TCalcTextField& field, const std::string& message) {
        for (const auto& [name, f] : w.Fields()) {
            if (f == &field)
                failures.push_back(name + ": " + message);
        }
    };
    const auto started = Texts();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Failure);
        failures.clear();
        for (const auto& [input, text] : c.Typed)
            (w.*input).SetText(Local(text));
        w.Calculator.btnCalculateClick();
        auto shown = Texts();
        for (const auto& [name, text] : c.Shown)
            EXPECT_EQ(shown[name], Local(text)) << name;
        ASSERT_FALSE(failures.empty());
        EXPECT_EQ(failures.front(), c.Failure);
        EXPECT_TRUE(Messages.empty());

        // Back to the start's inputs: every result shows again, also the
        // ones whose text is the one cleared before.
        const TMemoryCalculator fresh;
        for (const auto& [input, text] : c.Typed)
            (w.*input).SetText((fresh.*input).Text());
        w.Calculator.btnCalculateClick();
        EXPECT_EQ(Texts(), started);
    }
}

// The zero gas: 0.00 over 0.00 is no ratio, but the outputs stand and may
// be applied.
TEST_P(CalculatorTest, TheZeroGasHasItsOutputsAndNoRatio) {
    std::vector<std::string> failures;
    w.Calculator.OnStepFailed = [&](const TCalcTextField&, const std::string& message) {
        failures.push_back(message);
    };
    w.edtFlow.SetText("0");
    w.Calculator.btnCalculateClick();
    EXPECT_EQ(w.edtUncorrectedOput.Text(), "0");
    EXPECT_EQ(w.edtDilutedOput.Text(), "0");
    EXPECT_EQ(w.edtRatio.Text(), "");
    EXPECT_TRUE(failures.empty());
    EXPECT_TRUE(Messages.empty());
    EXPECT_TRUE(w.btnApplyEnabled);
}

// Cd of 8.2 ml/min into 13.5 l/min is 40.51, the form's own design value:
// the ratio must still follow the new Cu.
TEST_P(CalculatorTest, AnUnchangedTextStillRecomputesWhatFollows) {
    TMemoryCalculator loaded;
    loaded.edtFlow.SetText(Local("8.2"));
    loaded.edtDilutionFlow.SetText(Local("13.5"));
    loaded.Start();
    EXPECT_EQ(loaded.edtDilutedOput.Text(), Local("40.51"));
    EXPECT_EQ(loaded.edtUncorrectedOput.Text(), Local("37.94"));
    EXPECT_EQ(loaded.edtRatio.Text(), Local("1.07"));
}

// A typed tie shows as the operator typed it, and the whole chain runs on
// the shown value.
TEST_P(CalculatorTest, TypedTiesRoundUpAndTheChainUsesTheShownValue) {
    const struct {
        TMemoryField TMemoryCalculator::*Field;
        const char* Typed;
        const char* Shown;
    } cases[] = {
        {&TMemoryCalculator::edtTemp, "45.35", "45.4"},
        {&TMemoryCalculator::edtTemp, "30.05", "30.1"},
        {&TMemoryCalculator::edtFlow, "1.15", "1.2"},
        {&TMemoryCalculator::edtDilutionFlow, "2.35", "2.4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Typed);
        TMemoryCalculator typed, shown;
        (typed.*c.Field).SetText(Local(c.Typed));
        (shown.*c.Field).SetText(Local(c.Shown));
        typed.Start();
        shown.Start();
        EXPECT_EQ((typed.*c.Field).Text(), Local(c.Shown));
        for (size_t i = 0; i < typed.Fields().size(); ++i)
            EXPECT_EQ(typed.Fields()[i].second->Text(), shown.Fields()[i].second->Text());
    }
}

// The flow is held to 0.1 ml/min: a wanted output it cannot deliver within
// 1 % gets a word beside it.
TEST_P(CalculatorTest, BackCalculationTellsWhatTheHeldFlowDelivers) {
    TypeWanted("1");
    w.Calculator.edtDilutedOputKeyDown(vkReturn);
    EXPECT_EQ(w.edtFlow.Text(), Local("0.1"));
    EXPECT_EQ(w.DeliveryHint, Local("Flow 0.1 delivers 0.67 ng/l"));
    EXPECT_EQ(w.edtDilutedOput.Text(), "1") << "the wanted output stays";

    TypeWanted("40.02");
    w.Calculator.edtDilutedOputKeyDown(vkReturn);
    EXPECT_EQ(w.DeliveryHint, "");

    TypeWanted("1");
    w.Calculator.edtDilutedOputKeyDown(vkReturn);
    w.Calculator.edtDilutionFlowExit();
    EXPECT_EQ(w.DeliveryHint, "") << "a forward run shows what is delivered";
}

TEST_P(CalculatorTest, OtherKeysAndExitsOutsideManualModeDoNothing) {
    w.edtTemp.SetText("50");
    w.Calculator.edtKeyDown(9);
    w.Calculator.edtDilutedOputKeyDown(vkReturn);
    w.Calculator.edtDilutedOputExit();
    EXPECT_EQ(w.edtSatConc.Text(), Local("6.25E+01"));
    EXPECT_TRUE(Messages.empty());
}

TEST_P(CalculatorTest, DefaultRestoresTheInputsAndRecomputes) {
    w.edtTemp.SetText("55");
    w.edtFlow.SetText(Local("2.5"));
    w.edtPbar.SetText("30");
    w.Calculator.edtExit();
    w.Calculator.btnDefaultClick();
    EXPECT_EQ(w.edtTemp.Text(), "40");
    EXPECT_EQ(w.edtPbar.Text(), Local("29.96"));
    EXPECT_EQ(w.edtFlow.Text(), "6");
    EXPECT_EQ(w.edtDilutedOput.Text(), Local("40.02"));
    EXPECT_EQ(w.edtRatio.Text(), Local("1.07"));
}

TEST_P(CalculatorTest, CalculateFollowsTheCheckBox) {
    w.edtFlow.SetText("12");
    w.Calculator.btnCalculateClick();
    EXPECT_EQ(w.edtSatFlow.Text(), Local("12.814415"));
    TypeWanted("10");
    w.Calculator.btnCalculateClick();
    EXPECT_EQ(w.edtFlow.Text(), Local("1.5"));
    w.SetAllowInput(false);
    EXPECT_TRUE(w.edtDilutedOput.ReadOnly());
    EXPECT_FALSE(w.edtFlow.ReadOnly());
}

TEST(MemoryField, HoldsTheValueRoundedAndRaisesChangeOnlyForANewText) {
    TMemoryFocus focus;
    TMemoryField field(focus, {.DecimalPlaces = 1, .TrimTrailingZeroes = true}, 0);
    int changes = 0;
    field.OnChange = [&] { ++changes; };
    field.SetAsFloat(45.25L);
    EXPECT_EQ(field.Text(), "45.3");
    EXPECT_EQ(field.AsFloat(), platform::StrToFloat("45.3"));
    field.SetAsFloat(45.26L);
    EXPECT_EQ(changes, 1);
    field.SetText("40.00");
    EXPECT_EQ(field.Text(), "40");
    field.SetText("12.");
    EXPECT_EQ(field.Text(), "12");
    EXPECT_THROW(field.SetText("abc"), platform::EConvertError);
    EXPECT_EQ(field.Text(), "abc");
    EXPECT_THROW(field.AsFloat(), platform::EConvertError);
}

}  // namespace
