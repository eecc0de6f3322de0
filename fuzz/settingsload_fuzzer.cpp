// Settings load: any Vapcal.ini starts the calculator (a text that is no
// number takes its default and is named), and what Apply then saves reads back as
// the same field texts and mode: a start never loses what the file held for
// the fields, and a save never loses what the fields show.
//
// The input says the decimal separator, whether the file starts with the
// [Vapcal] header and whether Apply saves, then the file's content.
#include <fstream>
#include <string>

#include "calc/memorycalculator.h"
#include "calc/settings.h"
#include "fuzzcheck.h"
#include "platform/fperror.h"
#include "platform/numtext.h"

using namespace calc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    platform::FormatSettings().DecimalSeparator = (choice & 1U) != 0 ? ',' : '.';
    platform::FormatSettings().ThousandSeparator = (choice & 1U) != 0 ? '.' : ',';
    const auto rest = in.Rest();
    std::string content((choice & 2U) != 0 ? "[Vapcal]\n" : "");
    content.append(rest.begin(), rest.end());

    const std::string path = fuzz::ScratchFolder() + "Vapcal.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    TMemoryCalculator w;
    const TVapcalSettings loaded = ReadSettings(path);
    // A value no field can read took its default (and is named to the
    // operator), so every field gets a text it reads.
    bool calculated = true;
    try {
        LoadSettings(path, w.CalculatorFields(), w.Calculator);
    } catch (const platform::EConvertError&) {
        FUZZ_CHECK(!"a loaded settings text does not convert");
    }
    FUZZ_CHECK(w.Calculator.AllowConcInput == loaded.AllowConcInput);
    try {
        w.Start();
    } catch (const platform::EConvertError&) {
        calculated = false;
    } catch (const platform::EMathError&) {
        // A calculation that cannot be done is reported, not fatal.
        calculated = false;
    }

    // Saving writes the file nine times; every fourth input is enough to
    // hold the save to what the start loaded.
    if (!calculated || (choice & 12U) != 0)
        return 0;
    const std::string saved = fuzz::ScratchFolder() + "Saved.ini";
    std::remove(saved.c_str());
    SaveSettings(saved, w.CalculatorFields(), w.Calculator.AllowConcInput);
    const TVapcalSettings again = ReadSettings(saved);
    FUZZ_CHECK(again.Temp == w.edtTemp.Text());
    FUZZ_CHECK(again.Pbar == w.edtPbar.Text());
    FUZZ_CHECK(again.Dp == w.edtDp.Text());
    FUZZ_CHECK(again.Flow == w.edtFlow.Text());
    FUZZ_CHECK(again.RefTemp == w.edtRefTemp.Text());
    FUZZ_CHECK(again.DilutionFlow == w.edtDilutionFlow.Text());
    FUZZ_CHECK(again.AllowConcInput == w.Calculator.AllowConcInput);
    return 0;
}
