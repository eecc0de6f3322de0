#include "platform/filltext.h"

namespace platform {

std::string FillText(std::string_view pattern, std::initializer_list<std::string> values) {
    std::string filled;
    filled.reserve(pattern.size());
    auto value = values.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' &&
            value != values.end()) {
            filled += *value++;
            ++i;
            continue;
        }
        filled += pattern[i];
    }
    return filled;
}

}  // namespace platform
