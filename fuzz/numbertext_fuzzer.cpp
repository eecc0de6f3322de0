// Number text: any text converts to a number or is refused, the same way by
// the raising and the trying conversion; every number the console writes
// (general, fixed, exponent and display text) reads back, under either
// decimal separator, a field's text as the value the field holds; integer
// texts read back as written.
//
// The input says the decimal separator and the decimals, then ten bytes read
// as an extended-precision value (any bit pattern: infinities, not-a-numbers,
// denormals), then the text.
#include <cmath>
#include <cstring>
#include <string>

#include "fuzzcheck.h"
#include "platform/numtext.h"

using namespace platform;

namespace {

// A text the console wrote reads back as a finite number, and writing that
// number again gives the same text.
void ReadsBack(const std::string& text, std::string (*write)(long double)) {
    long double value = 0;
    if (!TryStrToFloat(text, value)) {
        std::fprintf(stderr, "written text does not read back: '%s'\n", text.c_str());
        std::abort();
    }
    FUZZ_CHECK(std::isfinite(value));
    if (write != nullptr)
        FUZZ_CHECK(write(value) == text);
}

std::string General(long double v) {
    return FloatToStrGeneral(v);
}

void WriteAndRead(long double value, int decimals) {
    const std::string general = FloatToStrGeneral(value);
    const std::string fixed = FloatToStrFixed(value, decimals);
    const std::string exp3 = FloatToStrExp3(value);
    const std::string display = FloatToDisplay(value, decimals);
    // Within half a unit of the largest finite value, the rounded text lies
    // beyond it and cannot read back; nothing the console computes gets near.
    if (!std::isfinite(value) || std::fabs(value) > 1e4930L)
        return;
    ReadsBack(general, &General);
    ReadsBack(fixed, nullptr);
    ReadsBack(exp3, nullptr);
    ReadsBack(display, nullptr);
    // A field's text holds the value as the field holds it.
    FUZZ_CHECK(FieldTextToFloat(FieldText(value, decimals, true)) == HeldValue(value, decimals));
}

void ConvertText(const std::string& text, int decimals) {
    long double tried = 0;
    const bool ok = TryStrToFloat(text, tried);
    long double raised = 0;
    bool refused = false;
    try {
        raised = StrToFloat(text);
    } catch (const EConvertError&) {
        refused = true;
    }
    FUZZ_CHECK(ok == !refused);
    try {
        // Whatever a field's text is, it reads as a number or is refused.
        FUZZ_CHECK(std::isfinite(FieldTextToFloat(text)));
    } catch (const EConvertError&) {
    }
    if (ok) {
        FUZZ_CHECK(std::memcmp(&tried, &raised, 10) == 0 ||
                   (std::isnan(tried) && std::isnan(raised)));
        WriteAndRead(tried, decimals);
    }

    int integer = 0;
    if (TryStrToInt(text, integer)) {
        int again = 0;
        FUZZ_CHECK(TryStrToInt(std::to_string(integer), again) && again == integer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const std::uint8_t choice = in.Byte();
    FormatSettings().DecimalSeparator = (choice & 1U) != 0 ? ',' : '.';
    FormatSettings().ThousandSeparator = (choice & 1U) != 0 ? '.' : ',';
    const int decimals = (choice >> 1) % 19;

    long double bits = 0;
    const auto raw = in.Bytes(10);
    if (!raw.empty())
        std::memcpy(&bits, raw.data(), raw.size());
    WriteAndRead(bits, decimals);

    const auto rest = in.Rest();
    ConvertText(std::string(rest.begin(), rest.end()), decimals);
    return 0;
}
