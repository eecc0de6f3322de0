#include "modbus/errors.h"

#include "modbus/messages.h"

namespace regwire {

std::string FormatMessage(std::string_view format, std::initializer_list<long long> values) {
    std::string text;
    text.reserve(format.size() + 12 * values.size());
    auto next = values.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        const bool placeholder = format[i] == '%' && i + 1 < format.size() && format[i + 1] == 'd';
        if (placeholder && next != values.end()) {
            text += std::to_string(*next++);
            i += 2;
            continue;
        }
        text += format[i++];
    }
    return text;
}

ERegwireError::ERegwireError(std::string_view message) : std::runtime_error(std::string(message)) {}

ERegwireError::ERegwireError(std::string_view format, std::initializer_list<long long> values)
    : std::runtime_error(FormatMessage(format, values)) {}

ERegwireError::ERegwireError(std::string_view format, long long value)
    : ERegwireError(format, {value}) {}

EAssertionFailed::EAssertionFailed(std::string_view message)
    : std::logic_error(std::string(message)) {}

EListError::EListError(std::string_view format, long long value)
    : std::out_of_range(FormatMessage(format, {value})) {}

void RaiseError(std::string_view message) {
    throw ERegwireError(message);
}

void RaiseError(std::string_view format, long long value) {
    throw ERegwireError(format, value);
}

void RaiseInternalError() {
    throw ERegwireError(msg::InternalError);
}

}  // namespace regwire
