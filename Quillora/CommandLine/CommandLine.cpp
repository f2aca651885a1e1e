#include "Quillora/CommandLine/CommandLine.h"

#include <charconv>
#include <cmath>
#include <string>

bool CommandLine::has(const QStringList& arguments, const QString& option) {
    return arguments.contains(option);
}

std::optional<QString> CommandLine::value(const QStringList& arguments, const QString& option) {
    const qsizetype index = arguments.indexOf(option);
    if (index < 0 || index + 1 >= arguments.size()) {
        return std::nullopt;
    }
    return arguments.at(index + 1);
}

double CommandLine::recordSeconds(const QStringList& arguments) {
    constexpr double fallback = 10;
    const auto text = value(arguments, QStringLiteral("--record"));
    if (!text) {
        return fallback;
    }
    bool ok = false;
    const double seconds = text->toDouble(&ok);
    ok = ok && *text == text->trimmed(); // a number and nothing else
    // "inf" and "nan" would make the wait endless or meaningless: they count as "not a number".
    return ok && std::isfinite(seconds) ? seconds : fallback;
}

long long CommandLine::cycles(const QStringList& arguments) {
    constexpr long long fallback = 1;
    const auto text = value(arguments, QStringLiteral("--cycles"));
    if (!text) {
        return fallback;
    }
    // Digits with one optional sign and nothing else: no spaces, no base prefixes, no exponent.
    std::string digits = text->toStdString();
    if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') {
        digits.erase(0, 1); // from_chars takes a minus sign but not a plus sign
    }
    long long count = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, count, 10);
    return digits.empty() || error != std::errc{} || stop != end ? fallback : count;
}
