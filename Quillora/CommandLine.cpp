#include "Quillora/CommandLine.h"

#include <cmath>

bool CommandLine::has(const QStringList& arguments, const QString& option) { return arguments.contains(option); }

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
    // "inf" and "nan" would make the wait endless or meaningless: they count as "not a number".
    return ok && std::isfinite(seconds) ? seconds : fallback;
}

long long CommandLine::cycles(const QStringList& arguments) {
    const auto text = value(arguments, QStringLiteral("--cycles"));
    if (!text || text->isEmpty()) {
        return 1;
    }
    bool ok = false;
    const long long count = text->toLongLong(&ok, 10);
    return ok ? count : 1;
}
